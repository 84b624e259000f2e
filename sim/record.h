// kxd-sim: the writer of the server records the protocol definition lays out
// (kxp::kLayout_*), over accessor tables that give each field's value.
#ifndef KXD_SIM_RECORD_H
#define KXD_SIM_RECORD_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <type_traits>
#include <vector>

#include "proto.h"

namespace sim {

struct Val;

// Where a record's values come from: an object, which item of a list it
// stands for, and the look-up of a field in its accessor table (false when
// the table has no such field).
struct Source {
  const void *obj;
  size_t item;
  bool (*get)(const Source &s, const char *name, size_t i, Val &v);
};

// One field's value as an accessor gives it.
struct Val {
  uint64_t n = 0;            // a number; a pair's first; a flagged field's marker
  uint64_t n2 = 0;           // a pair's second; a flagged field's value
  std::string bytes;         // a string's text, a blob's or an opaque rest's bytes
  bool no_text = false;      // a string field of length 0: not even the closing zero byte
  Addr addr;                 // addr and ipaddr fields
  const kx_ipaddrplen_t *prefix = nullptr;  // an ipaddrplen field
  std::vector<uint64_t> nums;               // a list of numbers; the shaping counter set
  std::vector<std::string> texts;           // a list of strings
  std::vector<Source> items;                // a list of records
  bool end = false;                         // at KX_MAY_END: the payload ends there
};

// The item and the value of a row (of a KX_SKIP_N row) an accessor is asked for.
struct Ix {
  size_t item;
  size_t i;
};

// One entry of an accessor table: a record field's name and its value.
template <class T>
struct Accessor {
  using Object = T;
  const char *name;
  Val (*get)(const T &obj, Ix at);
};

template <auto &Table>
bool look_up(const Source &s, const char *name, size_t i, Val &v) {
  using T = typename std::remove_reference_t<decltype(Table[0])>::Object;
  for (const auto &a : Table)
    if (strcmp(a.name, name) == 0) {
      v = a.get(*static_cast<const T *>(s.obj), Ix{s.item, i});
      return true;
    }
  return false;
}

// The values of `obj` (item `item` of a list) as the accessor table Table gives them.
template <auto &Table, class T>
Source source(const T &obj, size_t item = 0) {
  return Source{&obj, item, look_up<Table>};
}

Val num(uint64_t n);
Val pair(uint64_t a, uint64_t b);
Val text(const std::string &s);
Val no_text();  // a string field of length 0
Val bytes(const void *data, size_t size);
Val addr(const Addr &a);
Val end_here(bool end);

// A list of `count` records, items 0..count-1 of obj, by the accessor table Table.
template <auto &Table, class T>
Val items(const T &obj, size_t count) {
  Val v;
  for (size_t i = 0; i < count; i++) v.items.push_back(source<Table>(obj, i));
  return v;
}
template <class C>
Val nums(const C &values) {
  Val v;
  for (auto x : values) v.nums.push_back(static_cast<uint64_t>(x));
  return v;
}

// Appends the record `rows` with the values `s` gives. A field without an
// accessor is a bug of the simulator.
void write_record(kx_msg_t *m, const kxp::LayoutRow *rows, const Source &s);

}  // namespace sim

#endif
