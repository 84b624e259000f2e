// The module's field tables expanded from the protocol definition's server
// records (kxp::kLayout_*), with the choices the wire does not fix (the
// buffer a text is read into, refills, bits for bytes, values through the
// built-in int, growing lists) in one overlay, keyed by record and field.
//   KX_RECORD_TABLE(kX, RECORD);               every row of the record
//   KX_RECORD_TABLE(kX, RECORD, "a", "b");     its rows from field a to field b
//   KX_RECORD_COUNT(kX, RECORD, "list");       the count of one of its lists
//   KX_RECORD_ITEM(kX, RECORD, "list");        a value of one of its lists
// declares the table kX (rows kX_rows) as kx::Table; a record row that
// is not a field (a case, a group, a list of records) ends what can be
// expanded and fails to compile inside a slice.
//
// May touch: constants only. It never reads a message and never names one
// but through the definition's records.
#ifndef KX_MODULE_KXRECORDS_H
#define KX_MODULE_KXRECORDS_H

#include <stddef.h>
#include <stdint.h>

#include <array>

#include "kxkind.h"

namespace kx {
namespace records {

// Field `field` of record `record` (null: of any record) read as `kind` with
// `arg`; Kind::rest keeps the wire's kind and only ORs `arg` into its argument.
struct Choice {
  const char *record;
  const char *field;
  Kind kind;
  uint32_t arg;
};

// A record's choice for its pairs: each read as its two numbers.
constexpr uint32_t kTwoNumbers = 0x80000000u;

constexpr Choice kChoices[] = {
    // Texts: the buffer each is read into (at most one byte less is kept).
    {"XFB_NAMES", "names", Kind::string, 255},
    {"STRTABLE_ENTRY", "text", Kind::string, 4096},
    {"FWLOG_ENTRY", "properties", Kind::string, 1024},
    {"FWLOG_ENTRY", nullptr, Kind::string, 255},
    {"CHANNEL_STATISTIC", "name", Kind::string, 255},
    {"CHANNEL_INFO", "name", Kind::string, 255},
    {"SHAPING_NAME", "name", Kind::string, 512},
    {nullptr, nullptr, Kind::string, 256},
    // Numbers: view row speeds are bytes per second on the wire, bits per
    // second decoded; a rule-test result's lists are pairs.
    {"VIEW_SPEED_DATA", "speed", Kind::rest, kTimes8},
    // Connection records: the flag words refilled in place; the lists
    // assigned empty before (or right after) their counts and grown.
    {"CONN_ENGINE_FLAGS_BLOCK", "_engineflags", Kind::rest, kRefill},
    {"CONN_XFB_FLAGS_BLOCK", "_xfbflags", Kind::rest, kRefill},
    {"CONN_DEEPSCAN_BLOCK", "_deepscan", Kind::rest, kGrow},
    {"CONN_SHAPING_BLOCK", "_shaping_rule_ids", Kind::rest, kGrowEarly},
    {"CONN_STAT_RULES_BLOCK", "_stat_rule_ids", Kind::rest, kGrow},
    // Channel samples: the id through the built-in int; a statistic's pairs
    // read as their numbers (the keys are made from the statistic's name).
    {"CHANNEL_SAMPLE", "id", Kind::u32_via_int, 0},
    {"CHANNEL_STATISTIC_VALUES", nullptr, Kind::pair, kTwoNumbers},
    // Host records: the identifiers through the built-in int; the layer-4
    // error count there from L4ERRORMINVERSION by Python's >=; the detail
    // words read past at once.
    {"HOST_NETOBJECTS_GROUP", "netobjects", Kind::list, list_of(4, Kind::u32_via_int)},
    {"HOST_DETAILS_GROUP", "l4errors", Kind::rest, kGreaterEqual},
    {"HOST_DETAILS_GROUP", "details", Kind::skip_words, 0},
    {"VCRC_TEST_RESULT", "fwrules", Kind::u32_pairs, 0},
    {"VCRC_TEST_RESULT", "shapingrules", Kind::u32_pairs, 0},
};

constexpr bool same(const char *a, const char *b) {
  if (!a || !b) return a == b;
  while (*a && *a == *b) a++, b++;
  return *a == *b;
}

// The overlay's choice for a field of a wire kind; null for none.
constexpr const Choice *choice(const char *record, const char *field, Kind wire) {
  for (const Choice &c : kChoices) {
    bool rec = !c.record || same(c.record, record);
    bool fld = !c.field || same(c.field, field);
    bool kind = c.field || c.kind == wire;  // a record's or everyone's default names its kind
    if (rec && fld && kind) return &c;
  }
  return nullptr;
}

constexpr uint32_t width(kxp::WireKind k) { return kxp::kKindWidth[k]; }

// The field a value row is read as.
constexpr Field field(const char *record, const kxp::LayoutRow &r) {
  Kind wire = kind_of(r.kind);
  Field f{r.name, wire, 0};
  if (r.kind == kxp::kind_blob || r.kind == kxp::kind_blob16) f = Field{r.name, Kind::blob, r.kind == kxp::kind_blob ? 4u : 2u};
  if (r.how == kxp::how_list)
    f = Field{r.name, Kind::list, list_of(width(r.count), kind_of(r.item_kind))};
  if (const Choice *c = choice(record, r.name, f.kind)) {
    if (c->kind == Kind::rest)
      f.arg |= c->arg;
    else
      f = Field{r.name, c->kind, c->arg};
  }
  return f;
}

// The field a skipped value of kind k is read past as.
constexpr Field skip(const char *name, kxp::WireKind k) {
  switch (k) {
    case kxp::kind_string: return Field{name, Kind::skip_text, 256};
    case kxp::kind_family: return Field{name, Kind::skip_family, 0};
    case kxp::kind_addr: return Field{name, Kind::skip_addr, 0};
    case kxp::kind_blob16: return Field{name, Kind::skip_counted, 2};
    default: return Field{name, Kind::skip, width(k)};
  }
}

// Expands rows [first, last] of a record (all when first is null) into out
// (null: only counts them); the number of fields.
constexpr size_t expand_into(const kxp::LayoutRow *rows, const char *record, const char *first, const char *last,
                             Field *out) {
  size_t n = 0;
  bool in = !first;
  auto put = [&](Field f) {
    if (out) out[n] = f;
    n++;
  };
  for (const kxp::LayoutRow *r = rows; r->name; r++) {
    if (!in && same(r->name, first)) in = true;
    if (!in) continue;
    switch (r->how) {
      case kxp::how_field:
        put(field(record, *r));
        break;
      case kxp::how_list: {
        if (r->count == kxp::kind_rest && !choice(record, r->name, Kind::list)) throw "a list up to the end";
        if (!r->item || choice(record, r->name, Kind::list)) {
          put(field(record, *r));
          break;
        }
        // A list of records: of skipped fields only, as the table's first row
        // (each record's rows read count times); or of skipped fields before
        // one value, the list of the values with the skipped bytes as a gap.
        uint32_t gap = 0;
        const kxp::LayoutRow *value = nullptr;
        for (const kxp::LayoutRow *i = r->item; i->name; i++) {
          if (i->how == kxp::how_field && !value)
            value = i;
          else if (i->how == kxp::how_skip && !value && width(i->kind))
            gap += width(i->kind) * i->n;
          else if (i->how != kxp::how_skip || value)
            throw "a list of records the module does not read as one field";
        }
        if (value) {
          Field f{r->name, Kind::list, list_of(width(r->count), kind_of(value->kind), gap)};
          if (const Choice *c = choice(record, r->name, Kind::list)) f.arg |= c->arg;
          put(f);
          break;
        }
        if (n) throw "a repeated record not first";
        put(Field{r->name, Kind::repeat, width(r->count)});
        for (const kxp::LayoutRow *i = r->item; i->name; i++)
          for (uint32_t k = 0; k < i->n; k++) put(skip(i->name, i->kind));
        break;
      }
      case kxp::how_skip:
        if (const Choice *c = choice(record, r->name, Kind::skip_words))
          put(Field{r->name, c->kind, r->n});  // the words read past at once
        else
          for (uint32_t i = 0; i < r->n; i++) put(skip(r->name, r->kind));
        break;
      case kxp::how_skip_since: {
        // keyed by the constant whose value the version is compared with
        Field f{r->text, Kind::skip_since, width(r->kind)};
        if (const Choice *c = choice(record, r->name, Kind::skip_since)) f.arg |= c->arg;
        put(f);
        break;
      }
      case kxp::how_skip_flagged: put(Field{r->name, Kind::skip_if, width(r->kind)}); break;
      case kxp::how_pair: {
        Field f{r->name, Kind::pair, width(r->kind) | (r->kind == kxp::kind_s64 ? kSigned : 0)};
        const Choice *c = choice(record, r->name, Kind::pair);
        if (c && (c->arg & kTwoNumbers)) {
          put(Field{r->name, kind_of(r->kind), 0});
          put(Field{r->name, kind_of(r->kind), 0});
          break;
        }
        if (c) f.arg |= c->arg;
        put(f);
        break;
      }
      case kxp::how_woven:
        put(Field{r->name, Kind::pair, width(r->kind) | kInterleaved});
        put(Field{r->text, Kind::pair, width(r->kind) | kInterleavedSecond});
        break;
      case kxp::how_absent: put(Field{r->name, Kind::zero, 0}); break;
      default: throw "a row that is not a field";
    }
    if (last && same(r->name, last)) return n;
  }
  if (last) throw "no such last field";
  return n;
}

constexpr size_t count(const kxp::LayoutRow *rows, const char *record, const char *first = nullptr,
                       const char *last = nullptr) {
  return expand_into(rows, record, first, last, nullptr);
}

template <size_t N>
constexpr std::array<Field, N> expand(const kxp::LayoutRow *rows, const char *record, const char *first = nullptr,
                                      const char *last = nullptr) {
  std::array<Field, N> out{};
  expand_into(rows, record, first, last, out.data());
  return out;
}

// The count of list `list` of a record, or one of its values.
constexpr const kxp::LayoutRow &list_row(const kxp::LayoutRow *rows, const char *list) {
  for (const kxp::LayoutRow *r = rows; r->name; r++)
    if (r->how == kxp::how_list && same(r->name, list)) return *r;
  throw "no such list";
}
constexpr std::array<Field, 1> count_of(const kxp::LayoutRow *rows, const char *list) {
  return {{Field{list, kind_of(list_row(rows, list).count), 0}}};
}
constexpr std::array<Field, 1> item_of(const kxp::LayoutRow *rows, const char *record, const char *list) {
  const kxp::LayoutRow &r = list_row(rows, list);
  Field f{list, kind_of(r.item_kind), 0};
  if (const Choice *c = choice(record, list, f.kind)) f = Field{list, c->kind, c->arg};
  return {{f}};
}

}  // namespace records
}  // namespace kx

#define KX_RECORD_TABLE(NAME, RECORD, ...)                                                                    \
  constexpr auto NAME##_rows = kx::records::expand<kx::records::count(kxp::kLayout_##RECORD, #RECORD, ##__VA_ARGS__)>( \
      kxp::kLayout_##RECORD, #RECORD, ##__VA_ARGS__);                                                         \
  const kx::Table<NAME##_rows> NAME
// The count of a record's list, and one of its values.
#define KX_RECORD_COUNT(NAME, RECORD, LIST)                                                  \
  constexpr auto NAME##_rows = kx::records::count_of(kxp::kLayout_##RECORD, LIST); \
  const kx::Table<NAME##_rows> NAME
#define KX_RECORD_ITEM(NAME, RECORD, LIST)                                                            \
  constexpr auto NAME##_rows = kx::records::item_of(kxp::kLayout_##RECORD, #RECORD, LIST); \
  const kx::Table<NAME##_rows> NAME

#endif
