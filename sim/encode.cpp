// kxd-sim: encoders of the server messages and the fixed catalogues.
#include "encode.h"

#include <stdio.h>

namespace sim {

namespace {

kx_msg_t *push(Msgs &out, uint32_t type) {
  out.push_back(new_msg(type));
  return out.back();
}

kx_ipaddrplen_t v4prefix(uint32_t a, uint8_t plen) {
  kx_ipaddrplen_t p = {};
  p.ip_type = KX_IPADDR_TYPE_V4;
  p.address[0] = a;
  p.plen = plen;
  return p;
}

kx_ipaddrplen_t v6prefix(uint32_t w0, uint32_t w1, uint8_t plen) {
  kx_ipaddrplen_t p = {};
  p.ip_type = KX_IPADDR_TYPE_V6;
  p.address[0] = w0;
  p.address[1] = w1;
  p.plen = plen;
  return p;
}

}  // namespace

const std::vector<ViewFilterCap> &view_filters() {
  static const std::vector<ViewFilterCap> t = {
      {1, "Protocol", FILTER_SMALL_INTS, 16}, {2, "Service", FILTER_SERVICES, 32},
      {3, "Network object", FILTER_OBJECTS, 32}, {4, "Host", FILTER_HOSTS, 64},
      {5, "Server name", FILTER_STRINGS, 16}, {6, "Server port", FILTER_UINT32, 16},
      {7, "Translated", FILTER_BOOLEAN, 1},
  };
  return t;
}

const std::vector<ViewFieldCap> &view_fields() {
  static const std::vector<ViewFieldCap> t = {
      {1, "Local host", "", FIELD_HOST, 4, 0},   {2, "Service", "", FIELD_SERVICE, 2, 0},
      {3, "Protocol", "proto ", FIELD_INT, 1, 0}, {4, "Network object", "", FIELD_STRING, 3, 0},
      {5, "Port", "port ", FIELD_UINT32, 6, 1},  {6, "Translated", "", FIELD_BOOLEAN, 7, 0},
  };
  return t;
}

const ViewFilterCap *view_filter(uint8_t id) {
  for (const ViewFilterCap &f : view_filters())
    if (f.id == id) return &f;
  return nullptr;
}

const ViewFieldCap *view_field(uint8_t id) {
  for (const ViewFieldCap &f : view_fields())
    if (f.id == id) return &f;
  return nullptr;
}

const std::vector<std::string> &xfb_names() {
  static const std::vector<std::string> t = {"web-browsing", "video-streaming", "file-transfer", "messaging",
                                             "gaming", "voice", "backup", "updates"};
  return t;
}

const std::vector<std::pair<uint32_t, std::string>> &shaping_rules() {
  static const std::vector<std::pair<uint32_t, std::string>> t = {
      {1, "voip-priority"}, {2, "bulk-limit"}, {3, "guest-cap"}, {10, "p2p-throttle"}, {11, "backup-night"}};
  return t;
}

const std::vector<StrTable> &strtables() {
  static const std::vector<StrTable> t = [] {
    std::vector<StrTable> v;
    StrTable objs{1, {}};
    uint32_t i = 1;
    for (const std::string &n : World::netobject_names()) objs.entries.push_back({i++, n, 0});
    v.push_back(objs);
    StrTable svcs{2, {}};
    for (const ServiceDef &s : World::services()) svcs.entries.push_back({s.id, s.name, s.port});
    v.push_back(svcs);
    StrTable sigs{3, {}};  // deep-scan signatures, large enough to need several messages
    for (uint32_t id = 200; id < 1000; id++) {
      char name[48];
      snprintf(name, sizeof name, "signature-%u/%s", id, id % 2 ? "stream" : "request");
      sigs.entries.push_back({id, name, id % 7});
    }
    v.push_back(sigs);
    return v;
  }();
  return t;
}

const std::vector<BgpEntry> &bgp_entries() {
  static const std::vector<BgpEntry> t = {
      {1, v4prefix(0x0a000000, 8), 0xc6336401, 100, 0},
      {2, v4prefix(0xc0000200, 24), 0xc6336402, 200, 10},
      {2, v4prefix(0xc6336400, 24), 0xc6336402, 200, 20},
      {3, v4prefix(0xcb007100, 25), 0xc6336403, 50, 5},
      {3, v4prefix(0, 0), 0xc6336403, 10, 0},
      {4, v6prefix(0x20010db8, 0, 32), 0xc6336404, 100, 0},
      {4, v6prefix(0x20010db8, 0xffff0000u, 48), 0xc6336404, 100, 1},
      {1, v4prefix(0xac100000, 12), 0xc6336401, 300, 0},
  };
  return t;
}

const std::vector<BgpPath> &bgp_paths() {
  static const std::vector<BgpPath> t = {
      {1, {64512}}, {2, {64512, 64496, 64497}}, {3, {64512, 65000, 4200000000u, 64499}}, {4, {}}};
  return t;
}

const std::vector<Schema> &schemata() {
  static const std::vector<Schema> t = {
      {1, "http", {{1, "url", "text/uri"}, {2, "status", "http-status"}, {1, "user-agent", "text/plain"}}},
      {2, "tls", {{1, "sni", "text/hostname"}, {3, "version", "tls-version"}}},
      {3, "dns", {{1, "qname", "text/hostname"}, {2, "qtype", "dns-qtype"}, {5, "answer", "ip"}}},
      {4, nullptr, {}},  // multicast DNS rows share the DNS layout
      {5, "flow", {{4, "bytes", "counter"}, {5, "peer", "ip"}}},
  };
  return t;
}

uint64_t server_value() { return 0x0011000000004d2ull; }
const char *server_name() { return "kxd-sim 17.0"; }
const char *server_build() { return "simulated appliance"; }
uint64_t feature_mask() { return FEATURES_BGP | FEATURES_FW | FEATURES_SHAPING | FEATURES_STATISTICS | FEATURES_VBS; }

void enc_version(Msgs &out) {
  kx_msg_t *m = push(out, SRV_VERSION);
  kx_msg_put_uint16(m, kProtocolVersion);
  kx_msg_put_uint64(m, server_value());
  kx_msg_put_string(m, server_name());
  kx_msg_put_string(m, server_build());
}

void enc_login(Msgs &out) {
  kx_msg_put_uint8(push(out, SRV_AUTHENTICATION_OK), kAuthLevel);
  kx_msg_put_uint64(push(out, SRV_FEATURES), feature_mask());

  kx_msg_t *m = push(out, SRV_XFB_NAMES);
  kx_msg_put_uint8(m, (uint8_t)xfb_names().size());
  for (const std::string &n : xfb_names()) kx_msg_put_string(m, n.c_str());

  m = push(out, SRV_VIEW_CAPS);
  kx_msg_put_uint8(m, (uint8_t)view_filters().size());
  for (const ViewFilterCap &f : view_filters()) {
    kx_msg_put_uint8(m, f.id);
    kx_msg_put_string(m, f.name);
    kx_msg_put_uint8(m, f.type);
    kx_msg_put_uint16(m, f.max);
  }
  kx_msg_put_uint8(m, (uint8_t)view_fields().size());
  for (const ViewFieldCap &f : view_fields()) {
    kx_msg_put_uint8(m, f.id);
    kx_msg_put_string(m, f.name);
    kx_msg_put_string(m, f.prefix);
    kx_msg_put_uint8(m, f.type);
    kx_msg_put_uint8(m, f.filter);
    kx_msg_put_uint8(m, f.want_arg);
  }

  m = push(out, SRV_SHAPING_RULES_INIT);
  kx_msg_put_uint32(m, 0x80000000u);  // the list is complete
  for (const auto &r : shaping_rules()) {
    kx_msg_put_uint32(m, r.first);
    kx_msg_put_string(m, r.second.c_str());
  }
}

void enc_eperm(Msgs &out, uint32_t what) { kx_msg_put_uint32(push(out, SRV_EPERM), what); }

void enc_not_avail(Msgs &out, const std::string &text) { kx_msg_put_string(push(out, SRV_NOT_AVAILABLE), text.c_str()); }

// Each table: a begin message with the first entries, entries messages of at
// most 100 entries, an end message.
void enc_strtables(Msgs &out) {
  for (const StrTable &t : strtables()) {
    kx_msg_t *m = push(out, SRV_STRTABLE_BEGIN);
    kx_msg_put_uint32(m, t.id);
    size_t i = 0;
    for (const StrEntry &e : t.entries) {
      if (i && i % 100 == 0) m = push(out, SRV_STRTABLE_ENTRIES);
      kx_msg_put_uint32(m, e.id);
      kx_msg_put_string(m, e.text.c_str());
      kx_msg_put_uint32(m, e.word);
      i++;
    }
    push(out, SRV_STRTABLE_END);
  }
}

namespace {

// The groups of a host record selected by `mask`, in their wire order.
void put_host_groups(kx_msg_t *m, const Host &h, uint16_t mask) {
  if (mask & 0x0002) {
    kx_msg_put_uint64(m, (uint64_t)h.speed[0]);
    kx_msg_put_uint64(m, (uint64_t)h.speed[1]);
  }
  if (mask & 0x0004) {
    kx_msg_put_uint32(m, h.connections[0]);
    kx_msg_put_uint32(m, h.connections[1]);
  }
  if (mask & 0x0010) {
    kx_msg_put_uint32(m, h.cps[0]);
    kx_msg_put_uint32(m, h.cps[1]);
  }
  if (mask & 0x0080)
    for (uint32_t q : h.quality) kx_msg_put_uint32(m, q);
  if (mask & 0x0100) {
    kx_msg_put_string(m, h.kind.c_str());
    kx_msg_put_uint32(m, h.l4errors);  // present from protocol 0x4084 on
    for (uint32_t d : h.details) kx_msg_put_uint32(m, d);
  }
  if (mask & 0x0040) {
    kx_msg_put_uint32(m, (uint32_t)h.netobjects.size());
    for (uint32_t o : h.netobjects) kx_msg_put_uint32(m, o);
  }
}

}  // namespace

void enc_host_add(Batch &b, const Host &h) {
  kx_msg_t *m = b.rec();
  kx_msg_put_uint32(m, h.id);
  kx_msg_put_uint32(m, (uint32_t)h.netobjects.size());
  for (uint32_t o : h.netobjects) kx_msg_put_uint32(m, o);
  put_ipaddr(m, h.addr);
  kx_msg_put_string(m, h.name.c_str());
  put_host_groups(m, h, 0x0196);
  b.end();
}

void enc_host_update(Batch &b, const Host &h, uint16_t mask) {
  kx_msg_t *m = b.rec();
  kx_msg_put_uint32(m, h.id);
  kx_msg_put_uint16(m, mask);
  put_host_groups(m, h, mask);
  b.end();
}

void enc_host_remove(Msgs &out, uint32_t id) { kx_msg_put_uint32(push(out, SRV_HOST_REMOVE), id); }

void enc_conn(Batch &b, const Conn &c, uint32_t flags, const std::vector<uint16_t> *views) {
  if (c.nat && (flags & 0x801)) flags |= 0x40000;
  if (views) flags |= 0x80000;
  kx_msg_t *m = b.rec();
  kx_msg_put_uint32(m, c.id);
  kx_msg_put_uint32(m, c.client);  // the daemon's internal reference; clients skip it
  kx_msg_put_uint32(m, flags);
  if (flags & 0x801) {
    kx_msg_put_uint8(m, 1);
    kx_msg_put_uint8(m, c.proto == 6 ? 4 : 0);
    kx_msg_put_uint32(m, c.client);
    kx_msg_put_uint32(m, c.server);
    kx_msg_put_uint16(m, 1500);
    kx_msg_put_uint16(m, 1500);
    kx_msg_put_uint32(m, 0);
    kx_msg_put_uint32(m, c.fwrule);
    kx_msg_put_uint8(m, c.id % 2);  // marker: one more byte follows on odd ids
    if (c.id % 2) kx_msg_put_uint8(m, 0x5a);
    kx_msg_put_uint32(m, c.start);
    kx_msg_put_uint8(m, c.caddr.v6 ? 1 : 0);
    put_addr(m, c.caddr);
    kx_msg_put_uint16(m, c.cport);
    put_addr(m, c.saddr);
    kx_msg_put_uint16(m, c.sport);
    kx_msg_put_uint8(m, c.proto);
    if (flags & 0x40000) {  // the translated endpoints
      kx_msg_put_uint8(m, c.caddr.v6 ? 1 : 0);
      Addr outside = c.caddr;
      outside.w[c.caddr.v6 ? 3 : 0] ^= 0x00ff0000u;
      put_addr(m, outside);
      kx_msg_put_uint16(m, (uint16_t)(c.cport ^ 0x4000));
      put_addr(m, c.saddr);
      kx_msg_put_uint16(m, c.sport);
      kx_msg_put_uint8(m, 1);
    }
  }
  if (flags & 0x2) {
    kx_msg_put_uint16(m, c.service);
    kx_msg_put_uint16(m, c.base_service);
  }
  if (flags & 0x4) {
    kx_msg_put_uint16(m, 2);
    kx_msg_put_uint16(m, 1);
    kx_msg_put_uint16(m, 3);
    kx_msg_put_data(m, "abc", 3);
    kx_msg_put_uint16(m, 2);
    kx_msg_put_uint16(m, 0);
  }
  if (flags & 0x8) kx_msg_put_uint32(m, c.engineflags);
  if (flags & 0x2000000) kx_msg_put_uint32(m, c.xfbflags);
  if (flags & 0x100000) {
    kx_msg_put_uint32(m, (uint32_t)c.deepscan.size());
    for (uint16_t d : c.deepscan) kx_msg_put_uint16(m, d);
  }
  if (flags & 0x10) {
    kx_msg_put_uint8(m, c.shaping_prio);
    kx_msg_put_uint16(m, (uint16_t)c.shaping_rules.size());
    for (uint32_t r : c.shaping_rules) kx_msg_put_uint32(m, r);
  }
  if (flags & 0x80) {
    kx_msg_put_uint16(m, (uint16_t)c.stat_rules.size());
    for (uint32_t r : c.stat_rules) kx_msg_put_uint32(m, r);
  }
  if (flags & 0x100) kx_msg_put_string(m, c.server_hostname.c_str());
  if (flags & 0x200) {
    kx_msg_put_string(m, "in");
    kx_msg_put_string(m, "");
    kx_msg_put_uint32(m, 0);  // a string field of length 0
    kx_msg_put_string(m, "out");
  }
  if (flags & 0x60) {
    kx_msg_put_uint32(m, c.speed[0]);
    kx_msg_put_uint32(m, c.speed[1]);
    kx_msg_put_uint64(m, c.xfer[0]);
    kx_msg_put_uint64(m, c.xfer[1]);
    kx_msg_put_uint32(m, c.speed[0] / 1400);
    kx_msg_put_uint32(m, c.speed[1] / 1400);
  }
  if (flags & 0x1000)
    for (int i = 0; i < 6; i++) kx_msg_put_uint32(m, (uint32_t)i);
  if (flags & 0x2000) {  // the protocol is at least 0x5002: both u64 are present
    kx_msg_put_uint16(m, 1);
    kx_msg_put_uint32(m, 2);
    kx_msg_put_uint64(m, 3);
    kx_msg_put_uint16(m, 4);
    kx_msg_put_uint32(m, 5);
    kx_msg_put_uint64(m, 6);
  }
  if (flags & 0x10000) {
    kx_msg_put_uint32(m, 7);
    kx_msg_put_uint32(m, 8);
  }
  if (flags & 0x8000000)
    for (int i = 0; i < 4; i++) kx_msg_put_uint32(m, 9);
  if (flags & 0x20000) {
    kx_msg_put_uint8(m, 1);
    kx_msg_put_uint8(m, 2);
  }
  if (flags & 0x80000) {
    kx_msg_put_uint16(m, (uint16_t)views->size());
    for (uint16_t v : *views) kx_msg_put_uint16(m, v);
  }
  if (flags & 0x200000) {
    kx_msg_put_uint32(m, 1);
    for (int i = 0; i < 4; i++) kx_msg_put_uint64(m, c.xfer[i % 2]);
  }
  if (flags & 0x4000000) {
    kx_msg_put_uint16(m, 2);
    kx_msg_put_data(m, "\x01\x02", 2);
    kx_msg_put_uint16(m, 0);
  }
  if (flags & 0x10000000) {
    kx_msg_put_uint8(m, (uint8_t)c.sc_rows.size());
    for (uint64_t r : c.sc_rows) {
      kx_msg_put_uint8(m, 0);
      kx_msg_put_uint64(m, r);
    }
  }
  b.end();
}

void enc_schemata(Msgs &out) {
  kx_msg_t *m = push(out, SRV_SC_SCHEMATA);
  kx_msg_put_uint8(m, (uint8_t)schemata().size());
  for (const Schema &s : schemata()) {
    kx_msg_put_uint8(m, s.name ? 1 : 2);
    kx_msg_put_uint8(m, s.id);
    if (!s.name) continue;
    kx_msg_put_string(m, s.name);
    kx_msg_put_uint8(m, (uint8_t)s.columns.size());
    for (const SchemaColumn &c : s.columns) {
      kx_msg_put_uint8(m, c.kind);
      kx_msg_put_string(m, c.name);
      kx_msg_put_string(m, c.content_type);
    }
  }
}

void enc_sc_add(Msgs &out, uint64_t rowid, const ScRow &row) {
  kx_msg_t *m = push(out, SRV_SC_ADD);
  kx_msg_put_uint8(m, row.schema);
  kx_msg_put_uint64(m, rowid);
  kx_msg_put_uint16(m, (uint16_t)row.data.size());
  kx_msg_put_data(m, row.data.data(), (uint32_t)row.data.size());
}

void enc_sc_remove(Msgs &out, const std::vector<uint64_t> &rows) {
  Batch b(SRV_SC_REMOVE, &out);
  for (uint64_t r : rows) {
    kx_msg_put_uint64(b.rec(), r);
    b.end();
  }
}

static const char *const kChannelStats[3] = {"bytes", "packets", "drops"};

void enc_channels_info(Msgs &out, const World &w) {
  kx_msg_t *m = push(out, SRV_CHANNEL_STATS_INFO);
  kx_msg_put_uint32(m, 3);
  for (uint32_t i = 0; i < 3; i++) {
    kx_msg_put_uint32(m, i + 1);
    kx_msg_put_string(m, kChannelStats[i]);
  }
  kx_msg_put_uint32(m, (uint32_t)w.channels.size());
  for (const Channel &c : w.channels) {
    kx_msg_put_uint32(m, c.id);
    kx_msg_put_uint8(m, c.type);
    kx_msg_put_uint8(m, c.active ? 1 : 0);
    kx_msg_put_string(m, c.name.c_str());
  }
}

void enc_channels_data(Msgs &out, const World &w) {
  kx_msg_t *m = push(out, SRV_CHANNEL_STATS_DATA);
  kx_msg_put_uint32(m, (uint32_t)w.channels.size());
  for (const Channel &c : w.channels) {
    kx_msg_put_uint32(m, c.id);
    for (uint8_t b : c.media) kx_msg_put_uint8(m, b);
    kx_msg_put_uint32(m, c.media_time[0]);
    kx_msg_put_uint32(m, c.media_time[1]);
    for (uint32_t s = 0; s < 3; s++) {
      for (uint32_t k = 0; k < 4; k++) {
        kx_msg_put_uint64(m, c.stat[s][k][0]);
        kx_msg_put_uint64(m, c.stat[s][k][1]);
      }
      for (uint32_t k = 0; k < 2; k++) {
        kx_msg_put_uint32(m, c.last[s][k][0]);
        kx_msg_put_uint32(m, c.last[s][k][1]);
      }
    }
  }
}

void enc_shaping_name(Msgs &out, const ShapingObject &o) {
  kx_msg_t *m = push(out, SRV_SHAPING_OBJECT);
  kx_msg_put_uint32(m, o.id);
  kx_msg_put_uint32(m, 0);
  kx_msg_put_uint32(m, 1);
  kx_msg_put_string(m, o.name.c_str());
}

void enc_shaping_counters(Msgs &out, const ShapingObject &o) {
  kx_msg_t *m = push(out, SRV_SHAPING_OBJECT);
  kx_msg_put_uint32(m, o.id);
  kx_msg_put_uint32(m, 0);
  kx_msg_put_uint32(m, 2);
  kx_msg_put_uint32(m, o.copies);
  kx_msg_put_uint32(m, o.connections);
  for (const auto &d : o.dir) {
    kx_msg_put_uint64(m, d[0]);
    kx_msg_put_uint64(m, d[1]);
    kx_msg_put_uint32(m, (uint32_t)d[2]);
    kx_msg_put_uint32(m, (uint32_t)d[3]);
    kx_msg_put_uint64(m, d[4]);
    kx_msg_put_uint64(m, d[5]);
    kx_msg_put_uint32(m, (uint32_t)d[6]);
    kx_msg_put_uint32(m, (uint32_t)d[7]);
    kx_msg_put_uint64(m, d[8]);
    kx_msg_put_uint32(m, (uint32_t)d[9]);
    kx_msg_put_uint64(m, d[10]);
    kx_msg_put_uint32(m, (uint32_t)d[11]);
    kx_msg_put_uint16(m, (uint16_t)d[12]);
    kx_msg_put_uint32(m, (uint32_t)d[13]);
    kx_msg_put_uint32(m, (uint32_t)d[14]);
  }
}

void enc_fw_init(Msgs &out, const World &w) {
  kx_msg_t *m = push(out, SRV_FW_RULES_INIT);
  kx_msg_put_uint32(m, 0x80000000u | (uint32_t)w.fwrules.size());
  for (const FwRule &r : w.fwrules) {
    kx_msg_put_uint32(m, r.id);
    kx_msg_put_string(m, r.name.c_str());
  }
}

void enc_fw_data(Msgs &out, const World &w) {
  kx_msg_t *m = push(out, SRV_FW_RULES);
  kx_msg_put_uint32(m, (uint32_t)w.fwrules.size());
  for (const FwRule &r : w.fwrules) {
    kx_msg_put_uint32(m, r.id);
    kx_msg_put_uint64(m, r.hits);
    kx_msg_put_uint64(m, r.hits_rate);
  }
}

void enc_fwlog(Msgs &out, const std::vector<const FwLogEntry *> &entries) {
  kx_msg_put_uint64(push(out, SRV_FWLOG_ENTRY_START), entries.size());
  for (const FwLogEntry *e : entries) {
    kx_msg_t *m = push(out, SRV_FWLOG_ENTRY);
    kx_msg_put_uint32(m, e->time);
    kx_msg_put_uint8(m, e->client.v6 ? 1 : 0);
    put_addr(m, e->client);
    put_addr(m, e->server);
    kx_msg_put_uint16(m, e->cport);
    kx_msg_put_uint16(m, e->sport);
    kx_msg_put_uint8(m, e->proto);
    kx_msg_put_string(m, e->clienthost.c_str());
    kx_msg_put_string(m, e->serverhost.c_str());
    kx_msg_put_string(m, e->service.c_str());
    kx_msg_put_string(m, e->rule.c_str());
    if (e->has_properties) kx_msg_put_string(m, e->properties.c_str());
  }
  push(out, SRV_FWLOG_ENTRY_END);
}

void enc_bgp(Msgs &out) {
  for (const BgpPath &p : bgp_paths()) {
    kx_msg_t *m = push(out, SRV_BGP_DUMP_PATH);
    kx_msg_put_uint32(m, p.id);
    kx_msg_put_uint8(m, (uint8_t)p.as_path.size());
    for (uint32_t as : p.as_path) kx_msg_put_uint32(m, as);
  }
  for (const BgpEntry &e : bgp_entries()) {
    kx_msg_t *m = push(out, SRV_BGP_DUMP_ENTRY);
    kx_msg_put_uint32(m, e.path);
    kx_msg_put_ipaddrplen(m, &e.prefix);
    kx_msg_put_uint32(m, e.nexthop);
    kx_msg_put_uint32(m, e.localpref);
    kx_msg_put_uint32(m, e.med);
  }
  push(out, SRV_BGP_DUMP_DONE);
}

// The counters in two entries messages, so that a client collects across them.
void enc_sysdiag(Msgs &out, const World &w) {
  push(out, SRV_SYSDIAG_BEGIN);
  size_t half = w.sysdiag.size() / 2;
  kx_msg_t *m = push(out, SRV_SYSDIAG_ENTRIES);
  for (size_t i = 0; i < w.sysdiag.size(); i++) {
    if (i == half) m = push(out, SRV_SYSDIAG_ENTRIES);
    kx_msg_put_uint64(m, w.sysdiag[i]);
  }
  push(out, SRV_SYSDIAG_END);
}

}  // namespace sim
