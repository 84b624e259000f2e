// Reading field tables: the entry points handlers read a table's fields
// through (into a dict, an object, a tuple, numbers), and flag-driven blocks.
//
// May touch: the Reader (never kx_msg_* itself) and the engine of kxrows.h.
// It never names a message.
#ifndef KX_MODULE_KXLAYOUT_H
#define KX_MODULE_KXLAYOUT_H

#include "kxrows.h"

namespace kx {

// One value of kind k (arg as in Field). The family and addr kinds, which
// depend on each other, are read only as fields of a table, pairs and skips
// only there too.
Ref read_value(Reader &r, Kind k, uint32_t arg, Site at = Site());

template <const auto &Rows>
void read_items(Reader &r, PyObject *dict, const Table<Rows> &t, Site at = Site()) {
  rows::read<Into::item>(r, dict, t, at);
}
// The same from a block already taken (BlockReader), for a table of
// fixed-width fields.
template <const auto &Rows>
void read_items(BlockReader &block, PyObject *dict, const Table<Rows> &t, Site at = Site()) {
  static_assert(rows::table_width<Rows>() != rows::kVariable, "a table of fixed-width fields");
  rows::read<Into::item, Rows>(block, dict, t.keys(), nullptr, std::make_index_sequence<Table<Rows>::size>(), at);
}
template <const auto &Rows>
void read_attrs(Reader &r, PyObject *obj, const Table<Rows> &t, Site at = Site()) {
  rows::read<Into::attr>(r, obj, t, at);
}
template <const auto &Rows>
constexpr bool has_pair() {
  for (const Field &f : Rows)
    if (f.kind == Kind::pair || (f.kind == Kind::u32 && (f.arg & kRefill))) return true;
  return false;
}
// The same for an object just made when `fresh` (see Into::new_attr; only
// pairs and refilled numbers are stored differently).
template <const auto &Rows>
void read_attrs(Reader &r, PyObject *obj, const Table<Rows> &t, bool fresh, Site at = Site()) {
  if (has_pair<Rows>() && fresh)
    rows::read<Into::new_attr>(r, obj, t, at);
  else
    rows::read<Into::attr>(r, obj, t, at);
}
// The same, on an object just made, from a block already taken (BlockReader):
// several tables read after one length check.
template <const auto &Rows>
void read_new_attrs(BlockReader &block, PyObject *obj, const Table<Rows> &t, Site at = Site()) {
  static_assert(rows::table_width<Rows>() != rows::kVariable, "a table of fixed-width fields");
  rows::read<Into::new_attr, Rows>(block, obj, t.keys(), nullptr, std::make_index_sequence<Table<Rows>::size>(),
                                   at);
}
// Reads past every field of a table of skips.
template <const auto &Rows>
void skip_fields(Reader &r, const Table<Rows> &t, Site at = Site()) {
  rows::read<Into::item>(r, nullptr, t, at);
}
// The same for a table with skip_since rows, which compare `version`.
template <const auto &Rows>
void skip_fields(Reader &r, const Table<Rows> &t, PyObject *version, Site at = Site()) {
  rows::read<Into::item>(r, nullptr, t, at, nullptr, version);
}

// The numbers of a table of u8/u16/u32/u64 and skip rows into `out`, one
// slot per number, its width checked once; a short message raises
// BadMessageError() where its first missing field stands.
template <const auto &Rows, size_t N>
inline __attribute__((always_inline)) void read_numbers(Reader &r, const Table<Rows> &, uint64_t (&out)[N],
                                                        Site at = Site()) {
  constexpr uint32_t width = rows::table_width<Rows>();
  static_assert(width != rows::kVariable, "fixed-width rows");
  constexpr auto seq = std::make_index_sequence<Table<Rows>::size>();
  if constexpr (Table<Rows>::size == 1 && Rows[0].kind != Kind::skip)
    out[0] = r.num<typename rows::Wire<width>::type>(at);
  else if (const uint8_t *p = r.try_take(width))
    rows::load_numbers<Rows>(p, out, seq);
  else
    rows::read_numbers<Rows>(r, out, seq, at);
}
// The same, giving false with nothing consumed when not even the first
// row's field is whole (where a run of records ends).
template <const auto &Rows, size_t N>
inline __attribute__((always_inline)) bool try_read_numbers(Reader &r, const Table<Rows> &,
                                                            uint64_t (&out)[N], Site at = Site()) {
  if constexpr (Table<Rows>::size == 1 && Rows[0].kind != Kind::skip) {
    typename rows::Wire<rows::fixed_width(Rows[0])>::type v;
    if (!r.try_num(v)) return false;
    out[0] = v;
    return true;
  }
  constexpr auto seq = std::make_index_sequence<Table<Rows>::size>();
  if (const uint8_t *p = r.try_take(rows::table_width<Rows>())) {
    rows::load_numbers<Rows>(p, out, seq);
    return true;
  }
  if (!r.has(rows::fixed_width(Rows[0]))) return false;
  rows::read_numbers<Rows>(r, out, seq, at);
  return true;
}
// The number of a table of one number row (a count, a mask).
template <const auto &Rows>
inline __attribute__((always_inline)) uint64_t read_number(Reader &r, const Table<Rows> &t, Site at = Site()) {
  uint64_t v[1];
  read_numbers(r, t, v, at);
  return v[0];
}

// The values of a table's fields as a new tuple. The values are read first
// and the tuple made of them last: reading may run Python code (a short
// field looks BadMessageError up, the collector may run), which must never
// find a tuple with empty slots.
template <const auto &Rows>
constexpr size_t value_count() {
  size_t n = 0;
  for (const Field &f : Rows) n += !rows::stores_nothing(f.kind);
  return n;
}
// The values of a table's fields, in row order, into `values`.
template <const auto &Rows, size_t N>
void read_values(Reader &r, const Table<Rows> &t, Ref (&values)[N], Site at = Site()) {
  static_assert(N == value_count<Rows>(), "one slot for each value of the table");
  rows::read<Into::tuple>(r, nullptr, t, at, values);
}
// The value of a table of one row.
template <const auto &Rows>
Ref read_value(Reader &r, const Table<Rows> &, Site at = Site()) {
  static_assert(Table<Rows>::size == 1 && (rows::kReadAlone<Rows[0].kind> ||
                                           (Rows[0].kind == Kind::list && !(Rows[0].arg & (kGrow | kGrowEarly)))),
                "a table of one value");
  if constexpr (Rows[0].kind == Kind::list)
    return rows::list_value<Rows[0].arg>(r, at);
  else
    return rows::value<Rows[0].kind, Rows[0].arg>(r, at);
}
template <const auto &Rows>
Ref read_tuple(Reader &r, const Table<Rows> &t, Site at = Site()) {
  constexpr size_t n = value_count<Rows>();
  Ref values[n];
  read_values(r, t, values, at);
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(n)), at);
  for (size_t i = 0; i < n; i++) PyTuple_SET_ITEM(tuple.get(), i, values[i].release());
  return tuple;
}

// try_read_numbers for a table of skips only.
template <const auto &Rows>
bool try_skip_fields(Reader &r, const Table<Rows> &t, Site at = Site()) {
  uint64_t none[1];
  static_assert(value_count<Rows>() == 0, "skips only");
  return try_read_numbers(r, t, none, at);
}

// `count` records of one layout, each read into a new dict: [dict, ...].
template <const auto &Rows>
Ref read_dict_list(Reader &r, uint32_t count, const Table<Rows> &t, Site at = Site()) {
  Ref list = new_list(0, at);
  for (; count > 0; count--) {
    Ref d = new_dict(at);
    rows::read<Into::item>(r, d.get(), t, at);
    list_append(list.get(), d.get(), at);
  }
  return list;
}

// Flag-driven blocks: each row names a flag bit and the reader of the block
// it announces. Rows are walked in the protocol's order (not bit order) and a
// block is read when any bit of its flag is set.
template <class Ctx>
struct Block {
  uint32_t flag;
  void (*read)(Reader &, Ctx &);
};
// The rows are a constexpr table, so each read is a direct call.
template <const auto &Rows, class Ctx, size_t... I>
inline void read_blocks(Reader &r, uint32_t flags, Ctx &ctx, std::index_sequence<I...>) {
  ((flags & Rows[I].flag ? Rows[I].read(r, ctx) : void()), ...);
}
template <const auto &Rows, class Ctx>
void read_blocks(Reader &r, uint32_t flags, Ctx &ctx) {
  read_blocks<Rows>(r, flags, ctx, std::make_index_sequence<sizeof Rows / sizeof Rows[0]>());
}

}  // namespace kx

#endif
