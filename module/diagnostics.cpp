// KXdv17_0 diagnostics: BGP table dumps, system diagnostics counters and the
// rule-matching test.
#include "kxpy.h"

using kx::Reader;
using kx::Ref;
using kx::Request;
using kx::Site;

namespace {

KX_NAME(socket);
KX_NAME(struct);
KX_NAME(inet_aton);
KX_NAME(unpack);
static kx::Name n_network_u32("!L");

// Criteria keys of the rule-matching test.
#define KX_CRITERION(NAME, bit, key, kind, order) KX_NAME(key);
#define KX_CRITERION_LIST(NAME, bit, key, count, LAYOUT, order) KX_NAME(key);
#include "../protocol/kx_protocol.def"

using kx::Kind;

// The test result, in wire order.
KX_RECORD_TABLE(kTestResult, VCRC_TEST_RESULT);

// An integer taken modulo 2^32; a non-integer raises TypeError.
uint32_t as_u32_mod(PyObject *o, Site at = Site()) { return static_cast<uint32_t>(kx::as_mask64(o, at)); }

}  // namespace

// ---- BGP table dump --------------------------------------------------------------------

KX_EMPTY_REQUEST(bgpDump, BGP_DUMP);

namespace {
KX_RECORD_TABLE(kBgpEntry, BGP_DUMP_ENTRY);
}  // namespace

// (first number, prefix text, second, third, fourth number).
KX_FUNCTION(handleBgpEntry, "m") {
  Reader r(arg[0]);
  return kx::read_tuple(r, kBgpEntry);
}

namespace {
KX_RECORD_TABLE(kBgpPath, BGP_DUMP_PATH);
KX_RECORD_TABLE(kCounter, SYSDIAG_COUNTER);
}  // namespace

// (path id, [u32 elements]) from a u32 id, a u8 count and the elements.
KX_FUNCTION(handleBgpPath, "m") {
  Reader r(arg[0]);
  return kx::read_tuple(r, kBgpPath);
}

// ---- system diagnostics -------------------------------------------------------------------

KX_EMPTY_REQUEST(drdlStatsDump, SYSDIAG_DUMP);

// Appends every whole u64 counter to lst; 1 to 7 trailing bytes are ignored.
KX_FUNCTION(handleDrdlStatsDump, "m", "lst") {
  Reader r(arg[0]);
  PyObject *lst = arg[1];
  uint64_t counter[1];
  while (kx::try_read_numbers(r, kCounter, counter)) kx::append_to(lst, kx::py_u64(counter[0]).get());
  return kx::py_none();
}

// ---- rule-matching test ------------------------------------------------------------------

namespace {

struct Criterion {
  const kx::Name &key;
  unsigned bit;  // the VIRTUAL_COND_* number
  kx::Kind kind;
  kx::Kind count;  // of a list: its count's kind
};

// In the order the values go out, which is not the order of the bits.
const Criterion kCriteria[] = {
#define KX_CRITERION(NAME, bit, key, kind, order) {n_##key, bit, kx::Kind::kind, kx::Kind::kind},
#define KX_CRITERION_LIST(NAME, bit, key, count, LAYOUT, order) {n_##key, bit, kx::Kind::list, kx::Kind::count},
#include "../protocol/kx_protocol.def"
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

// The count, then each pair as two strings. The count must describe the
// pairs that follow, so more pairs than it holds, or an object whose
// iteration disagrees with its len(), is refused.
void put_properties(Request &q, const Criterion &c, PyObject *props, Site at = Site()) {
  Py_ssize_t n = kx::builtin_len(props, at);
  Py_ssize_t limit = static_cast<Py_ssize_t>(kx::count_limit(c.count));
  if (n > limit) kx::raise_fmt(at, PyExc_ValueError, "Max %zd property pairs", limit);
  q.put(c.count, static_cast<uint64_t>(n), at);
  // Every pair is written, however many there are, before the count is
  // compared with len().
  Py_ssize_t written = kx::for_each_item(props, PY_SSIZE_T_MAX, [&](PyObject *item) {
    Ref pair[2];
    kx::unpack(item, pair, 2, at);
    kx::LayoutWriter w(q, kxp::kLayout_PROPERTY);
    w.put(kx::as_cstring(pair[0].get(), at), at);
    w.put(kx::as_cstring(pair[1].get(), at), at);
    w.done();
  }, at);
  if (written != n)
    kx::raise_fmt(at, PyExc_ValueError, "properties gave %zd pairs, its len() %zd", written, n);
}

// One criterion's value in its kind: u32 values modulo 2^32, narrower ones
// by the 32-bit rule, addresses from their text.
void put_criterion(Request &q, const Criterion &c, PyObject *value, Site at = Site()) {
  switch (c.kind) {
    case kx::Kind::u32:
      q.put(c.kind, as_u32_mod(value, at), at);
      break;
    case kx::Kind::u8:
    case kx::Kind::u16:
      q.put(c.kind, static_cast<uint64_t>(kx::as_long32(value, at)), at);
      break;
    case kx::Kind::ip4:
      q.put(c.kind, ip4_value(value, at), at);
      break;
    case kx::Kind::string:
      q.put(c.kind, kx::as_cstring(value, at), at);
      break;
    case kx::Kind::list:
      put_properties(q, c, value, at);
      break;
    default:
      KX_BUG_ON(true, "a criterion of a kind requests do not carry");
  }
}

}  // namespace

// u32 test id, u32 mask of the criteria present, then their values in table order.
KX_FUNCTION(vcrcTest, "io", "test_id", "criteria") {
  PyObject *criteria = arg[2];
  uint32_t mask = 0;
  for (const Criterion &c : kCriteria)
    if (has_key(criteria, c.key)) mask |= 1u << c.bit;
  Request q(kxp::CLI_VCRC_TEST);
  kx::LayoutWriter w(q, kxp::kRequest_VCRC_TEST);
  w.put(as_u32_mod(arg[1]));
  w.put(mask);
  KX_BUG_ON(kx::kind_of(w.next().kind) != kx::Kind::criteria, "the criteria follow the mask");
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
  w.done();
  q.send(arg[0]);
  return kx::py_none();
}

KX_FUNCTION(handleVcrcTest, "m") {
  Reader r(arg[0]);
  Ref result = kx::new_dict();
  kx::read_items(r, result.get(), kTestResult);
  return result;
}

const kx::Method kx_methods_diagnostics[] = {
    KX_METHOD(bgpDump, 35),
    KX_METHOD(handleBgpEntry, 36),
    KX_METHOD(handleBgpPath, 37),
    KX_METHOD(drdlStatsDump, 38),
    KX_METHOD(handleDrdlStatsDump, 39),
    KX_METHOD(vcrcTest, 43),
    KX_METHOD(handleVcrcTest, 44),
    KX_METHODS_END,
};
