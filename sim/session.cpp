// kxd-sim: the requests of one client and its share of the live stream.
#include "session.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <set>

namespace sim {

std::string json_str(const std::string &s) {
  std::string o = "\"";
  for (unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      o += '\\';
      o += (char)ch;
    } else if (ch < 0x20 || ch >= 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", ch);
      o += esc;
    } else {
      o += (char)ch;
    }
  }
  return o + "\"";
}

std::string json_hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string o = "\"";
  for (unsigned char ch : bytes) {
    o += digits[ch >> 4];
    o += digits[ch & 15];
  }
  return o + "\"";
}

namespace {

std::string num(uint64_t v) { return std::to_string(v); }
std::string snum(int64_t v) { return std::to_string(v); }

template <class T, class F>
std::string json_list(const std::vector<T> &v, F f) {
  std::string o = "[";
  for (size_t i = 0; i < v.size(); i++) o += (i ? ", " : "") + f(v[i]);
  return o + "]";
}

bool get_string(kx_msg_t *m, std::string *s) {
  char buf[4096];
  if (!kx_msg_get_string_len(m, buf, sizeof buf, nullptr)) return false;
  *s = buf;
  return true;
}

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

}  // namespace

Session::Session(int fd_, std::string peer_, const Settings &settings, World &world)
    : fd(fd_), peer(std::move(peer_)), settings_(settings), world_(world) {}

Session::~Session() = default;

void Session::handle(kx_msg_t *m, Msgs &out) {
  if (closing) return;
  if (!authed_ && m->type != CLI_AUTH && m->type != CLI_PING) {
    KX_LOG(kLogFacility, KX_LOG_NOTICE, "%s: request 0x%x before login refused", peer.c_str(), m->type);
    enc_eperm(out, m->type);
    return;
  }
  std::string s1, s2;
  uint32_t u1 = 0, u2 = 0;
  uint64_t u64 = 0;
  bool ok = true;
  switch (m->type) {
    case CLI_AUTH:
      login(m, out);
      return;
    case CLI_PING:
      pings_++;
      out.push_back(new_msg(SRV_PONG));
      return;
    case CLI_REQUEST_UPDATE:
      record("{\"request\": \"requestUpdate\"}");
      if (!live_) snapshot(out);
      return;
    case CLI_CHANNELS_SHOW:
      record("{\"request\": \"channelsShow\"}");
      channels_ = true;
      enc_channels_info(out, world_);
      enc_channels_data(out, world_);
      return;
    case CLI_CHANNELS_HIDE:
      record("{\"request\": \"channelsHide\"}");
      channels_ = false;
      return;
    case CLI_SHAPING_SHOW:
      record("{\"request\": \"shapingobjectShow\"}");
      shaping_ = true;
      out.push_back(new_msg(SRV_SHAPING_OBJECTS_INIT));
      for (const ShapingObject &o : world_.shaping) enc_shaping_name(out, o);
      for (const ShapingObject &o : world_.shaping) enc_shaping_counters(out, o);
      return;
    case CLI_SHAPING_HIDE:
      record("{\"request\": \"shapingobjectHide\"}");
      shaping_ = false;
      return;
    case CLI_FWRULES_SHOW:
      record("{\"request\": \"fwrulesShow\"}");
      fwrules_ = true;
      enc_fw_init(out, world_);
      enc_fw_data(out, world_);
      return;
    case CLI_FWRULES_HIDE:
      record("{\"request\": \"fwrulesHide\"}");
      fwrules_ = false;
      return;
    case CLI_FWLOG_QUERY:
      fwlog_query(m, out);
      return;
    case CLI_FWLOG_CLEAR:
      record("{\"request\": \"fwlog_clear\"}");
      KX_LOG(kLogFacility, KX_LOG_INFO, "%s: firewall log cleared", peer.c_str());
      world_.fwlog_clear();
      return;
    case CLI_BGP_DUMP:
      record("{\"request\": \"bgpDump\"}");
      enc_bgp(out);
      return;
    case CLI_SYSDIAG_DUMP:
      record("{\"request\": \"drdlStatsDump\"}");
      enc_sysdiag(out, world_);
      return;
    case CLI_VCRC_TEST:
      vcrc_test(m, out);
      return;
    case CLI_CREATE_VIEW:
      create_view(m, out);
      return;
    case CLI_CREATE_VIEW_BY_NAME:
      create_view_by_name(m, out);
      return;
    case CLI_HOSTVIEW_SHOW: {
      ok = kx_msg_get_uint32(m, &u1);
      if (!ok) break;
      record("{\"request\": \"hostShow\", \"hostid\": " + num(u1) + "}");
      auto it = world_.hosts.find(u1);
      if (it == world_.hosts.end()) {
        enc_not_avail(out, "no host " + num(u1));
      } else {
        Batch b(SRV_HOST_UPDATE, &out);
        enc_host_update(b, it->second, 0x0002 | 0x0004 | 0x0010 | 0x0080 | 0x0100 | 0x0040);
      }
      return;
    }
    case CLI_HOST_FIND: {
      kx_ipaddr_t ip;
      ok = kx_msg_get_ipaddr(m, &ip) && ip.ip_type == KX_IPADDR_TYPE_V4;
      if (!ok) break;
      record("{\"request\": \"hostFindv4\", \"hostip\": " + num(ip.address[0]) + "}");
      kx_msg_t *r = new_msg(SRV_HOST_FIND_REPLY);
      for (const auto &kv : world_.hosts) {
        if (!kv.second.addr.v6 && kv.second.addr.w[0] == ip.address[0]) {
          kx_msg_put_uint32(r, kv.first);
          break;
        }
      }
      out.push_back(r);
      return;
    }
    case CLI_SC_ROW_QUERY: {
      ok = kx_msg_get_uint64(m, &u64);
      if (!ok) break;
      record("{\"request\": \"scRowQuery\", \"rowid\": " + num(u64) + "}");
      auto it = world_.rows.find(u64);
      if (it != world_.rows.end()) enc_sc_add(out, u64, it->second);
      else enc_sc_remove(out, {u64});
      return;
    }
    case CLI_SET_DEBUG: {
      ok = kx_msg_get_uint32(m, &u1) && get_string(m, &s1);
      if (!ok) break;
      record("{\"request\": \"setDebug\", \"facility\": " + num(u1) + ", \"argument\": " + json_str(s1) + "}");
      // "<digit>" sets the facility's threshold; anything else is only logged
      if (u1 < KX_LOG_NUM_FACILITIES && s1.size() == 1 && s1[0] >= '0' && s1[0] <= '8')
        kx_log_levels[u1] = (uint32_t)(s1[0] - '0');
      KX_LOG(kLogFacility, KX_LOG_INFO, "%s: debug setting %u = '%s'", peer.c_str(), u1, s1.c_str());
      return;
    }
    case CLI_FORCE_STATS_WRITE:
      record("{\"request\": \"force_statistics_write\"}");
      KX_LOG(kLogFacility, KX_LOG_INFO, "%s: statistics written", peer.c_str());
      return;
    case CLI_INJECT_PACKET: {
      ok = get_string(m, &s1) && kx_msg_get_uint32(m, &u1) && u1 <= kx_msg_remaining(m);
      if (!ok) break;
      s2.assign((const char *)m->data + m->pos, u1);
      record("{\"request\": \"injectPacket\", \"iface\": " + json_str(s1) + ", \"data\": " + json_hex(s2) + "}");
      KX_LOG(kLogFacility, KX_LOG_INFO, "%s: %u-byte packet injected on %s", peer.c_str(), u1, s1.c_str());
      return;
    }
    case CLI_DUMP_CONNECTIONS:
      ok = get_string(m, &s1) && get_string(m, &s2) && kx_msg_get_uint32(m, &u1) && kx_msg_get_uint32(m, &u2);
      if (!ok) break;
      record("{\"request\": \"dumpConnections\", \"filename\": " + json_str(s1) + ", \"reapername\": " +
             json_str(s2) + ", \"start\": " + num(u1) + ", \"step\": " + num(u2) + "}");
      KX_LOG(kLogFacility, KX_LOG_INFO, "%s: dump of %zu connections to '%s' requested", peer.c_str(),
             world_.conns.size(), s1.c_str());
      return;
    default:
      KX_LOG(kLogFacility, KX_LOG_NOTICE, "%s: unknown request 0x%x", peer.c_str(), m->type);
      char text[64];
      snprintf(text, sizeof text, "request 0x%x not available", m->type);
      enc_not_avail(out, text);
      return;
  }
  if (!ok) {
    KX_LOG(kLogFacility, KX_LOG_NOTICE, "%s: malformed request 0x%x", peer.c_str(), m->type);
    char text[64];
    snprintf(text, sizeof text, "malformed request 0x%x", m->type);
    enc_not_avail(out, text);
  }
}

void Session::login(kx_msg_t *m, Msgs &out) {
  std::string user, password;
  if (!get_string(m, &user) || !get_string(m, &password) || user != settings_.user ||
      password != settings_.password) {
    KX_LOG(kLogFacility, KX_LOG_NOTICE, "%s: login of '%s' refused", peer.c_str(), user.c_str());
    enc_eperm(out, CLI_AUTH);
    closing = true;
    return;
  }
  KX_LOG(kLogFacility, KX_LOG_INFO, "%s: '%s' logged in", peer.c_str(), user.c_str());
  user_ = user;
  authed_ = true;
  enc_login(out);
}

void Session::snapshot(Msgs &out) {
  enc_strtables(out);
  {
    Batch b(SRV_HOST_ADD, &out);
    for (const auto &kv : world_.hosts) enc_host_add(b, kv.second);
  }
  enc_schemata(out);
  for (const auto &kv : world_.rows) enc_sc_add(out, kv.first, kv.second);
  {
    Batch b(SRV_CONN_UPDATE, &out);
    for (const auto &kv : world_.conns) {
      std::vector<uint16_t> v = views_of(kv.second);
      conn_views_[kv.first] = v;
      enc_conn(b, kv.second, kConnCreate | (kv.first % 3 == 0 ? 0x800 : 0), &v);
    }
  }
  out.push_back(new_msg(SRV_UPDATE_DONE));
  live_ = true;
}

void Session::tick(Msgs &out) {
  const Changes &ch = world_.last();
  if (live_) {
    for (uint64_t r : ch.new_rows) {
      auto it = world_.rows.find(r);
      if (it != world_.rows.end()) enc_sc_add(out, r, it->second);
    }
    {
      Batch b(SRV_HOST_ADD, &out);
      for (uint32_t id : ch.new_hosts) {
        auto it = world_.hosts.find(id);
        if (it != world_.hosts.end()) enc_host_add(b, it->second);
      }
    }
    {
      Batch b(SRV_CONN_UPDATE, &out);
      std::set<uint32_t> created;
      for (uint32_t id : ch.new_conns) {
        created.insert(id);
        auto it = world_.conns.find(id);
        const Conn *c = it != world_.conns.end() ? &it->second : nullptr;
        if (!c) {  // opened and closed within the tick: one record does both
          c = &ch.removed_conn_records.at(id);
          std::vector<uint16_t> v = views_of(*c);
          enc_conn(b, *c, kConnCreate | 0x400, &v);
          continue;
        }
        std::vector<uint16_t> v = views_of(*c);
        conn_views_[id] = v;
        enc_conn(b, *c, kConnCreate | (id % 3 == 0 ? 0x800 : 0), &v);
      }
      for (const auto &kv : ch.conn_updates) {
        const Conn &c = world_.conns.at(kv.first);
        std::vector<uint16_t> v = views_of(c);
        bool moved = conn_views_[kv.first] != v;
        conn_views_[kv.first] = v;
        enc_conn(b, c, kv.second, moved ? &v : nullptr);
      }
      for (uint32_t id : ch.removed_conns) {
        if (created.count(id)) continue;
        conn_views_.erase(id);
        enc_conn(b, ch.removed_conn_records.at(id), 0x400, nullptr);
      }
    }
    std::vector<uint64_t> gone;
    for (uint64_t r : ch.removed_rows)
      if (std::find(ch.new_rows.begin(), ch.new_rows.end(), r) == ch.new_rows.end()) gone.push_back(r);
    enc_sc_remove(out, gone);
    {
      Batch b(SRV_HOST_UPDATE, &out);
      for (const auto &kv : ch.host_updates) {
        auto it = world_.hosts.find(kv.first);
        if (it != world_.hosts.end()) enc_host_update(b, it->second, kv.second);
      }
    }
    for (uint32_t id : ch.removed_hosts) enc_host_remove(out, id);
  }
  for (auto &kv : views_) refresh_view(kv.second, out, false);
  if (channels_) enc_channels_data(out, world_);
  if (shaping_)
    for (const ShapingObject &o : world_.shaping) enc_shaping_counters(out, o);
  if (fwrules_) enc_fw_data(out, world_);
}

// ---- views ------------------------------------------------------------------

void Session::create_view(kx_msg_t *m, Msgs &out) {
  View v;
  uint8_t nfilters = 0, nfields = 0;
  const char *error = nullptr;
  std::string req;
  if (!kx_msg_get_uint16(m, &v.id) || !kx_msg_get_uint8(m, &nfilters)) error = "malformed view request";
  for (uint32_t i = 0; !error && i < nfilters; i++) {
    ViewFilter f;
    uint8_t flag;
    uint16_t count;
    if (!kx_msg_get_uint8(m, &f.id) || !kx_msg_get_uint8(m, &flag) || !kx_msg_get_uint16(m, &count)) {
      error = "malformed view request";
      break;
    }
    const ViewFilterCap *cap = view_filter(f.id);
    if (!cap) {
      error = "unknown filter";
      break;
    }
    f.include = flag == 0;
    f.type = cap->type;
    std::string vals;
    for (uint32_t k = 0; k < count && !error; k++) {
      uint8_t u8;
      uint16_t u16;
      uint32_t u32;
      std::string s;
      kx_ipaddrplen_t p;
      char text[128];
      switch (f.type) {
        case FILTER_SMALL_INTS:
          if (!kx_msg_get_uint16(m, &u16)) error = "malformed view request";
          f.nums.push_back(u16);
          vals += (k ? ", " : "") + num(u16);
          break;
        case FILTER_UINT32:
          if (!kx_msg_get_uint32(m, &u32)) error = "malformed view request";
          f.nums.push_back(u32);
          vals += (k ? ", " : "") + num(u32);
          break;
        case FILTER_BOOLEAN:
          if (!kx_msg_get_uint8(m, &u8)) error = "malformed view request";
          f.nums.push_back(u8);
          vals += (k ? ", " : "") + num(u8);
          break;
        case FILTER_HOSTS:
          if (!kx_msg_get_ipaddrplen(m, &p)) error = "malformed view request";
          f.nets.push_back(p);
          vals += (k ? ", " : "") + json_str(kx_ipaddrplen_tostring(&p, text, sizeof text));
          break;
        default:
          if (!get_string(m, &s)) error = "malformed view request";
          f.strs.push_back(s);
          vals += (k ? ", " : "") + json_str(s);
      }
    }
    req += std::string(req.empty() ? "" : ", ") + "[" + num(f.id) + ", " + (f.include ? "true" : "false") + ", " +
           num(f.type) + ", [" + vals + "]]";
    v.filters.push_back(f);
  }
  if (!error && !kx_msg_get_uint8(m, &nfields)) error = "malformed view request";
  std::string freq;
  for (uint32_t i = 0; !error && i < nfields; i++) {
    uint8_t id;
    std::string arg;
    if (!kx_msg_get_uint8(m, &id) || !get_string(m, &arg)) {
      error = "malformed view request";
      break;
    }
    if (!view_field(id)) error = "unknown field";
    v.fields.push_back({id, arg});
    freq += std::string(i ? ", " : "") + "[" + num(id) + ", " + json_str(arg) + "]";
  }
  record("{\"request\": \"createView\", \"viewid\": " + num(v.id) + ", \"filters\": [" + req + "], \"fields\": [" +
         freq + "]}");
  if (!error && v.fields.empty()) error = "a view needs a field";
  const uint16_t id = v.id;
  if (!error) add_view(std::move(v), out, &error);
  if (error) {
    kx_msg_t *r = new_msg(SRV_VIEW_ADD_ERROR);
    kx_msg_put_uint16(r, id);
    kx_msg_put_string(r, error);
    out.push_back(r);
  }
}

void Session::create_view_by_name(kx_msg_t *m, Msgs &out) {
  View v;
  std::string name;
  if (!kx_msg_get_uint16(m, &v.id) || !get_string(m, &name)) {
    enc_not_avail(out, "malformed request 0x22002");
    return;
  }
  record("{\"request\": \"createViewByName\", \"viewid\": " + num(v.id) + ", \"name\": " + json_str(name) + "}");
  static const std::map<std::string, uint8_t> named = {{"hosts", 1}, {"services", 2}, {"protocols", 3},
                                                       {"netobjects", 4}, {"ports", 5}};
  const char *error = nullptr;
  const uint16_t id = v.id;
  auto it = named.find(name);
  if (it == named.end()) {
    error = "unknown view name";
  } else {
    v.name = name;
    v.fields.push_back({it->second, it->second == 5 ? "server" : ""});
    add_view(std::move(v), out, &error);
  }
  if (error) {
    kx_msg_t *r = new_msg(SRV_VIEW_ADD_ERROR);
    kx_msg_put_uint16(r, id);
    kx_msg_put_string(r, error);
    out.push_back(r);
  }
}

bool Session::add_view(View v, Msgs &out, const char **error) {
  if (views_.count(v.id)) {
    *error = "view id in use";
    return false;
  }
  KX_LOG(kLogFacility, KX_LOG_INFO, "%s: view %u created", peer.c_str(), v.id);
  View &nv = views_[v.id] = std::move(v);
  refresh_view(nv, out, true);
  if (live_) update_memberships(out);
  return true;
}

bool Session::passes(const View &v, const Conn &c) const {
  for (const ViewFilter &f : v.filters) {
    bool hit = false;
    const Host *cl = world_.hosts.count(c.client) ? &world_.hosts.at(c.client) : nullptr;
    switch (f.id) {
      case 1: hit = std::count(f.nums.begin(), f.nums.end(), c.proto) > 0; break;
      case 2:
        for (const std::string &s : f.strs) hit |= s == World::service(c.service)->name;
        break;
      case 3:
        for (const std::string &s : f.strs)
          for (uint32_t o : cl ? cl->netobjects : std::vector<uint32_t>())
            hit |= o >= 1 && o <= World::netobject_names().size() && World::netobject_names()[o - 1] == s;
        break;
      case 4:
        for (const kx_ipaddrplen_t &p : f.nets) hit |= in_prefix(c.caddr, p) || in_prefix(c.saddr, p);
        break;
      case 5:
        for (const std::string &s : f.strs) hit |= !s.empty() && c.server_hostname.find(s) != std::string::npos;
        break;
      case 6: hit = std::count(f.nums.begin(), f.nums.end(), c.sport) > 0; break;
      case 7: hit = std::count(f.nums.begin(), f.nums.end(), c.nat ? 1u : 0u) > 0; break;
    }
    if (hit != f.include) return false;
  }
  return true;
}

std::vector<uint16_t> Session::views_of(const Conn &c) const {
  std::vector<uint16_t> ids;
  for (const auto &kv : views_)
    if (passes(kv.second, c)) ids.push_back(kv.first);
  return ids;
}

void Session::update_memberships(Msgs &out) {
  Batch b(SRV_CONN_UPDATE, &out);
  for (const auto &kv : world_.conns) {
    std::vector<uint16_t> v = views_of(kv.second);
    if (conn_views_[kv.first] == v) continue;
    conn_views_[kv.first] = v;
    enc_conn(b, kv.second, 0, &v);
  }
}

void Session::refresh_view(View &v, Msgs &out, bool full) {
  uint8_t field = v.fields[0].first;
  const std::string &arg = v.fields[0].second;
  std::map<std::string, ViewRow> now;
  for (const auto &kv : world_.conns) {
    const Conn &c = kv.second;
    if (!passes(v, c)) continue;
    kx_msg_t *k = new_msg(0);
    std::string key_json, label;
    auto host = world_.hosts.find(c.client);
    switch (field) {
      case 1:
        put_ipaddr(k, c.caddr);
        key_json = json_str(addr_text_short(c.caddr));
        label = host != world_.hosts.end() ? host->second.name : "";
        break;
      case 2:
        kx_msg_put_uint16(k, c.service);
        key_json = num(c.service);
        label = World::service(c.service)->name;
        break;
      case 3:
        kx_msg_put_uint16(k, c.proto);
        key_json = num(c.proto);
        label = c.proto == 6 ? "tcp" : "udp";
        break;
      case 4: {
        uint32_t o = host != world_.hosts.end() && !host->second.netobjects.empty() ? host->second.netobjects[0] : 0;
        kx_msg_put_uint32(k, o);
        key_json = num(o);
        label = o ? World::netobject_names()[o - 1] : "none";
        break;
      }
      case 5: {
        uint32_t port = arg == "client" ? c.cport : c.sport;
        kx_msg_put_uint32(k, port);
        key_json = num(port);
        label = "port " + num(port);
        break;
      }
      default:
        kx_msg_put_uint8(k, c.nat ? 1 : 0);
        key_json = c.nat ? "true" : "false";
        label = c.nat ? "translated" : "direct";
    }
    std::string key((const char *)k->data, k->len);
    kx_msg_free(k);
    ViewRow &r = now[key];
    r.key = key;
    r.key_json = key_json;
    r.label = label;
    r.conns++;
    r.speed[0] += c.speed[0];
    r.speed[1] += c.speed[1];
    if (c.start == world_.now()) r.cps[0]++;
  }
  Batch b(SRV_VIEW_UPDATE, &out);
  kx_msg_put_uint16(b.header(), v.id);
  for (auto it = v.rows.begin(); it != v.rows.end();) {
    if (now.count(it->first)) {
      ++it;
      continue;
    }
    kx_msg_put_uint8(b.rec(), VIEW_OP_REMOVE);
    kx_msg_put_uint32(b.rec(), it->second.id);
    b.end();
    it = v.rows.erase(it);
  }
  for (auto &kv : now) {
    ViewRow &n = kv.second;
    n.rtt[0] = 5 + n.conns * 3;
    n.rtt[1] = 9 + n.conns * 7;
    auto old = v.rows.find(kv.first);
    uint8_t mask = 0;
    kx_msg_t *m = b.rec();
    if (old == v.rows.end()) {
      n.id = v.next_row++;
      n.second = world_.now();
      mask = 0x1f;
      kx_msg_put_uint8(m, VIEW_OP_ADD);
      kx_msg_put_uint32(m, n.id);
      kx_msg_put_uint32(m, n.second);
      kx_msg_put_uint8(m, 0);
      kx_msg_put_uint8(m, field);
      kx_msg_put_data(m, n.key.data(), (uint32_t)n.key.size());
    } else {
      n.id = old->second.id;
      n.second = old->second.second;
      if (n.conns != old->second.conns) mask |= 0x01;
      if (n.speed[0] != old->second.speed[0] || n.speed[1] != old->second.speed[1]) mask |= 0x02;
      if (n.rtt[0] != old->second.rtt[0] || n.rtt[1] != old->second.rtt[1]) mask |= 0x08;
      if (n.cps[0] != old->second.cps[0] || n.cps[1] != old->second.cps[1]) mask |= 0x10;
      if (!mask && !full) {
        m->len = 0;
        continue;
      }
      if (mask & 0x01) mask |= 0x04 | 0x40;  // with the dropped group and a bit without data
      kx_msg_put_uint8(m, VIEW_OP_UPDATE);
      kx_msg_put_uint32(m, n.id);
    }
    kx_msg_put_uint8(m, mask);
    if (mask & 0x01) kx_msg_put_uint32(m, n.conns);
    if (mask & 0x02) {
      kx_msg_put_uint64(m, n.speed[0]);
      kx_msg_put_uint64(m, n.speed[1]);
    }
    if (mask & 0x04)
      for (int i = 0; i < 6; i++) kx_msg_put_uint32(m, n.conns);
    if (mask & 0x08) {
      kx_msg_put_uint32(m, n.rtt[0]);
      kx_msg_put_uint32(m, n.rtt[1]);
    }
    if (mask & 0x10) {
      kx_msg_put_uint32(m, n.cps[0]);
      kx_msg_put_uint32(m, n.cps[1]);
    }
    b.end();
    if (old == v.rows.end()) {
      kx_msg_put_uint8(b.rec(), VIEW_OP_STRING_SET);
      kx_msg_put_uint32(b.rec(), n.id);
      kx_msg_put_string(b.rec(), n.label.c_str());
      b.end();
    }
    v.rows[kv.first] = n;
  }
  if (full && b.empty()) {  // an empty view still tells the client it exists
    b.end();
  }
}

// ---- firewall log and rule test ------------------------------------------------

void Session::fwlog_query(kx_msg_t *m, Msgs &out) {
  uint8_t qtype, clear, no_reverse;
  uint64_t s, e;
  if (!kx_msg_get_uint8(m, &qtype) || !kx_msg_get_uint64(m, &s) || !kx_msg_get_uint64(m, &e) ||
      !kx_msg_get_uint8(m, &clear) || !kx_msg_get_uint8(m, &no_reverse)) {
    enc_not_avail(out, "malformed request 0x203e8");
    return;
  }
  int64_t from = (int64_t)s, to = (int64_t)e;
  record("{\"request\": \"fwlog_query\", \"qtype\": " + num(qtype) + ", \"s\": " + snum(from) + ", \"e\": " +
         snum(to) + ", \"clear\": " + num(clear) + ", \"no_reverse\": " + num(no_reverse) + "}");
  std::vector<const FwLogEntry *> hits;
  const std::vector<FwLogEntry> &log = world_.fwlog;
  // by sequence number, by time, or by offset from the newest entry (to < 0: to the oldest)
  for (size_t i = 0; i < log.size(); i++) {
    const FwLogEntry &en = log[i];
    int64_t off = (int64_t)(log.size() - 1 - i);
    bool in = qtype == 0 ? ((int64_t)en.seq >= from && (int64_t)en.seq <= to)
              : qtype == 1 ? ((int64_t)en.time >= from && (int64_t)en.time <= to)
              : qtype == 2 ? (off >= from && (to < 0 || off <= to))
                           : false;
    if (in) hits.push_back(&en);
  }
  if (!no_reverse) std::reverse(hits.begin(), hits.end());
  enc_fwlog(out, hits);
  if (clear) world_.fwlog_clear();
}

void Session::vcrc_test(kx_msg_t *m, Msgs &out) {
  uint32_t test_id, mask;
  if (!kx_msg_get_uint32(m, &test_id) || !kx_msg_get_uint32(m, &mask)) {
    enc_not_avail(out, "malformed request 0x10708");
    return;
  }
  static const struct { const char *key; int bit; char wire; } order[] = {
      {"vlanin", 0, 'I'},    {"vlanout", 1, 'I'},   {"mplsin", 2, 'I'},     {"mplsout", 3, 'I'},
      {"dscpin", 14, 'I'},   {"dscpout", 15, 'I'},  {"channelin", 16, 'I'}, {"channelout", 17, 'I'},
      {"protocol", 4, 'B'},  {"clientip", 5, 'A'},  {"serverip", 6, 'A'},   {"clientport", 7, 'H'},
      {"serverport", 8, 'H'}, {"service", 9, 'S'},  {"xfb", 11, 'I'},       {"properties", 12, 'P'},
  };
  std::map<std::string, uint32_t> vals;
  std::string req = "{\"request\": \"vcrcTest\", \"test_id\": " + num(test_id) + ", \"mask\": " + num(mask);
  bool ok = true;
  std::string service;
  for (const auto &o : order) {
    if (!(mask & (1u << o.bit)) || !ok) continue;
    uint8_t u8;
    uint16_t u16;
    uint32_t u32 = 0;
    std::string a, b;
    char text[32];
    req += std::string(", ") + json_str(o.key) + ": ";
    switch (o.wire) {
      case 'B': ok = kx_msg_get_uint8(m, &u8); u32 = u8; req += num(u32); break;
      case 'H': ok = kx_msg_get_uint16(m, &u16); u32 = u16; req += num(u32); break;
      case 'A': ok = kx_msg_get_uint32(m, &u32); req += json_str(kx_iptostring_ip4(u32, text, sizeof text)); break;
      case 'S': ok = get_string(m, &service); req += json_str(service); break;
      case 'P': {
        ok = kx_msg_get_uint8(m, &u8);
        req += "[";
        for (uint32_t i = 0; ok && i < u8; i++) {
          ok = get_string(m, &a) && get_string(m, &b);
          req += (i ? ", [" : "[") + json_str(a) + ", " + json_str(b) + "]";
        }
        req += "]";
        break;
      }
      default: ok = kx_msg_get_uint32(m, &u32); req += num(u32);
    }
    vals[o.key] = u32;
  }
  if (!ok) {
    enc_not_avail(out, "malformed request 0x10708");
    return;
  }
  // Evaluate the firewall rules in order: every rule looked at is listed with
  // 1 when it matched, the first match decides.
  std::vector<std::pair<uint32_t, uint32_t>> fw, shaping;
  int32_t decided = -1;
  for (const FwRule &r : world_.fwrules) {
    bool proto_ok = !r.proto || (vals.count("protocol") && vals["protocol"] == r.proto);
    bool port_ok = !r.port || (vals.count("serverport") && vals["serverport"] == r.port);
    fw.push_back({r.id, proto_ok && port_ok ? 1u : 0u});
    if (proto_ok && port_ok) {
      decided = (int32_t)r.id;
      break;
    }
  }
  if (service == "sip") shaping.push_back({1, 101});
  if (service == "bittorrent") shaping.push_back({10, 104});
  if (vals.count("xfb")) shaping.push_back({2, 102});
  kx_msg_t *r = new_msg(SRV_VCRC_TEST_RESULT);
  kx_msg_put_uint32(r, test_id);
  kx_msg_put_uint8(r, 1);  // rule set loaded
  kx_msg_put_uint32(r, vals.count("channelin") ? vals["channelin"] : 0);
  kx_msg_put_uint32(r, vals.count("vlanin") ? vals["vlanin"] : 0xffffffffu);
  kx_msg_put_uint32(r, (uint32_t)decided);
  kx_msg_put_uint32(r, (uint32_t)fw.size());
  for (auto &p : fw) {
    kx_msg_put_uint32(r, p.first);
    kx_msg_put_uint32(r, p.second);
  }
  kx_msg_put_uint32(r, (uint32_t)shaping.size());
  for (auto &p : shaping) {
    kx_msg_put_uint32(r, p.first);
    kx_msg_put_uint32(r, p.second);
  }
  out.push_back(r);
  record(req + "}");
}

// ---- state dump -------------------------------------------------------------

std::string Session::dump_json() const {
  std::string o = "{\"peer\": " + json_str(peer) + ", \"user\": " + json_str(user_) +
                  ", \"authenticated\": " + (authed_ ? "true" : "false") + ", \"live\": " + (live_ ? "true" : "false") +
                  ", \"pings\": " + num(pings_) + ", \"subscriptions\": {\"channels\": " + (channels_ ? "true" : "false") +
                  ", \"shaping\": " + (shaping_ ? "true" : "false") + ", \"fwrules\": " + (fwrules_ ? "true" : "false") +
                  "}, \"views\": {";
  bool first = true;
  for (const auto &kv : views_) {
    o += std::string(first ? "" : ", ") + "\"" + num(kv.first) + "\": {";
    first = false;
    bool rfirst = true;
    for (const auto &rv : kv.second.rows) {
      const ViewRow &r = rv.second;
      o += std::string(rfirst ? "" : ", ") + "\"" + num(r.id) + "\": {\"second\": " + num(r.second) + ", \"field\": [" +
           num(kv.second.fields[0].first) + ", " + r.key_json + "], \"label\": " + json_str(r.label) +
           ", \"conns\": " + num(r.conns) + ", \"speed\": [" + num(r.speed[0] * 8) + ", " + num(r.speed[1] * 8) +
           "], \"rtt\": [" + num(r.rtt[0]) + ", " + num(r.rtt[1]) + "], \"cps\": [" + num(r.cps[0]) + ", " +
           num(r.cps[1]) + "]}";
      rfirst = false;
    }
    o += "}";
  }
  o += "}, \"conn_views\": {";
  first = true;
  for (const auto &kv : conn_views_) {
    if (!world_.conns.count(kv.first)) continue;
    o += std::string(first ? "" : ", ") + "\"" + num(kv.first) + "\": " +
         json_list(kv.second, [](uint16_t v) { return num(v); });
    first = false;
  }
  o += "}, \"requests\": [";
  for (size_t i = 0; i < requests_.size(); i++) o += (i ? ", " : "") + requests_[i];
  return o + "]}";
}

}  // namespace sim
