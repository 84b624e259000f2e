// kxd-sim: the fixed catalogues.
#include "catalogue.h"

#include <stdio.h>

#include "world.h"

namespace sim {

namespace {

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
      {VFILTER_PROTOCOL, "Protocol", FILTER_SMALL_INTS, 16},
      {VFILTER_SERVICE, "Service", FILTER_SERVICES, 32},
      {VFILTER_NETOBJECT, "Network object", FILTER_OBJECTS, 32},
      {VFILTER_HOST, "Host", FILTER_HOSTS, 64},
      {VFILTER_SERVER_NAME, "Server name", FILTER_STRINGS, 16},
      {VFILTER_SERVER_PORT, "Server port", FILTER_UINT32, 16},
      {VFILTER_TRANSLATED, "Translated", FILTER_BOOLEAN, 1},
  };
  return t;
}

const std::vector<ViewFieldCap> &view_fields() {
  static const std::vector<ViewFieldCap> t = {
      {VFIELD_LOCAL_HOST, "Local host", "", FIELD_HOST, VFILTER_HOST, 0},
      {VFIELD_SERVICE, "Service", "", FIELD_SERVICE, VFILTER_SERVICE, 0},
      {VFIELD_PROTOCOL, "Protocol", "proto ", FIELD_INT, VFILTER_PROTOCOL, 0},
      {VFIELD_NETOBJECT, "Network object", "", FIELD_STRING, VFILTER_NETOBJECT, 0},
      {VFIELD_PORT, "Port", "port ", FIELD_UINT32, VFILTER_SERVER_PORT, 1},
      {VFIELD_TRANSLATED, "Translated", "", FIELD_BOOLEAN, VFILTER_TRANSLATED, 0},
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

const NamedView *named_view(const std::string &name) {
  static const NamedView t[] = {
      {"hosts", VFIELD_LOCAL_HOST, ""}, {"services", VFIELD_SERVICE, ""}, {"protocols", VFIELD_PROTOCOL, ""},
      {"netobjects", VFIELD_NETOBJECT, ""}, {"ports", VFIELD_PORT, "server"},
  };
  for (const NamedView &v : t)
    if (name == v.name) return &v;
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
    StrTable objs{STRTABLE_NETOBJECTS, {}};
    uint32_t i = 1;
    for (const std::string &n : World::netobject_names()) objs.entries.push_back({i++, n, 0});
    v.push_back(objs);
    StrTable svcs{STRTABLE_SERVICES, {}};
    for (const ServiceDef &s : World::services()) svcs.entries.push_back({s.id, s.name, s.port});
    v.push_back(svcs);
    StrTable sigs{STRTABLE_SIGNATURES, {}};  // deep-scan signatures, large enough to need several messages
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

}  // namespace sim
