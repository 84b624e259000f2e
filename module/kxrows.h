// The field-table engine: a table's rows (kxkind.h) read in order, each by
// the reads its kind needs, chosen when the module is compiled. Handlers
// read tables through the entry points of kxlayout.h.
//
// May touch: the Reader and BlockReader (never kx_msg_* itself), the
// operations of kxops.h. It never names a message.
#ifndef KX_MODULE_KXROWS_H
#define KX_MODULE_KXROWS_H

#include "kxkind.h"
#include "kxreader.h"

#include <stddef.h>
#include <stdint.h>

#include <type_traits>
#include <utility>

namespace kx {

// A constexpr field table (an array of Field at namespace scope) and its
// keys, interned at import: one Name per row, parallel to the rows (each
// registers itself as every Name does). Declared in one statement,
//   KX_TABLE(kX, {"key", Kind::u32, 0}, ...);
// (its rows are kX_rows), or in two, which rows expanded from the protocol
// definition (#include lines, which no macro argument holds) need:
//   constexpr kx::Field kX_rows[] = {...};
//   const kx::Table<kX_rows> kX;
// The rows are known at compile time, so reading a table is the sequence of
// its rows' reads, each chosen by its kind when the module is compiled.
// Rows is declared `const auto &` here and in every function that deduces it
// from a Table: clang cannot deduce a plain `auto &` from Table<Rows>.
template <const auto &Rows>
class Table {
 public:
  static constexpr size_t size = sizeof Rows / sizeof Rows[0];
  Table() : Table(std::make_index_sequence<size>()) {}
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;
  const Name *keys() const { return keys_; }

 private:
  template <size_t... I>
  explicit Table(std::index_sequence<I...>) : keys_{Name(Rows[I].key)...} {}
  Name keys_[size];
};
#define KX_TABLE(NAME, ...)                          \
  constexpr kx::Field NAME##_rows[] = {__VA_ARGS__}; \
  const kx::Table<NAME##_rows> NAME

// Where a table's values go: dict items, object attributes, or the slots of
// a tuple in row order (skipped fields take none).
// new_attr is attr for an object just made: its pairs are stored new, not
// refilled (an old value its constructor left is rarely one to refill).
enum class Into : uint8_t { item, attr, new_attr, tuple };

namespace rows {

// What one pass over a table's rows carries from row to row.
struct State {
  bool v6 = false;        // the last family field said IPv6
  Ref *slots = nullptr;   // where Into::tuple puts the values, in row order
  size_t slot = 0;        // the next of them
  uint64_t interleaved[2];  // the second pair a kInterleaved row leaves for the kInterleavedSecond row
  PyObject *version = nullptr;  // the protocol version skip_since rows compare
};

template <size_t W> struct Wire;
template <> struct Wire<1> { using type = uint8_t; using signed_type = int8_t; };
template <> struct Wire<2> { using type = uint16_t; using signed_type = int16_t; };
template <> struct Wire<4> { using type = uint32_t; using signed_type = int32_t; };
template <> struct Wire<8> { using type = uint64_t; using signed_type = int64_t; };

template <Into into>
inline void store(PyObject *target, const Name &key, Ref value, State &st, Site at) {
  if constexpr (into == Into::item)
    setitem(target, key, value.get(), at);
  else if constexpr (into == Into::attr)
    setattr(target, key, value.get(), at);
  else if constexpr (into == Into::new_attr)
    set_new_attr(target, key, value.get(), at);
  else
    st.slots[st.slot++] = std::move(value);
}

// Two numbers of the row's width (signed with kSigned, times 8 with kTimes8):
// an attribute through set_pair (which refills a pair only the attribute
// holds), anything else as a new pair of longs.
template <Into into, uint32_t A, class R>
inline void read_pair(R &r, PyObject *target, const Name &key, State &st, Site at) {
  using W = Wire<(A & 0xff)>;
  using V = std::conditional_t<(A & kSigned) != 0, int64_t, uint64_t>;
  using S = std::conditional_t<(A & kSigned) != 0, typename W::signed_type, typename W::type>;
  using U = typename W::type;
  V a, b;
  if constexpr ((A & kInterleavedSecond) != 0) {
    a = static_cast<V>(st.interleaved[0]);
    b = static_cast<V>(st.interleaved[1]);
  } else if constexpr ((A & kInterleaved) != 0) {
    // Four numbers, each into its own variable: a pass through an array
    // read back as a whole made the processor wait for the stores.
    V c, d;
    if (const uint8_t *q = r.try_take(4 * sizeof(U)); R::kTakeNeverFails || q) {
      a = static_cast<V>(static_cast<S>(Reader::load<U>(q)));
      c = static_cast<V>(static_cast<S>(Reader::load<U>(q + sizeof(U))));
      b = static_cast<V>(static_cast<S>(Reader::load<U>(q + 2 * sizeof(U))));
      d = static_cast<V>(static_cast<S>(Reader::load<U>(q + 3 * sizeof(U))));
    } else {
      a = static_cast<V>(static_cast<S>(r.template num<U>(at)));
      c = static_cast<V>(static_cast<S>(r.template num<U>(at)));
      b = static_cast<V>(static_cast<S>(r.template num<U>(at)));
      d = static_cast<V>(static_cast<S>(r.template num<U>(at)));
    }
    st.interleaved[0] = static_cast<uint64_t>(c);
    st.interleaved[1] = static_cast<uint64_t>(d);
  } else if (const uint8_t *q = r.try_take(2 * sizeof(U)); R::kTakeNeverFails || q) {
    a = static_cast<V>(static_cast<S>(Reader::load<U>(q)));
    b = static_cast<V>(static_cast<S>(Reader::load<U>(q + sizeof(U))));
  } else {  // short: the first number read (or not) as num() reads it
    a = static_cast<V>(static_cast<S>(r.template num<U>(at)));
    b = static_cast<V>(static_cast<S>(r.template num<U>(at)));
  }
  if constexpr ((A & kTimes8) != 0) {
    static_assert((A & (kInterleaved | kInterleavedSecond)) == 0, "interleaved pairs are not scaled");
    a = static_cast<V>(static_cast<uint64_t>(a) * 8);
    b = static_cast<V>(static_cast<uint64_t>(b) * 8);
  }
  if constexpr (into == Into::attr)
    set_pair<V>(target, key, a, b, at);
  else
    store<into>(target, key, long_pair<V>(a, b, at), st, at);
}

// Out of line: the values of the bps and u32_pairs kinds.
Ref times_eight(const Ref &value, Site at);
Ref u32_pairs(Reader &r, Site at);

// Kinds read past that give no value.
constexpr bool stores_nothing(Kind k) {
  return k == Kind::skip || k == Kind::skip_counted || k == Kind::skip_text || k == Kind::skip_if ||
         k == Kind::skip_family || k == Kind::skip_addr || k == Kind::repeat || k == Kind::skip_since ||
         k == Kind::skip_words;
}
// The kinds whose value is read on its own (value below); the others are
// read only with the rows around them, or only written.
template <Kind K>
constexpr bool kReadAlone = K == Kind::u8 || K == Kind::u16 || K == Kind::u32 || K == Kind::u64 ||
                            K == Kind::s16 || K == Kind::s32 || K == Kind::boolean || K == Kind::string ||
                            K == Kind::ip4 || K == Kind::ipaddr || K == Kind::ipaddrplen || K == Kind::bps ||
                            K == Kind::zero || K == Kind::u32_via_int || K == Kind::blob ||
                            K == Kind::u32_pairs;

template <Kind K, uint32_t A, class R>
inline Ref value(R &r, Site at) {
  static_assert(kReadAlone<K>, "a kind read only with the rows around it");
  if constexpr (K == Kind::u8) return r.int8(at);
  else if constexpr (K == Kind::u16) return r.int16(at);
  else if constexpr (K == Kind::u32) return r.long32(at);
  else if constexpr (K == Kind::u64) return r.long64(at);
  else if constexpr (K == Kind::s32) return py_int(static_cast<int32_t>(r.u32(at)), at);
  else if constexpr (K == Kind::s16) return py_int(static_cast<int16_t>(r.u16(at)), at);
  else if constexpr (K == Kind::boolean) return py_bool(r.u8(at) != 0);
  else if constexpr (K == Kind::string) return r.string(A, at);
  else if constexpr (K == Kind::ip4) return r.v4addr(at);
  else if constexpr (K == Kind::ipaddr) return r.ipaddr(at);
  else if constexpr (K == Kind::ipaddrplen) return r.ipaddrplen(at);
  else if constexpr (K == Kind::bps) return times_eight(r.long32(at), at);
  else if constexpr (K == Kind::zero) return py_int(0, at);
  else if constexpr (K == Kind::u32_via_int) return builtin_int(r.u32(at), at);
  else if constexpr (K == Kind::blob) return r.bytes(static_cast<uint32_t>(r.template num<typename Wire<A>::type>(at)), at);
  else {
    static_assert(K == Kind::u32_pairs);
    return u32_pairs(r, at);
  }
}

// The values of a Kind::list row without kGrow flags, in a list filled as
// they are read (new_list_room), its room no more than the message holds.
template <uint32_t A>
Ref list_value(Reader &r, Site at) {
  constexpr Kind E = static_cast<Kind>(A >> 8 & 0xff);
  static_assert(E == Kind::u8 || E == Kind::u16 || E == Kind::u32 || E == Kind::u64 || E == Kind::u32_via_int,
                "a list of numbers");
  constexpr uint32_t gap = A >> 16 & 0xff, each = gap + (E == Kind::u8 ? 1 : E == Kind::u16 ? 2 : E == Kind::u64 ? 8 : 4);
  using C = typename Wire<(A & 0xff)>::type;
  C count = r.template num<C>(at);
  // A u32 count may be far more than the message holds; u8 and u16 ones are not.
  uint32_t room = count;
  if constexpr (sizeof(C) > 2) room = count < r.remaining() / each ? count : r.remaining() / each;
  Ref list = new_list_room(room, at);
  if constexpr (E == Kind::u32_via_int) {
    IntRun int_of(at);
    for (C i = 0; i < count; i++) list_append_new(list.get(), int_of(r.u32(at), at), at);
  } else {
    // No Python code runs between two values: when all their bytes are
    // there, they are read with that one length check.
    auto fill = [&](auto &from) {
      for (C i = 0; i < count; i++) {
        if constexpr (gap != 0) from.skip(gap, at);
        list_append_new(list.get(), value<E, 0>(from, at), at);
      }
    };
    const uint8_t *block = uint64_t{count} * each <= r.remaining() ? r.try_take(count * each) : nullptr;
    if (block) {
      BlockReader u(block);
      fill(u);
    } else {
      fill(r);
    }
  }
  return list;
}

// A Kind::list row: a list stored whole, or an attribute grown value by value.
template <Into into, uint32_t A>
inline void read_list(Reader &r, PyObject *target, const Name &key, State &st, Site at) {
  if constexpr ((A & (kGrow | kGrowEarly)) != 0) {
    static_assert(into == Into::attr || into == Into::new_attr, "only an attribute grows");
    using C = typename Wire<(A & 0xff)>::type;
    constexpr Kind E = static_cast<Kind>(A >> 8 & 0xff);
    if constexpr ((A & kGrowEarly) != 0) set_empty_list(target, key, at);
    C n = r.template num<C>(at);
    if constexpr ((A & kGrowEarly) == 0) set_empty_list(target, key, at);
    for (; n; n--) append_to_attr(target, key, value<E, 0>(r, at).get(), at);
  } else {
    store<into>(target, key, list_value<A>(r, at), st, at);
  }
}

template <Into into, Kind K, uint32_t A, class R>
inline __attribute__((always_inline)) void read_row(R &r, PyObject *target, const Name &key, State &st,
                                                    Site at) {
  if constexpr (K == Kind::skip) {
    r.skip(A, at);
  } else if constexpr (K == Kind::skip_counted) {
    r.skip(static_cast<uint32_t>(r.template num<typename Wire<A>::type>(at)), at);
  } else if constexpr (K == Kind::pair) {
    read_pair<into, A>(r, target, key, st, at);
  } else if constexpr (K == Kind::family) {
    uint8_t family = r.u8(at);
    if (family > 1) bad_message_text(at, "Unknown ip address type %d", family);
    st.v6 = family == 1;
    store<into>(target, key, py_int(family, at), st, at);
  } else if constexpr (K == Kind::addr) {
    store<into>(target, key, r.address(st.v6, at), st, at);
  } else if constexpr (K == Kind::list) {
    read_list<into, A>(r, target, key, st, at);
  } else if constexpr (K == Kind::skip_text) {
    r.skip_string(A, at);
  } else if constexpr (K == Kind::skip_if) {
    if (r.u8(at)) r.skip(A, at);
  } else if constexpr (K == Kind::skip_family) {
    st.v6 = r.family(nullptr, at);
  } else if constexpr (K == Kind::skip_addr) {
    r.skip_address(st.v6, at);
  } else if constexpr (K == Kind::skip_since) {
    Ref threshold = global(key, at);
    bool since = (A & kGreaterEqual) != 0 ? greater_equal(st.version, threshold.get(), at)
                                          : cmp_at_least(st.version, threshold.get(), at);
    if (since) r.skip(A & 0xffff, at);
  } else if constexpr (K == Kind::skip_words) {
    uint32_t present = r.remaining() / 4;
    r.skip(4 * (A < present ? A : present), at);
    if (present < A) bad_message(at);
  } else if constexpr (K == Kind::u32 && (A & kRefill) != 0 && into == Into::attr) {
    set_number(target, key, r.u32(at), at);
  } else {
    store<into>(target, key, value<K, A>(r, at), st, at);
  }
}

// Reads the rows in order and stores each value on `target` right after
// reading it, so a short message leaves the fields before it stored.
// The rows from O on.
template <Into into, const auto &Rows, size_t O, class R, size_t... I>
inline void read_rows(R &r, PyObject *target, const Name *keys, State &st, std::index_sequence<I...>,
                 Site at) {
  (read_row<into, Rows[O + I].kind, Rows[O + I].arg>(r, target, keys[O + I], st, at), ...);
}
template <Into into, const auto &Rows, class R, size_t... I>
inline void read(R &r, PyObject *target, const Name *keys, Ref *slots, std::index_sequence<I...> seq,
                 Site at, PyObject *version = nullptr) {
  State st;
  st.slots = slots;
  st.version = version;
  if constexpr (Rows[0].kind == Kind::repeat) {
    static_assert(into == Into::item, "only skipped rows repeat");
    using C = typename Wire<Rows[0].arg>::type;
    for (C n = r.template num<C>(at); n; n--)
      read_rows<into, Rows, 1>(r, target, keys, st, std::make_index_sequence<sizeof...(I) - 1>(), at);
  } else {
    read_rows<into, Rows, 0>(r, target, keys, st, seq, at);
  }
}

// The bytes a row takes when its kind has a fixed width; kVariable otherwise.
constexpr uint32_t kVariable = 0xffffffff;
constexpr uint32_t fixed_width(const Field &f) {
  switch (f.kind) {
    case Kind::u8: case Kind::boolean: return 1;
    case Kind::u16: case Kind::s16: return 2;
    case Kind::u32: case Kind::s32: case Kind::bps: return 4;
    case Kind::u64: return 8;
    case Kind::zero: return 0;
    case Kind::pair: return (f.arg & kInterleavedSecond ? 0 : f.arg & kInterleaved ? 4 : 2) * (f.arg & 0xff);
    case Kind::skip: return f.arg;
    default: return kVariable;
  }
}
// The bytes of a table of fixed-width rows; kVariable when a row has none.
template <const auto &Rows>
constexpr uint32_t table_width() {
  uint32_t n = 0;
  for (const Field &f : Rows) {
    if (fixed_width(f) == kVariable) return kVariable;
    n += fixed_width(f);
  }
  return n;
}

// A table of fixed-width rows whose bytes are all there is read with one
// length check; any other, and a short one, row by row.
template <Into into, const auto &Rows>
inline void read(Reader &r, PyObject *target, const Table<Rows> &t, Site at, Ref *slots = nullptr,
                 PyObject *version = nullptr) {
  constexpr uint32_t width = table_width<Rows>();
  if constexpr (width != kVariable && Table<Rows>::size > 1) {
    if (const uint8_t *block = r.try_take(width)) {
      BlockReader u(block);
      read<into, Rows>(u, target, t.keys(), slots, std::make_index_sequence<Table<Rows>::size>(), at);
      return;
    }
  }
  read<into, Rows>(r, target, t.keys(), slots, std::make_index_sequence<Table<Rows>::size>(), at, version);
}

// A table of fixed-width numbers and skips read into `out` (one slot per
// number, in row order), its width checked once.
template <Kind K, uint32_t A, class R>
inline void number_row(R &r, uint64_t *&out, Site at) {
  if constexpr (K == Kind::skip) {
    r.skip(A, at);
  } else {
    static_assert(K == Kind::u8 || K == Kind::u16 || K == Kind::u32 || K == Kind::u64, "a number row");
    *out++ = r.template num<typename Wire<fixed_width(Field{nullptr, K, A})>::type>(at);
  }
}
template <const auto &Rows, class R, size_t... I>
inline void read_numbers(R &r, uint64_t *out, std::index_sequence<I...>, Site at) {
  (number_row<Rows[I].kind, Rows[I].arg>(r, out, at), ...);
}
// The same from the table's bytes at p, each number loaded from its offset.
template <const auto &Rows>
constexpr uint32_t offset_of(size_t row) {
  uint32_t n = 0;
  for (size_t k = 0; k < row; k++) n += fixed_width(Rows[k]);
  return n;
}
template <const auto &Rows>
constexpr size_t slot_of(size_t row) {
  size_t n = 0;
  for (size_t k = 0; k < row; k++) n += Rows[k].kind != Kind::skip;
  return n;
}
template <Kind K, uint32_t A, uint32_t Offset, size_t Slot>
inline void load_row(const uint8_t *p, uint64_t *out) {
  if constexpr (K != Kind::skip) out[Slot] = Reader::load<typename Wire<fixed_width(Field{nullptr, K, A})>::type>(p + Offset);
}
template <const auto &Rows, size_t... I>
inline void load_numbers(const uint8_t *p, uint64_t *out, std::index_sequence<I...>) {
  (load_row<Rows[I].kind, Rows[I].arg, offset_of<Rows>(I), slot_of<Rows>(I)>(p, out), ...);
}

}  // namespace rows

}  // namespace kx

#endif
