// The protocol's numbers as C++ constants, from kx_protocol.def: what the
// module and the simulator both name their messages, flags and constants by.
#ifndef KX_PROTOCOL_H
#define KX_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

namespace kxp {

// Wire kinds (kind_<name>) and their widths in bytes (0: variable); then
// the two compound kinds of layouts.
enum WireKind : uint8_t {
#define KX_KIND(kind, width) kind_##kind,
#include "kx_protocol.def"
  kind_list,      // a count, then records of a layout, or values of a kind
  kind_criteria,  // the rule-test criteria, each present when its bit of the mask is set
  kind_rest,      // a list's count kind: items until the payload ends
};
constexpr uint8_t kKindWidth[] = {
#define KX_KIND(kind, width) width,
#include "kx_protocol.def"
};

// PROTOCOL_VERSION, L4ERRORMINVERSION, SHAPINGBYTESMINVERSION.
#define KX_CONST(NAME, value, order) constexpr long NAME = value;
#include "kx_protocol.def"

// Server messages: SRV_<NAME>.
enum : uint32_t {
#define KX_SERVER(NAME, number, order) SRV_##NAME = number,
#define KX_SERVER_LIB(NAME, number) SRV_##NAME = number,
#include "kx_protocol.def"
};

// Requests: CLI_<NAME>.
enum : uint32_t {
#define KX_CLIENT(NAME, number, builder) CLI_##NAME = number,
#define KX_CLIENT_LIB(NAME, number, builder) CLI_##NAME = number,
#include "kx_protocol.def"
};

enum : uint64_t {
#define KX_FEATURE(NAME, bit, order) FEATURES_##NAME = bit,
#include "kx_protocol.def"
};

// View field and filter types, view update operations, firewall log query types.
enum : uint8_t {
#define KX_FIELD_TYPE(NAME, n, kind, order) FIELD_##NAME = n,
#include "kx_protocol.def"
};
enum : uint8_t {
#define KX_FILTER_TYPE(NAME, n, kind, order) FILTER_##NAME = n,
#include "kx_protocol.def"
};
enum : uint8_t {
#define KX_VIEW_OP(NAME, n, order) VIEW_OP_##NAME = n,
#include "kx_protocol.def"
};
enum : uint8_t {
#define KX_FWLOG_QTYPE(NAME, n, order) FWLOG_QTYPE_##NAME = n,
#include "kx_protocol.def"
};

// Update flags of a connection record.
enum : uint32_t {
#define KX_CONN_FLAG(NAME, bit) CONN_##NAME = bit,
#include "kx_protocol.def"
};

// A host record's update mask bits and a view row's data mask bits.
enum : uint16_t {
#define KX_HOST_GROUP(group, NAME, bit, RECORD, add) HOST_##NAME = bit,
#include "kx_protocol.def"
};
enum : uint8_t {
#define KX_VIEW_DATA(group, NAME, bit, RECORD) VIEW_DATA_##NAME = bit,
#include "kx_protocol.def"
};

// Engine flags with names.
enum : uint32_t {
#define KX_ENGINE_FLAG(NAME, bit) ENGINE_##NAME = bit,
#include "kx_protocol.def"
};

// The groups every host addition carries.
constexpr uint16_t HOST_ADD_GROUPS = 0
#define KX_HOST_GROUP(group, NAME, bit, RECORD, add) | (add ? bit : 0)
#include "kx_protocol.def"
    ;

// The other value tables of the server records: TABLE_<NAME>.
enum : uint32_t {
#define KX_ENUM(TABLE, NAME, n) TABLE##_##NAME = n,
#define KX_FLAG(TABLE, NAME, bit) TABLE##_##NAME = bit,
#include "kx_protocol.def"
};

// What a row of a layout or record is.
enum RowHow : uint8_t {
  how_field,      // a value of `kind` (KX_FIELD; KX_CODED: `text` names its value table)
  how_list,       // a count of kind `count`, then records `item` or values of `item_kind`
  how_criteria,   // the rule-test criteria
  how_skip,       // `n` values of `kind` read past (KX_SKIP, KX_SKIP_N)
  how_skip_since, // a value of `kind` read past, there from version `n` (constant `text`) on
  how_skip_flagged,  // a u8; when not 0, a value of `kind` read past
  how_pair,       // two values of `kind`
  how_woven,      // two pairs woven; `text` names the second
  how_absent,     // nothing on the wire
  how_counters,   // the shaping counter set
  how_inline,     // the rows of `item`
  how_case,       // the rows of `item` when field `name` is `n`
  how_case_else,  // the rows of `item` when field `name` is no case's value
  how_when,       // the rows of `item` when bit `n` of field `name` is set
  how_groups,     // the groups of family `n` (GroupFamily) that field `name` announces
  how_host_add_groups,  // the groups every host addition carries
  how_list_from,  // as many `item` records as list `text` of message `n` held
  how_may_end,    // the payload may end here
  how_opaque,     // the rest of the payload
};

// The families of groups a mask field announces.
enum GroupFamily : uint8_t { family_CONN_BLOCK, family_HOST_GROUP, family_VIEW_DATA };

// One row of a request's layout or of a server record: its name and kind; a
// list's count kind and its records' layout (null for a list of single values
// of `item_kind`); what the row is, and its number and text (see RowHow).
struct LayoutRow {
  const char *name;
  WireKind kind;
  WireKind count;
  WireKind item_kind;
  const LayoutRow *item;
  RowHow how;
  uint32_t n;
  const char *text;
};

// The layouts (kLayout_<NAME>), each request's (kRequest_<NAME>) and the
// server records (kLayout_<NAME>; a server message's is named as the
// message), in wire order, each ended by a row without a name.
#define KX_LAYOUT(NAME) constexpr LayoutRow kLayout_##NAME[] = {
#define KX_RECORD(NAME) constexpr LayoutRow kLayout_##NAME[] = {
#define KX_CLIENT(NAME, number, builder) constexpr LayoutRow kRequest_##NAME[] = {
#define KX_CLIENT_LIB(NAME, number, builder) constexpr LayoutRow kRequest_##NAME[] = {
#define KX_KX_ROW(name, kind, count, item_kind, item, how, n, text) \
  {name, kind, count, item_kind, item, how, n, text},
#define KX_FIELD(name, kind) KX_KX_ROW(#name, kind_##kind, kind_##kind, kind_##kind, nullptr, how_field, 0, nullptr)
#define KX_CODED(name, kind, TABLE) KX_KX_ROW(#name, kind_##kind, kind_##kind, kind_##kind, nullptr, how_field, 0, #TABLE)
#define KX_LIST(name, count, LAYOUT) KX_KX_ROW(#name, kind_list, kind_##count, kind_list, kLayout_##LAYOUT, how_list, 0, nullptr)
#define KX_VALUES(name, count, kind) KX_KX_ROW(#name, kind_list, kind_##count, kind_##kind, nullptr, how_list, 0, nullptr)
#define KX_CRITERIA(mask) KX_KX_ROW("criteria", kind_criteria, kind_criteria, kind_criteria, nullptr, how_criteria, 0, #mask)
#define KX_SKIP(name, kind) KX_KX_ROW(#name, kind_##kind, kind_##kind, kind_##kind, nullptr, how_skip, 1, nullptr)
#define KX_SKIP_N(name, kind, count) KX_KX_ROW(#name, kind_##kind, kind_##kind, kind_##kind, nullptr, how_skip, count, nullptr)
#define KX_SKIP_SINCE(name, kind, VERSION) \
  KX_KX_ROW(#name, kind_##kind, kind_##kind, kind_##kind, nullptr, how_skip_since, VERSION, #VERSION)
#define KX_SKIP_FLAGGED(name, kind) KX_KX_ROW(#name, kind_##kind, kind_##kind, kind_##kind, nullptr, how_skip_flagged, 0, nullptr)
#define KX_PAIR(name, kind) KX_KX_ROW(#name, kind_##kind, kind_##kind, kind_##kind, nullptr, how_pair, 0, nullptr)
#define KX_WOVEN(name, other, kind) KX_KX_ROW(#name, kind_##kind, kind_##kind, kind_##kind, nullptr, how_woven, 0, #other)
#define KX_ABSENT(name) KX_KX_ROW(#name, kind_list, kind_list, kind_list, nullptr, how_absent, 0, nullptr)
#define KX_COUNTERS KX_KX_ROW("counters", kind_list, kind_list, kind_list, nullptr, how_counters, 0, nullptr)
#define KX_INLINE(RECORD) KX_KX_ROW(#RECORD, kind_list, kind_list, kind_list, kLayout_##RECORD, how_inline, 0, nullptr)
#define KX_CASE(field, VALUE, RECORD) KX_KX_ROW(#field, kind_list, kind_list, kind_list, kLayout_##RECORD, how_case, VALUE, #VALUE)
#define KX_CASE_ELSE(field, RECORD) KX_KX_ROW(#field, kind_list, kind_list, kind_list, kLayout_##RECORD, how_case_else, 0, nullptr)
#define KX_WHEN(field, BIT, RECORD) KX_KX_ROW(#field, kind_list, kind_list, kind_list, kLayout_##RECORD, how_when, BIT, #BIT)
#define KX_GROUPS(field, FAMILY) KX_KX_ROW(#field, kind_list, kind_list, kind_list, nullptr, how_groups, family_##FAMILY, #FAMILY)
#define KX_HOST_ADD_GROUPS \
  KX_KX_ROW("groups", kind_list, kind_list, kind_list, nullptr, how_host_add_groups, HOST_ADD_GROUPS, "HOST_GROUP")
#define KX_LIST_FROM(name, MESSAGE, list, RECORD) \
  KX_KX_ROW(#name, kind_list, kind_list, kind_list, kLayout_##RECORD, how_list_from, SRV_##MESSAGE, #list)
#define KX_MAY_END KX_KX_ROW("", kind_list, kind_list, kind_list, nullptr, how_may_end, 0, nullptr)
#define KX_OPAQUE(name) KX_KX_ROW(#name, kind_list, kind_list, kind_list, nullptr, how_opaque, 0, nullptr)
#define KX_END {nullptr, kind_list, kind_list, kind_list, nullptr, how_field, 0, nullptr}};
#include "kx_protocol.def"
#undef KX_KX_ROW

// A group of a family: the mask bits that announce it and its record.
struct GroupRow {
  uint32_t bits;
  const LayoutRow *record;
};
constexpr GroupRow kGroups_CONN_BLOCK[] = {
#define KX_CONN_BLOCK(block, FLAG, ALSO, RECORD) {CONN_##FLAG | CONN_##ALSO, kLayout_##RECORD},
#include "kx_protocol.def"
};
constexpr GroupRow kGroups_HOST_GROUP[] = {
#define KX_HOST_GROUP(group, NAME, bit, RECORD, add) {bit, kLayout_##RECORD},
#include "kx_protocol.def"
};
constexpr GroupRow kGroups_VIEW_DATA[] = {
#define KX_VIEW_DATA(group, NAME, bit, RECORD) {bit, kLayout_##RECORD},
#include "kx_protocol.def"
};

// The record of a server message's payload; null for a number without one.
constexpr const LayoutRow *record_of(uint32_t type) {
  switch (type) {
#define KX_SERVER(NAME, number, order) \
  case number:                  \
    return kLayout_##NAME;
#define KX_SERVER_LIB(NAME, number) \
  case number:                      \
    return kLayout_##NAME;
#include "kx_protocol.def"
  }
  return nullptr;
}

// The name of the module function that builds a request; null for none.
constexpr const char *builder_of(uint32_t request) {
  switch (request) {
#define KX_CLIENT(NAME, number, builder) \
  case number:                           \
    return #builder;
#define KX_CLIENT_LIB(NAME, number, builder) \
  case number:                               \
    return #builder;
#include "kx_protocol.def"
  }
  return nullptr;
}

// The kind of the values of a view filter type; kind_list for none.
constexpr WireKind filter_value_kind(long type) {
  switch (type) {
#define KX_FILTER_TYPE(NAME, n, kind, order) \
  case n:                             \
    return kind_##kind;
#include "kx_protocol.def"
  }
  return kind_list;
}

// The largest count a count field of this kind holds.
constexpr uint64_t count_limit(WireKind count) {
  return count == kind_u8 ? 0xff : count == kind_u16 ? 0xffff : 0xffffffffu;
}

// The number of fields of a layout.
constexpr size_t layout_size(const LayoutRow *rows) {
  size_t n = 0;
  while (rows[n].name) n++;
  return n;
}

}  // namespace kxp

#endif
