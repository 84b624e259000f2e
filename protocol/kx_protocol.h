// The protocol's numbers as C++ constants, from kx_protocol.def: what the
// module and the simulator both name their messages, flags and constants by.
#ifndef KX_PROTOCOL_H
#define KX_PROTOCOL_H

#include <stdint.h>

namespace kxp {

// Wire kinds (kind_<name>) and their widths in bytes (0: variable).
enum WireKind : uint8_t {
#define KX_KIND(kind, width) kind_##kind,
#include "kx_protocol.def"
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

// Engine flags with names.
enum : uint32_t {
#define KX_ENGINE_FLAG(NAME, bit) ENGINE_##NAME = bit,
#include "kx_protocol.def"
};

}  // namespace kxp

#endif
