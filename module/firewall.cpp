// KXdv17_0 firewall area: the rule subscription with its hit counters, and
// the firewall log (query, clear, decoding of its entries).
#include "kxpy.h"

#include <string.h>

using kx::Reader;
using kx::Ref;
using kx::Request;

namespace {

KX_NAME(dict);
KX_NAME(True);
KX_NAME(False);
KX_NAME(name);
KX_NAME(hits);
KX_NAME(hits_rate);
KX_NAME(logentries);
KX_NAME(time);
KX_NAME(type);
KX_NAME(client);
KX_NAME(server);
KX_NAME(clientport);
KX_NAME(serverport);
KX_NAME(protocol);
KX_NAME(clienthostname);
KX_NAME(serverhostname);
KX_NAME(service);
KX_NAME(rule);
KX_NAME(properties);

enum AddressFamily : uint8_t { kIPv4 = 0, kIPv6 = 1 };

// True when a whole string field (length word and all its bytes) stands at
// the read position, so reading it cannot fail.
bool whole_string_follows(const kx_msg_t *m) {
  uint32_t left = kx_msg_remaining(m);
  if (left < 4) return false;
  uint32_t n;
  memcpy(&n, m->data + m->pos, 4);
  return left - 4 >= __builtin_bswap32(n);
}

}  // namespace

// ---- firewall rules ------------------------------------------------------------------

KX_EMPTY_REQUEST(fwrulesShow, 131972);
KX_EMPTY_REQUEST(fwrulesHide, 131973);

// A header word (its top bit is the flag), then rule id and name pairs up to
// the end of the message: {id: {"name": name}}. 1 to 3 bytes left where an id
// would start are ignored.
KX_FUNCTION(handleFWRulesInit, "m") {
  Reader r(arg[0]);
  bool flag = (r.u32() & 0x80000000u) != 0;
  Ref table = kx::check(PyDict_New());
  while (r.remaining() >= 4) {
    Ref id = r.long32();
    Ref name = r.string(256);
    Ref rule = kx::check(PyDict_New());
    kx::setitem(rule.get(), n_name, name.get());
    kx::setitem(table.get(), id.get(), rule.get());
  }
  Ref truth = kx::builtin(flag ? n_True : n_False);
  return kx::check(PyTuple_Pack(2, table.get(), truth.get()));
}

// A u32 count of (rule id, hits, hits rate) entries, written into the rule
// dicts of `rules`; entries written before a failure stay written.
KX_FUNCTION(handleFWRulesData, "m", "rules") {
  Reader r(arg[0]);
  PyObject *rules = arg[1];
  for (uint32_t n = r.u32(); n; n--) {
    Ref id = r.long32();
    Ref hits = r.long64();
    Ref rate = r.long64();
    kx::setitem(kx::getitem(rules, id.get()).get(), n_hits, hits.get());
    kx::setitem(kx::getitem(rules, id.get()).get(), n_hits_rate, rate.get());
  }
  return kx::py_none();
}

// ---- firewall log -----------------------------------------------------------------------

// Query type (low 8 bits), the two bounds sign-extended to 64 bits, and the
// truth values of `clear` and `no_reverse`. The three numbers are converted
// before the request is made.
KX_FUNCTION(fwlog_query, "io", "qtype", "s", "e", "clear", "no_reverse") {
  int32_t qtype = kx::as_long32(arg[1]);
  int32_t first = kx::as_long32(arg[2]);
  int32_t second = kx::as_long32(arg[3]);
  Request q(132072);
  q.u8(static_cast<uint8_t>(qtype & 0xff));
  q.u64(static_cast<uint64_t>(static_cast<int64_t>(first)));
  q.u64(static_cast<uint64_t>(static_cast<int64_t>(second)));
  int clear = PyObject_IsTrue(arg[4]);
  kx::check_rc(clear);
  q.u8(clear ? 1 : 0);
  int no_reverse = PyObject_IsTrue(arg[5]);
  kx::check_rc(no_reverse);
  q.u8(no_reverse ? 1 : 0);
  q.send(arg[0]);
  return kx::py_none();
}

KX_EMPTY_REQUEST(fwlog_clear, 132073);

KX_FUNCTION(handleFWEntryStart, "m") {
  Reader r(arg[0]);
  Ref count = r.long64();
  Ref start = kx::check(PyDict_New());
  kx::setitem(start.get(), n_logentries, count.get());
  return start;
}

// One log entry; each field is stored as soon as it is read. The trailing
// "properties" string is optional: the key is set only when the whole field
// is present.
KX_FUNCTION(handleFWEntry, "m") {
  Reader r(arg[0]);
  Ref entry = KX_CALL(kx::builtin(n_dict).get());
  PyObject *e = entry.get();
  kx::setitem(e, n_time, r.long32().get());
  uint8_t family = r.u8();
  kx::setitem(e, n_type, kx::py_int(family).get());
  if (family != kIPv4 && family != kIPv6)
    kx::bad_message_text(kx::Site(), "Unknown ip address type %d", family);
  kx::setitem(e, n_client, (family == kIPv4 ? r.v4addr() : r.v6addr()).get());
  kx::setitem(e, n_server, (family == kIPv4 ? r.v4addr() : r.v6addr()).get());
  kx::setitem(e, n_clientport, r.int16().get());
  kx::setitem(e, n_serverport, r.int16().get());
  kx::setitem(e, n_protocol, r.int8().get());
  kx::setitem(e, n_clienthostname, r.string(255).get());
  kx::setitem(e, n_serverhostname, r.string(255).get());
  kx::setitem(e, n_service, r.string(255).get());
  kx::setitem(e, n_rule, r.string(255).get());
  if (whole_string_follows(r.msg())) kx::setitem(e, n_properties, r.string(1024).get());
  return entry;
}

PyMethodDef kx_methods_firewall[] = {
    KX_METHOD(fwrulesShow),
    KX_METHOD(fwrulesHide),
    KX_METHOD(handleFWRulesInit),
    KX_METHOD(handleFWRulesData),
    KX_METHOD(fwlog_query),
    KX_METHOD(fwlog_clear),
    KX_METHOD(handleFWEntryStart),
    KX_METHOD(handleFWEntry),
    KX_METHODS_END,
};
