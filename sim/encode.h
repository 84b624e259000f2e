// kxd-sim: the server side of every message: encoders for what the daemon
// sends, and the fixed catalogues (view capabilities, string tables, BGP
// table) that both the encoders and the state dump use.
#ifndef KXD_SIM_ENCODE_H
#define KXD_SIM_ENCODE_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "proto.h"
#include "world.h"

namespace sim {

using Msgs = std::vector<kx_msg_t *>;

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

void enc_version(Msgs &out);
void enc_login(Msgs &out);  // authentication result, features, XFB names, view caps, shaping rules
void enc_eperm(Msgs &out, uint32_t what);
void enc_not_avail(Msgs &out, const std::string &text);
void enc_strtables(Msgs &out);
void enc_host_add(Batch &b, const Host &h);
void enc_host_update(Batch &b, const Host &h, uint16_t mask);
void enc_host_remove(Msgs &out, uint32_t id);
// One connection record; `views` (may be null) are the view ids for block 0x80000.
void enc_conn(Batch &b, const Conn &c, uint32_t flags, const std::vector<uint16_t> *views);
constexpr uint32_t kConnCreate = 0x1 | 0x2 | 0x8 | 0x10 | 0x60 | 0x80 | 0x100 | 0x2000000 | 0x100000 | 0x10000000;
void enc_schemata(Msgs &out);
void enc_sc_add(Msgs &out, uint64_t rowid, const ScRow &row);
void enc_sc_remove(Msgs &out, const std::vector<uint64_t> &rows);
void enc_channels_info(Msgs &out, const World &w);
void enc_channels_data(Msgs &out, const World &w);
void enc_shaping_name(Msgs &out, const ShapingObject &o);
void enc_shaping_counters(Msgs &out, const ShapingObject &o);
void enc_fw_init(Msgs &out, const World &w);
void enc_fw_data(Msgs &out, const World &w);
void enc_fwlog(Msgs &out, const std::vector<const FwLogEntry *> &entries);
void enc_bgp(Msgs &out);
void enc_sysdiag(Msgs &out, const World &w);

}  // namespace sim

#endif
