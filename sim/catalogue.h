// kxd-sim: the fixed catalogues the simulated daemon announces (identity,
// view capabilities, string tables, the BGP table, session-context schemata).
// The encoders send them and the state dump lists them.
#ifndef KXD_SIM_CATALOGUE_H
#define KXD_SIM_CATALOGUE_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "proto.h"

namespace sim {

struct ViewFilterCap {
  uint8_t id;
  const char *name;
  uint8_t type;
  uint16_t max;
};
struct ViewFieldCap {
  uint8_t id;
  const char *name;
  const char *prefix;
  uint8_t type;
  uint8_t filter;
  uint8_t want_arg;
};
// A view created by name: the field it groups by and that field's argument.
struct NamedView {
  const char *name;
  uint8_t field;
  const char *arg;
};
struct StrEntry {
  uint32_t id;
  std::string text;
  uint32_t word;
};
struct StrTable {
  uint32_t id;
  std::vector<StrEntry> entries;
};
struct BgpEntry {
  uint32_t path;
  kx_ipaddrplen_t prefix;
  uint32_t nexthop, localpref, med;
};
struct BgpPath {
  uint32_t id;
  std::vector<uint32_t> as_path;
};
struct SchemaColumn {
  uint8_t kind;
  const char *name, *content_type;
};
struct Schema {
  uint8_t id;
  const char *name;  // null: announced by id only, same layout as the one before
  std::vector<SchemaColumn> columns;
};

const std::vector<ViewFilterCap> &view_filters();
const std::vector<ViewFieldCap> &view_fields();
const ViewFilterCap *view_filter(uint8_t id);
const ViewFieldCap *view_field(uint8_t id);
const NamedView *named_view(const std::string &name);  // null for an unknown name
const std::vector<std::string> &xfb_names();
const std::vector<std::pair<uint32_t, std::string>> &shaping_rules();
const std::vector<StrTable> &strtables();
const std::vector<BgpEntry> &bgp_entries();
const std::vector<BgpPath> &bgp_paths();
const std::vector<Schema> &schemata();
uint64_t server_value();
const char *server_name();
const char *server_build();
uint64_t feature_mask();
constexpr uint8_t kAuthLevel = 1;  // what a successful login is granted

}  // namespace sim

#endif
