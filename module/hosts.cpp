// KXdv17_0 functions of the hosts area: host additions, updates and removals
// decoded into the caller's host table, and the single-host queries.
#include "kxpy.h"

#include <ctype.h>
#include <string.h>

using kx::Ref;
using kx::Site;

namespace {

KX_NAME(netobjects);
KX_NAME(addr);
KX_NAME(KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW);
KX_NAME(KXD_PROTOCOL_CLIENT_HOST_FIND);
// Spelled as the client has always printed it; log scrapers match the text.
kx::Name n_duplicate_warning("Strang! hostid already in hosts");

// Every host-add record carries these groups.
constexpr uint16_t kAddMask = kxp::HOST_ADD_GROUPS;

// u32 count, then count u32 identifiers: a list of int(id) in wire order.
KX_RECORD_TABLE(kNetobjectsGroup, HOST_NETOBJECTS_GROUP);
Ref read_id_list(kx::Reader &r) { return kx::read_value(r, kNetobjectsGroup); }

// What every group reader of one host record works on.
struct HostUpdate {
  PyObject *host;
  PyObject *protocolversion;
  // A host just made by handleHostAdd: its pairs are stored new, as an old
  // value its constructor left is rarely one to refill.
  bool fresh;
};

using kx::Kind;

// The pair groups: two u64 taken as signed, or two u32.
KX_RECORD_TABLE(kSpeedGroup, HOST_SPEED_GROUP);
void speed(kx::Reader &r, HostUpdate &u) { kx::read_attrs(r, u.host, kSpeedGroup, u.fresh); }

KX_RECORD_TABLE(kConnectionsGroup, HOST_CONNECTIONS_GROUP);
void connections(kx::Reader &r, HostUpdate &u) { kx::read_attrs(r, u.host, kConnectionsGroup, u.fresh); }

KX_RECORD_TABLE(kCpsGroup, HOST_CPS_GROUP);
void cps(kx::Reader &r, HostUpdate &u) { kx::read_attrs(r, u.host, kCpsGroup, u.fresh); }

// Internal and external issue counters alternate on the wire.
KX_RECORD_TABLE(kQualityGroup, HOST_QUALITY_GROUP);
void quality(kx::Reader &r, HostUpdate &u) { kx::read_attrs(r, u.host, kQualityGroup, u.fresh); }

// A text, a word from L4ERRORMINVERSION on (by Python's >=, the threshold
// as the module namespace holds it now), then words read past: four, three
// pairs, three, three pairs.
KX_RECORD_TABLE(kDetails, HOST_DETAILS_GROUP);
void details(kx::Reader &r, HostUpdate &u) { kx::skip_fields(r, kDetails, u.protocolversion); }

void netobjects(kx::Reader &r, HostUpdate &u) { kx::read_attrs(r, u.host, kNetobjectsGroup); }

// The groups in their fixed wire order; each group's attributes are set
// before the next group is read.
constexpr kx::Block<HostUpdate> kGroups[] = {
#define KX_HOST_GROUP(group, NAME, bit, RECORD, add) {kxp::HOST_##NAME, group},
#include "../protocol/kx_protocol.def"
};

// The counter groups of a host addition (speed, connections, cps, quality),
// on its new host: their bytes are taken with one length check and each
// group's table read from them. False, with nothing read, when they are not
// all there: then the groups are read one by one, as an update's are, so that
// those before the missing bytes are stored.
constexpr uint32_t kAddCounters = kx::rows::table_width<kSpeedGroup_rows>() + kx::rows::table_width<kConnectionsGroup_rows>() +
                                  kx::rows::table_width<kCpsGroup_rows>() + kx::rows::table_width<kQualityGroup_rows>();

bool add_counters(kx::Reader &r, HostUpdate &u) {
  const uint8_t *p = r.try_take(kAddCounters);
  if (!p) return false;
  kx::BlockReader block(p);
  kx::read_new_attrs(block, u.host, kSpeedGroup);
  kx::read_new_attrs(block, u.host, kConnectionsGroup);
  kx::read_new_attrs(block, u.host, kCpsGroup);
  kx::read_new_attrs(block, u.host, kQualityGroup);
  return true;
}

// The shared host-field decoder, with its own traceback entry below the
// calling handler's.
void handle_host_update_data(kx::Reader &r, uint16_t mask, PyObject *host, PyObject *protocolversion,
                             bool fresh, Site at = Site()) {
  try {
    HostUpdate u{host, protocolversion, fresh};
    if (fresh && mask == kAddMask && add_counters(r, u))
      details(r, u);
    else
      kx::read_blocks<kGroups>(r, mask, u);
  } catch (const kx::Error &e) {
    kx::add_traceback("KXdv17_0._handleHostUpdateData", e.site);
    kx::fail(at);
  }
}

// One item of sys.stdout, written the way the print statement writes it:
// the softspace bookkeeping is what a caller's own prints around it see, so
// it is emulated rather than replaced by a plain write.
void print_item(PyObject *text, Site at) {
  Ref out = Ref::borrowed(PySys_GetObject(const_cast<char *>("stdout")));
  if (!out) kx::raise_fmt(at, PyExc_RuntimeError, "lost sys.stdout");
  if (PyFile_SoftSpace(out.get(), 0)) kx::check_rc(PyFile_WriteString(" ", out.get()), at);
  kx::check_rc(PyFile_WriteObject(text, out.get(), Py_PRINT_RAW), at);
  kx::CText chars = kx::as_cstring(text, at);
  size_t len = strlen(chars);
  char last = len ? chars[len - 1] : '\0';
  if (len == 0 || !isspace(static_cast<unsigned char>(last)) || last == ' ')
    PyFile_SoftSpace(out.get(), 1);
}

void print_newline(Site at) {
  Ref out = Ref::borrowed(PySys_GetObject(const_cast<char *>("stdout")));
  if (!out) kx::raise_fmt(at, PyExc_RuntimeError, "lost sys.stdout");
  kx::check_rc(PyFile_WriteString("\n", out.get()), at);
  PyFile_SoftSpace(out.get(), 0);
}

// `print text` for an interned text.
void print_line(const kx::Name &text, Site at = Site()) {
  print_item(text, at);
  print_newline(at);
}

// A request type bound by the client library among the built-in names. A
// value that is not a 32-bit message type is refused, not cut.
uint32_t client_request_type(const kx::Name &name, Site at = Site()) {
  Ref value = kx::builtin(name, at);
  Ref index = kx::check(PyNumber_Index(value.get()), at);
  bool fits;
  unsigned long long type = 0;
  if (PyInt_Check(index.get())) {
    long v = PyInt_AS_LONG(index.get());
    fits = v >= 0 && v <= 0xffffffffL;
    type = static_cast<unsigned long long>(v);
  } else {
    type = PyLong_AsUnsignedLongLong(index.get());
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OverflowError)) kx::fail(at);
    PyErr_Clear();
    fits = type <= 0xffffffffull;
  }
  if (!fits) kx::raise_fmt(at, PyExc_OverflowError, "%s is not a 32-bit message type", name.text());
  return static_cast<uint32_t>(type);
}

}  // namespace

namespace {
KX_RECORD_TABLE(kHostId, HOST_REMOVE);
KX_RECORD_TABLE(kHostName, HOST_ADD_ENTRY, "name", "name");
KX_RECORD_TABLE(kUpdateHead, HOST_UPDATE_ENTRY, "hostid", "mask");
}  // namespace

// Host records back to back until fewer than four bytes remain; each new
// host object replaces any entry under its id.
KX_FUNCTION(handleHostAdd, "m", "typ", "hosts", "protocolversion") {
  kx::Reader r(arg[0]);
  PyObject *typ = arg[1], *hosts = arg[2], *protocolversion = arg[3];
  uint64_t id[1];
  while (kx::try_read_numbers(r, kHostId, id)) {
    Ref hostid = kx::builtin_int(static_cast<uint32_t>(id[0]));
    int known = PyDict_CheckExact(hosts) ? PyDict_Contains(hosts, hostid.get())
                                         : PySequence_Contains(hosts, hostid.get());
    kx::check_rc(known);
    if (known) print_line(n_duplicate_warning);
    Ref host = KX_CALL(typ, hostid);
    Ref netobjects = read_id_list(r);
    kx::set_new_attr(host.get(), n_netobjects, netobjects.get());
    Ref addr = r.address(r.family("Unknown host type %d"));
    kx::set_new_attr(host.get(), n_addr, addr.get());
    kx::skip_fields(r, kHostName);
    handle_host_update_data(r, kAddMask, host.get(), protocolversion, true);
    kx::setitem(hosts, hostid.get(), host.get());
  }
  return kx::py_none();
}

// (id, mask, groups) records back to back; the hosts must already be known.
KX_FUNCTION(handleHostUpdate, "m", "hosts", "protocolversion") {
  kx::Reader r(arg[0]);
  PyObject *hosts = arg[1], *protocolversion = arg[2];
  uint64_t head[2];
  while (kx::try_read_numbers(r, kUpdateHead, head)) {
    Ref key = kx::builtin_int(static_cast<uint32_t>(head[0]));
    Ref host = kx::getitem(hosts, key.get());
    handle_host_update_data(r, static_cast<uint16_t>(head[1]), host.get(), protocolversion, false);
  }
  return kx::py_none();
}

// The removed host's id; the caller drops the table entry.
KX_VALUE_HANDLER(handleHostRemove, kHostId);

KX_FUNCTION(hostShow, "io", "hostid") {
  kx::Request q(client_request_type(n_KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW));
  q.write_fields(kxp::kRequest_HOSTVIEW_SHOW, {kx::as_mask64(arg[1])});
  q.send(arg[0]);
  return kx::py_none();
}

// The address goes out as an IPv4 ipaddr field: family 0 and the number.
KX_FUNCTION(hostFindv4, "io", "hostip") {
  kx::Request q(client_request_type(n_KXD_PROTOCOL_CLIENT_HOST_FIND));
  q.write_fields(kxp::kRequest_HOST_FIND, {kx::as_mask64(arg[1])});
  q.send(arg[0]);
  return kx::py_none();
}

// The id of the host found, or None when the reply carries none.
KX_FUNCTION(handleHostFindReply, "m") {
  kx::Reader r(arg[0]);
  uint64_t id[1];
  if (!kx::try_read_numbers(r, kHostId, id)) return kx::py_none();
  return kx::py_u32(static_cast<uint32_t>(id[0]));
}

const kx::Method kx_methods_hosts[] = {
    KX_METHOD(handleHostAdd, 13),
    KX_METHOD(handleHostUpdate, 14),
    KX_METHOD(handleHostRemove, 15),
    KX_METHOD(hostShow, 23),
    KX_METHOD(hostFindv4, 24),
    KX_METHOD(handleHostFindReply, 25),
    KX_METHODS_END,
};
