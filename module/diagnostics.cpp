// KXdv17_0 diagnostics: BGP table dumps, system diagnostics counters and the
// rule-matching test.
#include "kxpy.h"

using kx::Reader;
using kx::Ref;
using kx::Request;
using kx::Site;

namespace {

KX_NAME(append);
KX_NAME(len);
KX_NAME(socket);
KX_NAME(struct);
KX_NAME(inet_aton);
KX_NAME(unpack);
static kx::Name n_network_u32("!L");

// Criteria keys of the rule-matching test.
KX_NAME(vlanin);
KX_NAME(vlanout);
KX_NAME(mplsin);
KX_NAME(mplsout);
KX_NAME(dscpin);
KX_NAME(dscpout);
KX_NAME(channelin);
KX_NAME(channelout);
KX_NAME(protocol);
KX_NAME(clientip);
KX_NAME(serverip);
KX_NAME(clientport);
KX_NAME(serverport);
KX_NAME(service);
KX_NAME(xfb);
KX_NAME(properties);

// Keys of the test result.
KX_NAME(test_id);
KX_NAME(ruleset_state);
KX_NAME(rewrite_obj);
KX_NAME(monitor_iface);
KX_NAME(fwrule);
KX_NAME(fwrules);
KX_NAME(shapingrules);

// An integer taken modulo 2^32; a non-integer raises TypeError.
uint32_t as_u32_mod(PyObject *o, Site at = Site()) { return static_cast<uint32_t>(kx::as_mask64(o, at)); }

// A u32 pair as a tuple of two longs.
Ref u32_pair(Reader &r, Site at = Site()) {
  Ref a = r.long32(at);
  Ref b = r.long32(at);
  return kx::check(PyTuple_Pack(2, a.get(), b.get()), at);
}

// A u32 count, then that many u32 pairs.
Ref u32_pair_list(Reader &r, Site at = Site()) {
  uint32_t n = r.u32(at);
  Ref list = kx::check(PyList_New(0), at);
  for (uint32_t i = 0; i < n; i++) {
    Ref pair = u32_pair(r, at);
    kx::check_rc(PyList_Append(list.get(), pair.get()), at);
  }
  return list;
}

}  // namespace

// ---- BGP table dump --------------------------------------------------------------------

KX_EMPTY_REQUEST(bgpDump, 132572);

// (first number, prefix text, second, third, fourth number).
KX_FUNCTION(handleBgpEntry, "m") {
  Reader r(arg[0]);
  Ref first = r.long32();
  Ref prefix = r.ipaddrplen();
  Ref second = r.long32();
  Ref third = r.long32();
  Ref fourth = r.long32();
  return kx::check(
      PyTuple_Pack(5, first.get(), prefix.get(), second.get(), third.get(), fourth.get()));
}

// (path id, [u32 elements]) from a u32 id, a u8 count and the elements.
KX_FUNCTION(handleBgpPath, "m") {
  Reader r(arg[0]);
  Ref id = r.long32();
  uint8_t n = r.u8();
  Ref elements = kx::check(PyList_New(0));
  for (unsigned i = 0; i < n; i++) {
    Ref element = r.long32();
    kx::check_rc(PyList_Append(elements.get(), element.get()));
  }
  return kx::check(PyTuple_Pack(2, id.get(), elements.get()));
}

// ---- system diagnostics -------------------------------------------------------------------

KX_EMPTY_REQUEST(drdlStatsDump, 67136);

// Appends every whole u64 counter to lst; 1 to 7 trailing bytes are ignored.
KX_FUNCTION(handleDrdlStatsDump, "m", "lst") {
  Reader r(arg[0]);
  PyObject *lst = arg[1];
  while (r.remaining() >= 8) {
    Ref counter = r.long64();
    if (PyList_CheckExact(lst))
      kx::check_rc(PyList_Append(lst, counter.get()));
    else
      kx::check(PyObject_CallMethodObjArgs(lst, n_append.get(), counter.get(), nullptr));
  }
  return kx::py_none();
}

// ---- rule-matching test ------------------------------------------------------------------

namespace {

enum class Wire { u32, u8, u16, ip4, string, properties };

struct Criterion {
  const kx::Name &key;
  unsigned bit;  // the VIRTUAL_COND_* number
  Wire wire;
};

// In the order the values go out, which is not the order of the bits.
const Criterion kCriteria[] = {
    {n_vlanin, 0, Wire::u32},         {n_vlanout, 1, Wire::u32},
    {n_mplsin, 2, Wire::u32},         {n_mplsout, 3, Wire::u32},
    {n_dscpin, 14, Wire::u32},        {n_dscpout, 15, Wire::u32},
    {n_channelin, 16, Wire::u32},     {n_channelout, 17, Wire::u32},
    {n_protocol, 4, Wire::u8},        {n_clientip, 5, Wire::ip4},
    {n_serverip, 6, Wire::ip4},       {n_clientport, 7, Wire::u16},
    {n_serverport, 8, Wire::u16},     {n_service, 9, Wire::string},
    {n_xfb, 11, Wire::u32},           {n_properties, 12, Wire::properties},
};

bool has_key(PyObject *criteria, const kx::Name &key, Site at = Site()) {
  return kx::has_key(criteria, key, at);
}

// struct.unpack("!L", socket.inet_aton(text))[0], evaluated in Python's order
// (struct.unpack before its arguments): the address bytes in network order.
uint32_t ip4_value(PyObject *text, Site at = Site()) {
  Ref unpack = kx::getattr(kx::global(n_struct, at).get(), n_unpack, at);
  Ref aton = kx::getattr(kx::global(n_socket, at).get(), n_inet_aton, at);
  Ref packed = kx::call_at(at, aton.get(), text);
  Ref values = kx::call_at(at, unpack.get(), n_network_u32.get(), packed);
  Ref value = kx::check(PySequence_GetItem(values.get(), 0), at);
  return as_u32_mod(value.get(), at);
}

// One u8 count, then each pair as two strings. The count byte must describe
// the pairs that follow, so more than 255 pairs, or an object whose
// iteration disagrees with its len(), is refused.
void put_properties(Request &q, PyObject *props, Site at = Site()) {
  Ref size = kx::call_at(at, kx::builtin(n_len, at).get(), props);
  Py_ssize_t n = PyInt_AsSsize_t(size.get());
  if (n == -1 && PyErr_Occurred()) kx::fail(at);
  if (n > 255) kx::raise_fmt(at, PyExc_ValueError, "Max 255 property pairs");
  q.u8(static_cast<uint8_t>(n), at);
  Ref it = kx::check(PyObject_GetIter(props), at);
  Py_ssize_t written = 0;
  while (Ref item{PyIter_Next(it.get())}) {
    Ref pair[2];
    kx::unpack(item.get(), pair, 2, at);
    q.string(kx::as_cstring(pair[0].get(), at), at);
    q.string(kx::as_cstring(pair[1].get(), at), at);
    written++;
  }
  if (PyErr_Occurred()) kx::fail(at);
  if (written != n)
    kx::raise_fmt(at, PyExc_ValueError, "properties gave %zd pairs, its len() %zd", written, n);
}

void put_criterion(Request &q, const Criterion &c, PyObject *value, Site at = Site()) {
  switch (c.wire) {
    case Wire::u32:
      q.u32(as_u32_mod(value, at), at);
      break;
    case Wire::u8:
      q.u8(static_cast<uint8_t>(kx::as_long32(value, at)), at);
      break;
    case Wire::u16:
      q.u16(static_cast<uint16_t>(kx::as_long32(value, at)), at);
      break;
    case Wire::ip4:
      q.u32(ip4_value(value, at), at);
      break;
    case Wire::string:
      q.string(kx::as_cstring(value, at), at);
      break;
    case Wire::properties:
      put_properties(q, value, at);
      break;
  }
}

}  // namespace

// u32 test id, u32 mask of the criteria present, then their values in table order.
KX_FUNCTION(vcrcTest, "io", "test_id", "criteria") {
  PyObject *criteria = arg[2];
  uint32_t mask = 0;
  for (const Criterion &c : kCriteria)
    if (has_key(criteria, c.key)) mask |= 1u << c.bit;
  Request q(67336);
  q.u32(as_u32_mod(arg[1]));
  q.u32(mask);
  for (const Criterion &c : kCriteria) {
    bool present = has_key(criteria, c.key);
    // The mask is already written: a criterion that came or went since would
    // make the values disagree with it.
    if (present != ((mask >> c.bit) & 1))
      kx::raise_fmt(Site(), PyExc_ValueError, "criteria changed while the request was built");
    if (!present) continue;
    Ref value = kx::getitem(criteria, c.key);
    put_criterion(q, c, value.get());
  }
  q.send(arg[0]);
  return kx::py_none();
}

KX_FUNCTION(handleVcrcTest, "m") {
  Reader r(arg[0]);
  Ref result = kx::check(PyDict_New());
  PyObject *d = result.get();
  kx::setitem(d, n_test_id, r.long32().get());
  kx::setitem(d, n_ruleset_state, r.int8().get());
  kx::setitem(d, n_rewrite_obj, r.long32().get());
  kx::setitem(d, n_monitor_iface, r.long32().get());
  kx::setitem(d, n_fwrule, kx::py_int(static_cast<int32_t>(r.u32())).get());
  kx::setitem(d, n_fwrules, u32_pair_list(r).get());
  kx::setitem(d, n_shapingrules, u32_pair_list(r).get());
  return result;
}

PyMethodDef kx_methods_diagnostics[] = {
    KX_METHOD(bgpDump),      KX_METHOD(handleBgpEntry),      KX_METHOD(handleBgpPath),
    KX_METHOD(drdlStatsDump), KX_METHOD(handleDrdlStatsDump), KX_METHOD(vcrcTest),
    KX_METHOD(handleVcrcTest), KX_METHODS_END,
};
