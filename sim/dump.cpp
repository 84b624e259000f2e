// kxd-sim: JSON state dump.
#include "dump.h"

#include "catalogue.h"
#include "encode.h"
#include "json.h"

namespace sim {

namespace {

std::string host_json(const Host &h) {
  return JsonObject()
      .add("addr", json_str(addr_text_full(h.addr)))
      .add("netobjects", json_nums(h.netobjects))
      .add("speed", "[" + json_int(h.speed[0]) + ", " + json_int(h.speed[1]) + "]")
      .add("connections", json_pair(h.connections[0], h.connections[1]))
      .add("cps", json_pair(h.cps[0], h.cps[1]))
      .add("quality_packets", json_pair(h.quality[0], h.quality[1]))
      .add("quality_internal_issues", json_pair(h.quality[2], h.quality[4]))
      .add("quality_external_issues", json_pair(h.quality[3], h.quality[5]))
      .str();
}

std::string conn_json(const Conn &c) {
  return JsonObject()
      .add("protocol", json_num(c.proto))
      .add("client", json_str(addr_text_full(c.caddr)))
      .add("clientport", json_num(c.cport))
      .add("server", json_str(addr_text_full(c.saddr)))
      .add("serverport", json_num(c.sport))
      .add("_starttime", json_num(c.start))
      .add("_service_id", json_num(c.service))
      .add("_base_service_id", json_num(c.base_service))
      .add("_engineflags", json_num(c.engineflags))
      .add("_xfbflags", json_num(c.xfbflags))
      .add("_deepscan", json_nums(c.deepscan))
      .add("_shaping_prio", json_num(c.shaping_prio))
      .add("_shaping_rule_ids", json_nums(c.shaping_rules))
      .add("_stat_rule_ids", json_nums(c.stat_rules))
      .add("_server_hostname", json_str(c.server_hostname))
      .add("_speed", json_pair(c.speed[0], c.speed[1]))
      .add("_xfer", json_pair(c.xfer[0], c.xfer[1]))
      .add("sc_rows", json_nums(c.sc_rows))
      .str();
}

std::string shaping_json(const ShapingObject &o) {
  JsonObject j;
  j.add("name", json_str(o.name)).add("copies", json_num(o.copies)).add("connections", json_num(o.connections));
  for (int d = 0; d < 2; d++) {
    const std::string prefix = d ? "out " : "in ";
    for (const ShapingCounterField &f : shaping_counter_fields()) {
      uint64_t v = f.value ? o.dir[d].*f.value : 0;
      if (f.width == 4) v = (uint32_t)v;  // what the wire carries
      if (f.width == 2) v = (uint16_t)v;
      j.add(prefix + f.key, json_num(f.bits ? v * 8 : v));
    }
  }
  return j.str();
}

std::string channel_json(const Channel &c) {
  static const char *const stats[3] = {"bytes", "packets", "drops"};
  static const char *const suffix[6] = {"", "(rate)", "(rate min)", "(rate max)", "(rate min last)", "(rate max last)"};
  JsonObject j;
  j.add("active", c.active ? "true" : "false").add("name", json_str(c.name)).add("type", json_num(c.type));
  j.add("internal_media", json_num(c.media[0])).add("external_media", json_num(c.media[1]));
  j.add("internal_negotiated_media", json_num(c.media[2])).add("external_negotiated_media", json_num(c.media[3]));
  j.add("internal_negotiated_media_time", json_num(c.media_time[0]));
  j.add("external_negotiated_media_time", json_num(c.media_time[1]));
  for (int s = 0; s < 3; s++) {
    for (int k = 0; k < 4; k++) j.add(std::string(stats[s]) + suffix[k], json_pair(c.stat[s][k][0], c.stat[s][k][1]));
    for (int k = 0; k < 2; k++) j.add(std::string(stats[s]) + suffix[4 + k], json_pair(c.last[s][k][0], c.last[s][k][1]));
  }
  return j.str();
}

std::string fwlog_json(const FwLogEntry &e) {
  JsonObject j;
  j.add("seq", json_num(e.seq)).add("time", json_num(e.time)).add("type", e.client.v6 ? "1" : "0");
  j.add("client", json_str(addr_text_full(e.client))).add("server", json_str(addr_text_full(e.server)));
  j.add("clientport", json_num(e.cport)).add("serverport", json_num(e.sport)).add("protocol", json_num(e.proto));
  j.add("clienthostname", json_str(e.clienthost)).add("serverhostname", json_str(e.serverhost));
  j.add("service", json_str(e.service)).add("rule", json_str(e.rule));
  if (e.has_properties) j.add("properties", json_str(e.properties));
  return j.str();
}

// The fixed catalogues, as the client holds them after the login and the first update.
void add_catalogues(JsonObject &j) {
  j.add("version", "[" + json_num(kProtocolVersion) + ", " + json_num(server_value()) + ", " +
                       json_str(server_name()) + ", " + json_str(server_build()) + "]");
  j.add("auth", json_num(kAuthLevel));
  j.add("features", json_num(feature_mask()));
  j.add("xfb_names", json_list(xfb_names(), json_str));
  j.add("shaping_rules", json_by_id(shaping_rules(), json_str));
  JsonObject tables;
  for (const StrTable &t : strtables()) {
    JsonObject entries;
    for (const StrEntry &e : t.entries) entries.add(json_num(e.id), json_str(e.text));
    tables.add(json_num(t.id), entries.str());
  }
  j.add("strtables", tables.str());
}

void add_bgp(JsonObject &j) {
  j.add("bgp_entries", json_list(bgp_entries(), [](const BgpEntry &e) {
          char text[128];
          return "[" + json_num(e.path) + ", " + json_str(kx_ipaddrplen_tostring(&e.prefix, text, sizeof text)) +
                 ", " + json_num(e.nexthop) + ", " + json_num(e.localpref) + ", " + json_num(e.med) + "]";
        }));
  j.add("bgp_paths", json_list(bgp_paths(), [](const BgpPath &p) {
          return "[" + json_num(p.id) + ", " + json_nums(p.as_path) + "]";
        }));
}

// Items of a list keyed by their id.
template <class T>
std::map<uint32_t, const T *> by_id(const std::vector<T> &items) {
  std::map<uint32_t, const T *> m;
  for (const T &i : items) m[i.id] = &i;
  return m;
}

}  // namespace

std::string world_dump_json(const World &w) {
  JsonObject j;
  add_catalogues(j);
  j.add("hosts", json_by_id(w.hosts, host_json));
  j.add("connections", json_by_id(w.conns, conn_json));
  j.add("sc_rows", json_by_id(w.rows, [](const ScRow &r) { return "[" + json_num(r.schema) + ", " + json_hex(r.data) + "]"; }));
  j.add("shaping_objects", json_by_id(by_id(w.shaping), [](const ShapingObject *o) { return shaping_json(*o); }));
  j.add("fw_rules", json_by_id(by_id(w.fwrules), [](const FwRule *r) {
          return JsonObject().add("name", json_str(r->name)).add("hits", json_num(r->hits)).add("hits_rate", json_num(r->hits_rate)).str();
        }));
  j.add("fwlog", json_list(w.fwlog, fwlog_json));
  j.add("channels", json_by_id(by_id(w.channels), [](const Channel *c) { return channel_json(*c); }));
  add_bgp(j);
  j.add("sysdiag", json_nums(w.sysdiag));
  return j.members();
}

}  // namespace sim
