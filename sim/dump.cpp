// kxd-sim: JSON state dump.
#include "dump.h"

#include "encode.h"
#include "session.h"

namespace sim {

namespace {

std::string num(uint64_t v) { return std::to_string(v); }

std::string pair(uint64_t a, uint64_t b) { return "[" + num(a) + ", " + num(b) + "]"; }

template <class C, class F>
std::string list(const C &items, F f) {
  std::string o = "[";
  bool first = true;
  for (const auto &i : items) {
    o += (first ? "" : ", ") + f(i);
    first = false;
  }
  return o + "]";
}

// "key": value members joined into an object.
class Obj {
 public:
  Obj &add(const std::string &key, const std::string &value) {
    o_ += (o_.empty() ? "" : ", ") + json_str(key) + ": " + value;
    return *this;
  }
  std::string str() const { return "{" + o_ + "}"; }

 private:
  std::string o_;
};

std::string host_json(const Host &h) {
  return Obj()
      .add("addr", json_str(addr_text_full(h.addr)))
      .add("netobjects", list(h.netobjects, [](uint32_t v) { return num(v); }))
      .add("speed", "[" + std::to_string(h.speed[0]) + ", " + std::to_string(h.speed[1]) + "]")
      .add("connections", pair(h.connections[0], h.connections[1]))
      .add("cps", pair(h.cps[0], h.cps[1]))
      .add("quality_packets", pair(h.quality[0], h.quality[1]))
      .add("quality_internal_issues", pair(h.quality[2], h.quality[4]))
      .add("quality_external_issues", pair(h.quality[3], h.quality[5]))
      .str();
}

std::string conn_json(const Conn &c) {
  return Obj()
      .add("protocol", num(c.proto))
      .add("client", json_str(addr_text_full(c.caddr)))
      .add("clientport", num(c.cport))
      .add("server", json_str(addr_text_full(c.saddr)))
      .add("serverport", num(c.sport))
      .add("_starttime", num(c.start))
      .add("_service_id", num(c.service))
      .add("_base_service_id", num(c.base_service))
      .add("_engineflags", num(c.engineflags))
      .add("_xfbflags", num(c.xfbflags))
      .add("_deepscan", list(c.deepscan, [](uint16_t v) { return num(v); }))
      .add("_shaping_prio", num(c.shaping_prio))
      .add("_shaping_rule_ids", list(c.shaping_rules, [](uint32_t v) { return num(v); }))
      .add("_stat_rule_ids", list(c.stat_rules, [](uint32_t v) { return num(v); }))
      .add("_server_hostname", json_str(c.server_hostname))
      .add("_speed", pair(c.speed[0], c.speed[1]))
      .add("_xfer", pair(c.xfer[0], c.xfer[1]))
      .add("sc_rows", list(c.sc_rows, [](uint64_t v) { return num(v); }))
      .str();
}

std::string shaping_json(const ShapingObject &o) {
  Obj j;
  j.add("name", json_str(o.name)).add("copies", num(o.copies)).add("connections", num(o.connections));
  static const char *const keys[15] = {"RX bytes", "congested bytes", "RX bps", "congested bps", "RX packets",
                                       "congested packets", "RX pps", "congested pps", "total drops", "drops/s",
                                       "total marks", "avg latency", "max latency", "avg Q", "max Q"};
  for (int d = 0; d < 2; d++) {
    std::string p = d ? "out " : "in ";
    for (int k = 0; k < 15; k++) {
      uint64_t v = o.dir[d][k];
      if (k == 2 || k == 3) v = (uint64_t)(uint32_t)v * 8;  // bits per second
      if (k == 12) v = (uint16_t)v;
      j.add(p + keys[k], num(v));
      if (k == 10) j.add(p + "marks/s", "0");
    }
  }
  return j.str();
}

std::string channel_json(const Channel &c) {
  static const char *const stats[3] = {"bytes", "packets", "drops"};
  static const char *const suffix[6] = {"", "(rate)", "(rate min)", "(rate max)", "(rate min last)", "(rate max last)"};
  Obj j;
  j.add("active", c.active ? "true" : "false").add("name", json_str(c.name)).add("type", num(c.type));
  j.add("internal_media", num(c.media[0])).add("external_media", num(c.media[1]));
  j.add("internal_negotiated_media", num(c.media[2])).add("external_negotiated_media", num(c.media[3]));
  j.add("internal_negotiated_media_time", num(c.media_time[0]));
  j.add("external_negotiated_media_time", num(c.media_time[1]));
  for (int s = 0; s < 3; s++) {
    for (int k = 0; k < 4; k++) j.add(std::string(stats[s]) + suffix[k], pair(c.stat[s][k][0], c.stat[s][k][1]));
    for (int k = 0; k < 2; k++) j.add(std::string(stats[s]) + suffix[4 + k], pair(c.last[s][k][0], c.last[s][k][1]));
  }
  return j.str();
}

std::string fwlog_json(const FwLogEntry &e) {
  Obj j;
  j.add("seq", num(e.seq)).add("time", num(e.time)).add("type", e.client.v6 ? "1" : "0");
  j.add("client", json_str(addr_text_full(e.client))).add("server", json_str(addr_text_full(e.server)));
  j.add("clientport", num(e.cport)).add("serverport", num(e.sport)).add("protocol", num(e.proto));
  j.add("clienthostname", json_str(e.clienthost)).add("serverhostname", json_str(e.serverhost));
  j.add("service", json_str(e.service)).add("rule", json_str(e.rule));
  if (e.has_properties) j.add("properties", json_str(e.properties));
  return j.str();
}

template <class M, class F>
std::string by_id(const M &items, F f) {
  std::string o = "{";
  bool first = true;
  for (const auto &kv : items) {
    o += std::string(first ? "" : ", ") + "\"" + num(kv.first) + "\": " + f(kv.second);
    first = false;
  }
  return o + "}";
}

}  // namespace

std::string world_dump_json(const World &w) {
  Obj j;
  j.add("version", list(std::vector<std::string>{num(kProtocolVersion), num(server_value()), json_str(server_name()),
                                                 json_str(server_build())},
                        [](const std::string &s) { return s; }));
  j.add("auth", num(kAuthLevel));
  j.add("features", num(feature_mask()));
  j.add("xfb_names", list(xfb_names(), [](const std::string &s) { return json_str(s); }));
  j.add("shaping_rules", "{" + [] {
          std::string o;
          for (const auto &r : shaping_rules()) o += (o.empty() ? "" : ", ") + json_str(num(r.first)) + ": " + json_str(r.second);
          return o;
        }() + "}");
  std::string tables;
  for (const StrTable &t : strtables()) {
    std::string e;
    for (const StrEntry &s : t.entries) e += (e.empty() ? "" : ", ") + json_str(num(s.id)) + ": " + json_str(s.text);
    tables += (tables.empty() ? "" : ", ") + json_str(num(t.id)) + ": {" + e + "}";
  }
  j.add("strtables", "{" + tables + "}");
  j.add("hosts", by_id(w.hosts, host_json));
  j.add("connections", by_id(w.conns, conn_json));
  j.add("sc_rows", by_id(w.rows, [](const ScRow &r) { return "[" + num(r.schema) + ", " + json_hex(r.data) + "]"; }));
  std::map<uint32_t, const ShapingObject *> objs;
  for (const ShapingObject &o : w.shaping) objs[o.id] = &o;
  j.add("shaping_objects", by_id(objs, [](const ShapingObject *o) { return shaping_json(*o); }));
  std::map<uint32_t, const FwRule *> rules;
  for (const FwRule &r : w.fwrules) rules[r.id] = &r;
  j.add("fw_rules", by_id(rules, [](const FwRule *r) {
          return Obj().add("name", json_str(r->name)).add("hits", num(r->hits)).add("hits_rate", num(r->hits_rate)).str();
        }));
  j.add("fwlog", list(w.fwlog, fwlog_json));
  std::map<uint32_t, const Channel *> chans;
  for (const Channel &c : w.channels) chans[c.id] = &c;
  j.add("channels", by_id(chans, [](const Channel *c) { return channel_json(*c); }));
  j.add("bgp_entries", list(bgp_entries(), [](const BgpEntry &e) {
          char text[128];
          return "[" + num(e.path) + ", " + json_str(kx_ipaddrplen_tostring(&e.prefix, text, sizeof text)) + ", " +
                 num(e.nexthop) + ", " + num(e.localpref) + ", " + num(e.med) + "]";
        }));
  j.add("bgp_paths", list(bgp_paths(), [](const BgpPath &p) {
          return "[" + num(p.id) + ", " + list(p.as_path, [](uint32_t v) { return num(v); }) + "]";
        }));
  j.add("sysdiag", list(w.sysdiag, [](uint64_t v) { return num(v); }));
  std::string s = j.str();
  return s.substr(1, s.size() - 2);
}

}  // namespace sim
