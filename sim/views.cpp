// kxd-sim: the view engine.
#include "views.h"

#include <algorithm>

#include "encode.h"
#include "json.h"

namespace sim {

namespace {

bool in_prefix(const Addr &a, const kx_ipaddrplen_t &p) {
  if (a.v6 != (p.ip_type == KX_IPADDR_TYPE_V6)) return false;
  uint32_t bits = p.plen;
  for (int i = 0; i < (a.v6 ? 4 : 1) && bits; i++) {
    uint32_t n = bits >= 32 ? 32 : bits;
    uint32_t mask = n == 32 ? 0xffffffffu : ~(0xffffffffu >> n);
    if ((a.w[i] & mask) != (p.address[i] & mask)) return false;
    bits -= n;
  }
  return true;
}

bool contains(const std::vector<uint32_t> &nums, uint32_t v) { return std::count(nums.begin(), nums.end(), v) > 0; }

const std::string &netobject_name(uint32_t id) { return World::netobject_names()[id - 1]; }

// The groups whose values differ between two states of a row.
uint8_t changed_groups(const ViewRow &n, const ViewRow &old) {
  uint8_t mask = 0;
  if (n.conns != old.conns) mask |= VIEW_DATA_CONNS;
  if (n.speed[0] != old.speed[0] || n.speed[1] != old.speed[1]) mask |= VIEW_DATA_SPEED;
  if (n.rtt[0] != old.rtt[0] || n.rtt[1] != old.rtt[1]) mask |= VIEW_DATA_RTT;
  if (n.cps[0] != old.cps[0] || n.cps[1] != old.cps[1]) mask |= VIEW_DATA_CPS;
  return mask;
}

}  // namespace

View &ViewSet::add(View v) {
  const uint16_t id = v.id;
  return views_[id] = std::move(v);
}

bool ViewSet::filter_hits(const ViewFilter &f, const Conn &c) const {
  bool hit = false;
  switch (f.id) {
    case VFILTER_PROTOCOL: return contains(f.nums, c.proto);
    case VFILTER_SERVICE:
      for (const std::string &s : f.strs) hit |= s == World::service(c.service)->name;
      return hit;
    case VFILTER_NETOBJECT: {
      auto cl = world_.hosts.find(c.client);
      if (cl == world_.hosts.end()) return false;
      const size_t known = World::netobject_names().size();
      for (const std::string &s : f.strs)
        for (uint32_t o : cl->second.netobjects) hit |= o >= 1 && o <= known && netobject_name(o) == s;
      return hit;
    }
    case VFILTER_HOST:
      for (const kx_ipaddrplen_t &p : f.nets) hit |= in_prefix(c.caddr, p) || in_prefix(c.saddr, p);
      return hit;
    case VFILTER_SERVER_NAME:
      for (const std::string &s : f.strs) hit |= !s.empty() && c.server_hostname.find(s) != std::string::npos;
      return hit;
    case VFILTER_SERVER_PORT: return contains(f.nums, c.sport);
    case VFILTER_TRANSLATED: return contains(f.nums, c.nat ? 1u : 0u);
  }
  return false;
}

bool ViewSet::passes(const View &v, const Conn &c) const {
  for (const ViewFilter &f : v.filters)
    if (filter_hits(f, c) != f.include) return false;
  return true;
}

std::vector<uint16_t> ViewSet::views_of(const Conn &c) const {
  std::vector<uint16_t> ids;
  for (const auto &kv : views_)
    if (passes(kv.second, c)) ids.push_back(kv.first);
  return ids;
}

bool ViewSet::update_membership(uint32_t conn, const std::vector<uint16_t> &views) {
  std::vector<uint16_t> &known = conn_views_[conn];
  if (known == views) return false;
  known = views;
  return true;
}

// The row `c` counts in: its key, the key as the client shows it, and the label.
ViewRow ViewSet::row_of(uint8_t field, const std::string &arg, const Conn &c) const {
  ViewRow r;
  ViewKeyValue value;
  auto host = world_.hosts.find(c.client);
  const Host *h = host != world_.hosts.end() ? &host->second : nullptr;
  switch (field) {
    case VFIELD_LOCAL_HOST:
      value.addr = c.caddr;
      r.key_json = json_str(addr_text_short(c.caddr));
      r.label = h ? h->name : "";
      break;
    case VFIELD_SERVICE:
      value.num = c.service;
      r.label = World::service(c.service)->name;
      break;
    case VFIELD_PROTOCOL:
      value.num = c.proto;
      r.label = c.proto == 6 ? "tcp" : "udp";
      break;
    case VFIELD_NETOBJECT:
      value.num = h && !h->netobjects.empty() ? h->netobjects[0] : 0;
      r.label = value.num ? netobject_name(value.num) : "none";
      break;
    case VFIELD_PORT:
      value.num = arg == "client" ? c.cport : c.sport;
      r.label = "port " + json_num(value.num);
      break;
    default:
      value.num = c.nat ? 1 : 0;
      r.key_json = json_bool(c.nat);
      r.label = c.nat ? "translated" : "direct";
  }
  if (r.key_json.empty()) r.key_json = json_num(value.num);
  r.key = enc_view_key(field, value);
  return r;
}

std::map<std::string, ViewRow> ViewSet::current_rows(const View &v) const {
  std::map<std::string, ViewRow> now;
  for (const auto &kv : world_.conns) {
    const Conn &c = kv.second;
    if (!passes(v, c)) continue;
    ViewRow k = row_of(v.fields[0].first, v.fields[0].second, c);
    ViewRow &r = now[k.key];
    r.key = k.key;
    r.key_json = k.key_json;
    r.label = k.label;
    r.conns++;
    r.speed[0] += c.speed[0];
    r.speed[1] += c.speed[1];
    if (c.start == world_.now()) r.cps[0]++;
  }
  return now;
}

std::vector<ViewChange> ViewSet::refresh(View &v, bool full) {
  std::map<std::string, ViewRow> now = current_rows(v);
  std::vector<ViewChange> changes;
  for (auto it = v.rows.begin(); it != v.rows.end();) {
    if (now.count(it->first)) {
      ++it;
      continue;
    }
    changes.push_back({VIEW_OP_REMOVE, it->second, 0});
    it = v.rows.erase(it);
  }
  for (auto &kv : now) {
    ViewRow &n = kv.second;
    n.rtt[0] = 5 + n.conns * 3;
    n.rtt[1] = 9 + n.conns * 7;
    auto old = v.rows.find(kv.first);
    if (old == v.rows.end()) {
      n.id = v.next_row++;
      n.second = world_.now();
      changes.push_back({VIEW_OP_ADD, n, VIEW_DATA_NEW_ROW});
    } else {
      n.id = old->second.id;
      n.second = old->second.second;
      uint8_t mask = changed_groups(n, old->second);
      if (!mask && !full) continue;
      // a changed count comes with the dropped group and a bit without data
      if (mask & VIEW_DATA_CONNS) mask |= VIEW_DATA_DROPPED | VIEW_DATA_NO_DATA;
      changes.push_back({VIEW_OP_UPDATE, n, mask});
    }
    v.rows[kv.first] = n;
  }
  return changes;
}

std::string ViewSet::views_json() const {
  JsonObject views;
  for (const auto &kv : views_) {
    const uint8_t field = kv.second.fields[0].first;
    JsonObject rows;
    for (const auto &rv : kv.second.rows) {
      const ViewRow &r = rv.second;
      rows.add(json_num(r.id), JsonObject()
                                   .add("second", json_num(r.second))
                                   .add("field", "[" + json_num(field) + ", " + r.key_json + "]")
                                   .add("label", json_str(r.label))
                                   .add("conns", json_num(r.conns))
                                   .add("speed", json_pair(r.speed[0] * 8, r.speed[1] * 8))
                                   .add("rtt", json_pair(r.rtt[0], r.rtt[1]))
                                   .add("cps", json_pair(r.cps[0], r.cps[1]))
                                   .str());
    }
    views.add(json_num(kv.first), rows.str());
  }
  return views.str();
}

std::string ViewSet::membership_json() const {
  JsonObject o;
  for (const auto &kv : conn_views_)
    if (world_.conns.count(kv.first)) o.add(json_num(kv.first), json_nums(kv.second));
  return o.str();
}

}  // namespace sim
