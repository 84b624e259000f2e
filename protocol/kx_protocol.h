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
};
constexpr uint8_t kKindWidth[] = {
#define KX_KIND(kind, width) width,
#include "kx_protocol.def"
};

// PROTOCOL_VERSION, L4ERRORMINVERSION, SHAPINGBYTESMINVERSION.
#define KX_CONST(NAME, value) constexpr long NAME = value;
#include "kx_protocol.def"

// Server messages: SRV_<NAME>.
enum : uint32_t {
#define KX_SERVER(NAME, number) SRV_##NAME = number,
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
#define KX_FEATURE(NAME, bit) FEATURES_##NAME = bit,
#include "kx_protocol.def"
};

// View field and filter types, view update operations, firewall log query types.
enum : uint8_t {
#define KX_FIELD_TYPE(NAME, n) FIELD_##NAME = n,
#include "kx_protocol.def"
};
enum : uint8_t {
#define KX_FILTER_TYPE(NAME, n, kind) FILTER_##NAME = n,
#include "kx_protocol.def"
};
enum : uint8_t {
#define KX_VIEW_OP(NAME, n) VIEW_OP_##NAME = n,
#include "kx_protocol.def"
};
enum : uint8_t {
#define KX_FWLOG_QTYPE(NAME, n) FWLOG_QTYPE_##NAME = n,
#include "kx_protocol.def"
};

// Update flags of a connection record.
enum : uint32_t {
#define KX_CONN_FLAG(NAME, bit) CONN_##NAME = bit,
#include "kx_protocol.def"
};

// A host record's update mask bits and a view row's data mask bits.
enum : uint16_t {
#define KX_HOST_GROUP(group, NAME, bit) HOST_##NAME = bit,
#include "kx_protocol.def"
};
enum : uint8_t {
#define KX_VIEW_DATA(group, NAME, bit) VIEW_DATA_##NAME = bit,
#include "kx_protocol.def"
};

// Engine flags with names.
enum : uint32_t {
#define KX_ENGINE_FLAG(NAME, bit) ENGINE_##NAME = bit,
#include "kx_protocol.def"
};

// One field of a request's layout: its name and kind; a list's count kind and
// its records' layout (null for a list of single values of `item_kind`).
struct LayoutRow {
  const char *name;
  WireKind kind;
  WireKind count;
  WireKind item_kind;
  const LayoutRow *item;
};

// The layouts (kLayout_<NAME>) and each request's (kRequest_<NAME>), in
// wire order, each ended by a row without a name.
#define KX_LAYOUT(NAME) constexpr LayoutRow kLayout_##NAME[] = {
#define KX_CLIENT(NAME, number, builder) constexpr LayoutRow kRequest_##NAME[] = {
#define KX_CLIENT_LIB(NAME, number, builder) constexpr LayoutRow kRequest_##NAME[] = {
#define KX_FIELD(name, kind) {#name, kind_##kind, kind_##kind, kind_##kind, nullptr},
#define KX_LIST(name, count, LAYOUT) {#name, kind_list, kind_##count, kind_list, kLayout_##LAYOUT},
#define KX_VALUES(name, count, kind) {#name, kind_list, kind_##count, kind_##kind, nullptr},
#define KX_CRITERIA(mask) {"criteria", kind_criteria, kind_criteria, kind_criteria, nullptr},
#define KX_END {nullptr, kind_list, kind_list, kind_list, nullptr}};
#include "kx_protocol.def"

// The kind of the values of a view filter type; kind_list for none.
constexpr WireKind filter_value_kind(long type) {
  switch (type) {
#define KX_FILTER_TYPE(NAME, n, kind) \
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
