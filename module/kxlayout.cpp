// Reading field tables: the out-of-line values (kxlayout.h, kxrows.h).
#include "kxlayout.h"

namespace kx {

// int(value) * 8 in Python arithmetic, so the largest u32 gives 34359738360
// rather than wrapping.
Ref rows::times_eight(const Ref &value, Site at) {
  Ref eight = py_int(8, at);
  Ref v = builtin_int(value.get(), at);
  return check(PyNumber_Multiply(v.get(), eight.get()), at);
}

Ref rows::u32_pairs(Reader &r, Site at) {
  uint32_t n = r.u32(at);
  Ref list = new_list(0, at);
  for (uint32_t i = 0; i < n; i++) {
    Ref a = r.long32(at);
    Ref b = r.long32(at);
    list_append(list.get(), pair(a, b, at).get(), at);
  }
  return list;
}

// The value of one field of a kind read on its own; inlined into the table loop.
static inline __attribute__((always_inline)) Ref value_of(Reader &r, Kind k, uint32_t arg,
                                                          Site at) {
  switch (k) {
    case Kind::u8: return r.int8(at);
    case Kind::u16: return r.int16(at);
    case Kind::u32: return r.long32(at);
    case Kind::u64: return r.long64(at);
    case Kind::s32: return py_int(static_cast<int32_t>(r.u32(at)), at);
    case Kind::s16: return py_int(static_cast<int16_t>(r.u16(at)), at);
    case Kind::boolean: return py_bool(r.u8(at) != 0);
    case Kind::string: return r.string(arg, at);
    case Kind::ip4: return r.v4addr(at);
    case Kind::ipaddr: return r.ipaddr(at);
    case Kind::ipaddrplen: return r.ipaddrplen(at);
    case Kind::bps: return rows::times_eight(r.long32(at), at);
    case Kind::zero: return py_int(0, at);
    case Kind::u32_pairs: return rows::u32_pairs(r, at);
    case Kind::u32_via_int: return builtin_int(r.u32(at), at);
    case Kind::family:
    case Kind::addr:
    case Kind::pair:
    case Kind::skip:
    case Kind::skip_counted:
    case Kind::list:
    case Kind::skip_text:
    case Kind::skip_if:
    case Kind::skip_family:
    case Kind::skip_addr:
    case Kind::repeat:
    case Kind::skip_since:
    case Kind::skip_words:
    case Kind::blob:
    case Kind::s64:
    case Kind::filter_value:
    case Kind::blob16:
    case Kind::field_value:
    case Kind::rest:
    case Kind::criteria: break;
  }
  kx_bug(__FILE__, __LINE__, __func__, "kind %d is not read on its own", static_cast<int>(k));
  return Ref();
}

Ref read_value(Reader &r, Kind k, uint32_t arg, Site at) { return value_of(r, k, arg, at); }

}  // namespace kx
