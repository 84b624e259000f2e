// KXdv17_0 session control: version, authentication, features, refusals,
// XFB names, keep-alive and update requests, server string tables and the
// maintenance requests (debug settings, statistics write, packet injection).
#include "kxpy.h"

using kx::Reader;
using kx::Ref;
using kx::Request;

namespace {
KX_NAME(range);
KX_NAME(handleStrtblEntries);

using kx::Kind;

KX_RECORD_TABLE(kVersion, VERSION, "version", "version");
KX_RECORD_TABLE(kServer, VERSION, "server", "server");
KX_RECORD_TABLE(kVersionTexts, VERSION, "first", "second");
KX_RECORD_TABLE(kAuth, AUTHENTICATION_OK);
KX_RECORD_TABLE(kFeatures, FEATURES);
KX_RECORD_TABLE(kEperm, EPERM);
KX_RECORD_TABLE(kNotAvail, NOT_AVAILABLE);
KX_RECORD_COUNT(kXfbCount, XFB_NAMES, "names");
KX_RECORD_ITEM(kXfbName, XFB_NAMES, "names");
KX_RECORD_TABLE(kEntryNumber, STRTABLE_ENTRY, "number", "number");
KX_RECORD_TABLE(kEntryText, STRTABLE_ENTRY, "text", "text");
KX_RECORD_TABLE(kEntryTail, STRTABLE_ENTRY, "entry.ignored_u32", "entry.ignored_u32");
KX_RECORD_TABLE(kStrtblBegin, STRTABLE_BEGIN, "table", "table");
}

// (protocol version, server value, first text, second text); a message that
// ends after the version gives (version, 0, "", "").
KX_FUNCTION(handleVersion, "m") {
  Reader r(arg[0]);
  Ref version = kx::read_value(r, kVersion);
  uint64_t server[1];
  if (!kx::try_read_numbers(r, kServer, server)) {
    Ref empty = kx::py_str("", 0);
    return kx::tuple(version, kx::py_int(0), empty, empty);
  }
  Ref value = kx::py_u64(server[0]);
  Ref texts[2];
  kx::read_values(r, kVersionTexts, texts);
  return kx::tuple(version, value, texts[0], texts[1]);
}

KX_VALUE_HANDLER(handleAuth, kAuth);
KX_VALUE_HANDLER(handleFeatures, kFeatures);
KX_VALUE_HANDLER(handleEperm, kEperm);
KX_VALUE_HANDLER(handleNotAvail, kNotAvail);

// u8 count, then count names (at most 254 bytes kept of each).
KX_FUNCTION(handleServerXFBNames, "m") {
  Reader r(arg[0]);
  Ref names = kx::new_list();
  Ref count = kx::read_value(r, kXfbCount);
  Ref indices = KX_CALL(kx::builtin(n_range).get(), count);
  Ref it = kx::check(PyObject_GetIter(indices.get()));
  while (Ref i{PyIter_Next(it.get())}) {
    kx::list_append(names.get(), kx::read_value(r, kXfbName).get());
  }
  if (PyErr_Occurred()) kx::fail();
  return names;
}

KX_FUNCTION(doAuth, "io", "username", "passwd") {
  Request q(kxp::CLI_AUTH);
  kx::CText user = kx::as_cstring(arg[1]);
  kx::CText password = kx::as_cstring(arg[2]);
  q.write_fields(kxp::kRequest_AUTH, {user, password});
  q.send(arg[0]);
  return kx::py_none();
}

KX_EMPTY_REQUEST(ping, PING);
KX_EMPTY_REQUEST(requestUpdate, REQUEST_UPDATE);

// ---- server string tables ------------------------------------------------------------

// [(u32 entry number, text)]; each entry is followed by a u32 that is skipped.
// A missing entry number or trailing word ends the list; a short text is an error.
KX_FUNCTION(handleStrtblEntries, "m") {
  Reader r(arg[0]);
  Ref entries = kx::new_list();
  uint64_t number[1];
  while (kx::try_read_numbers(r, kEntryNumber, number)) {
    Ref text = kx::read_value(r, kEntryText);
    if (!kx::try_skip_fields(r, kEntryTail)) break;
    kx::list_append(entries.get(), kx::pair(kx::py_u32(static_cast<uint32_t>(number[0])), text).get());
  }
  return entries;
}

// (u32 table number, entries): the entries are read by the module's current
// handleStrtblEntries, from where the table number ended.
KX_FUNCTION(handleStrtblBegin, "m") {
  Reader r(arg[0]);
  Ref table = kx::read_value(r, kStrtblBegin);
  Ref entries = KX_CALL_MODULE_FUNCTION(handleStrtblEntries, arg[0]);
  return kx::pair(table, entries);
}

KX_FUNCTION(handleStrtblEnd, "m") {
  kx::message_arg(arg[0]);
  return kx::py_none();
}

// ---- maintenance requests -------------------------------------------------------------

// u32 facility (low 16 bits of the number), then the argument text.
KX_FUNCTION(setDebug, "io", "facility", "argument") {
  uint16_t facility = static_cast<uint16_t>(kx::as_long32(arg[1]));
  Request q(kxp::CLI_SET_DEBUG);
  kx::CText argument = kx::as_cstring(arg[2]);
  q.write_fields(kxp::kRequest_SET_DEBUG, {facility, argument});
  q.send(arg[0]);
  return kx::py_none();
}

KX_EMPTY_REQUEST(force_statistics_write, FORCE_STATS_WRITE);

// Interface name, u32 packet length, the packet bytes. Packets of up to 4096
// bytes are accepted; the data must be a byte string whose len() is its size.
KX_FUNCTION(injectPacket, "io", "iface", "pktdata") {
  PyObject *pkt = arg[2];
  Py_ssize_t n = kx::builtin_len(pkt);
  if (n < 0 || n > 4096)
    kx::raise_fmt(kx::Site(), PyExc_ValueError, "Max 4096 bytes of packet data");
  kx::Data data(pkt, "pktdata");
  // Only the string's own bytes are sent: a len() that claims more would read
  // past them.
  if (n != data.size())
    kx::raise_fmt(kx::Site(), PyExc_ValueError, "len(pktdata) is %zd but it holds %zd bytes", n,
                  data.size());
  Request q(kxp::CLI_INJECT_PACKET);
  kx::CText iface = kx::as_cstring(arg[1]);
  q.write_fields(kxp::kRequest_INJECT_PACKET, {iface, kx::Value(data.bytes(), static_cast<uint32_t>(n))});
  q.send(arg[0]);
  return kx::py_none();
}

const kx::Method kx_methods_session[] = {
    KX_METHOD(doAuth, 0),
    KX_METHOD(handleVersion, 1),
    KX_METHOD(handleAuth, 2),
    KX_METHOD(handleFeatures, 3),
    KX_METHOD(handleEperm, 4),
    KX_METHOD(handleNotAvail, 5),
    KX_METHOD(ping, 7),
    KX_METHOD(requestUpdate, 8),
    KX_METHOD(handleServerXFBNames, 57),
    KX_METHOD(handleStrtblBegin, 31),
    KX_METHOD(handleStrtblEntries, 32),
    KX_METHOD(handleStrtblEnd, 33),
    KX_METHOD(setDebug, 41),
    KX_METHOD(force_statistics_write, 49),
    KX_METHOD(injectPacket, 40),
    KX_METHODS_END,
};
