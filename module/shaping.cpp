// KXdv17_0 shaping area: the shaping object subscription, shaping object
// updates applied to the caller's table, and the shaping rule list.
#include "kxpy.h"

using kx::Reader;
using kx::Ref;
using kx::Request;

namespace {

KX_NAME(int);
KX_NAME(dict);
KX_NAME(True);
KX_NAME(False);
KX_NAME(name);

// How one counter of a shaping object record travels.
enum class Wire {
  u32,     // u32 -> long
  u64,     // u64 -> long
  u16,     // u16 -> int
  bps,     // u32 bytes per second -> int(value) * 8, bits per second
  absent,  // not on the wire: always the int 0
};

struct Counter {
  kx::Name key;
  Wire wire;
};

// A counter update, in wire order; each value is stored before the next is read.
Counter counters[] = {
    {kx::Name("copies"), Wire::u32},
    {kx::Name("connections"), Wire::u32},
    {kx::Name("in RX bytes"), Wire::u64},
    {kx::Name("in congested bytes"), Wire::u64},
    {kx::Name("in RX bps"), Wire::bps},
    {kx::Name("in congested bps"), Wire::bps},
    {kx::Name("in RX packets"), Wire::u64},
    {kx::Name("in congested packets"), Wire::u64},
    {kx::Name("in RX pps"), Wire::u32},
    {kx::Name("in congested pps"), Wire::u32},
    {kx::Name("in total drops"), Wire::u64},
    {kx::Name("in drops/s"), Wire::u32},
    {kx::Name("in total marks"), Wire::u64},
    {kx::Name("in marks/s"), Wire::absent},
    {kx::Name("in avg latency"), Wire::u32},
    {kx::Name("in max latency"), Wire::u16},
    {kx::Name("in avg Q"), Wire::u32},
    {kx::Name("in max Q"), Wire::u32},
    {kx::Name("out RX bytes"), Wire::u64},
    {kx::Name("out congested bytes"), Wire::u64},
    {kx::Name("out RX bps"), Wire::bps},
    {kx::Name("out congested bps"), Wire::bps},
    {kx::Name("out RX packets"), Wire::u64},
    {kx::Name("out congested packets"), Wire::u64},
    {kx::Name("out RX pps"), Wire::u32},
    {kx::Name("out congested pps"), Wire::u32},
    {kx::Name("out total drops"), Wire::u64},
    {kx::Name("out drops/s"), Wire::u32},
    {kx::Name("out total marks"), Wire::u64},
    {kx::Name("out marks/s"), Wire::absent},
    {kx::Name("out avg latency"), Wire::u32},
    {kx::Name("out max latency"), Wire::u16},
    {kx::Name("out avg Q"), Wire::u32},
    {kx::Name("out max Q"), Wire::u32},
};
static_assert(sizeof counters / sizeof counters[0] == 34, "a counter update sets 34 keys");

enum UpdateKind : uint32_t { kName = 1, kCounters = 2 };

// int(value) * 8 in Python arithmetic (the built-in int looked up now), so
// the largest u32 gives 34359738360 rather than wrapping.
Ref bits_per_second(Ref bytes_per_second) {
  Ref eight = kx::py_int(8);
  Ref value = KX_CALL(kx::builtin(n_int).get(), bytes_per_second);
  return kx::check(PyNumber_Multiply(value.get(), eight.get()));
}

Ref read_counter(Reader &r, Wire wire) {
  switch (wire) {
    case Wire::u32: return r.long32();
    case Wire::u64: return r.long64();
    case Wire::u16: return r.int16();
    case Wire::bps: return bits_per_second(r.long32());
    case Wire::absent: return kx::py_int(0);
  }
  KX_BUG_ON(true, "unknown counter wire form");
  return Ref();
}

}  // namespace

KX_EMPTY_REQUEST(shapingobjectShow, 131922);
KX_EMPTY_REQUEST(shapingobjectHide, 131923);

// Object id, an ignored word and the update kind; then the name (kind 1) or
// the counter set (kind 2). The record is created at the first sight of an id
// and updated in place; other kinds only create it.
KX_FUNCTION(shapingobjectUpdateHandle, "m", "d") {
  Reader r(arg[0]);
  PyObject *table = arg[1];
  Ref id = r.long32();
  Ref key = KX_CALL(kx::builtin(n_int).get(), id);
  int present = PySequence_Contains(table, key.get());
  kx::check_rc(present);
  if (!present) {
    Ref fresh = KX_CALL(kx::builtin(n_dict).get());
    kx::setitem(table, key.get(), fresh.get());
  }
  Ref record = kx::getitem(table, key.get());
  r.u32();
  uint32_t kind = r.u32();
  if (kind == kName) {
    Ref name = r.string(512);
    kx::setitem(record.get(), n_name, name.get());
  } else if (kind == kCounters) {
    for (const Counter &c : counters) {
      Ref value = read_counter(r, c.wire);
      kx::setitem(record.get(), c.key, value.get());
    }
  }
  return kx::py_none();
}

// A flag word (top bit), then rule id and name pairs up to the end of the
// message; 1 to 3 bytes left where an id would start are ignored.
KX_FUNCTION(handleShapingRulesInit, "m") {
  Reader r(arg[0]);
  bool flag = (r.u32() & 0x80000000u) != 0;
  Ref rules = kx::check(PyDict_New());
  while (r.remaining() >= 4) {
    Ref id = r.long32();
    Ref name = r.string(256);
    kx::setitem(rules.get(), id.get(), name.get());
  }
  Ref truth = kx::builtin(flag ? n_True : n_False);
  return kx::check(PyTuple_Pack(2, rules.get(), truth.get()));
}

PyMethodDef kx_methods_shaping[] = {
    KX_METHOD(shapingobjectShow),
    KX_METHOD(shapingobjectHide),
    KX_METHOD(shapingobjectUpdateHandle),
    KX_METHOD(handleShapingRulesInit),
    KX_METHODS_END,
};
