// kxd-sim: generation and evolution of the synthetic network.
#include "world.h"

#include <stdio.h>

#include <algorithm>

namespace sim {

uint64_t Rng::next() {
  // splitmix64: small, fast and the same on every platform
  uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

const std::vector<ServiceDef> &World::services() {
  static const std::vector<ServiceDef> table = {
      {1, "http", 6, 80, 1},      {2, "https", 6, 443, 2},  {3, "dns", 17, 53, 3},
      {4, "ssh", 6, 22, 5},       {5, "smtp", 6, 25, 0},    {6, "imaps", 6, 993, 0},
      {7, "ntp", 17, 123, 0},     {8, "quic", 17, 443, 2},  {9, "sip", 17, 5060, 0},
      {10, "rdp", 6, 3389, 0},    {11, "mdns", 17, 5353, 4}, {12, "bittorrent", 6, 6881, 0},
  };
  return table;
}

const ServiceDef *World::service(uint16_t id) {
  for (const ServiceDef &s : services())
    if (s.id == id) return &s;
  return nullptr;
}

const std::vector<std::string> &World::netobject_names() {
  static const std::vector<std::string> names = {"LAN", "DMZ", "Servers", "Guests", "VoIP", "Internet", "VPN", "Printers"};
  return names;
}

Host World::make_host(uint32_t id, bool local) {
  Host h;
  h.id = id;
  h.addr.v6 = (id % 5 == 0);
  if (h.addr.v6) {
    h.addr.w[0] = 0x20010db8;
    h.addr.w[1] = local ? 0 : 0xffff0000u;
    h.addr.w[3] = id;
  } else {
    h.addr.w[0] = local ? (0x0a010000u | id) : (0xc6336400u + (id & 0xff));  // 10.1.x.y or 198.51.100.x
  }
  char name[64];
  snprintf(name, sizeof name, "%s-%u.example.net", local ? "desk" : "srv", id);
  h.name = name;
  h.kind = local ? "workstation" : "remote";
  if (local) {
    h.netobjects.push_back(1);
    if (rng_.chance(30)) h.netobjects.push_back(3 + rng_.below(3));
  } else {
    h.netobjects.push_back(6);
  }
  for (uint32_t &d : h.details) d = rng_.below(1000);
  return h;
}

void World::add_host(bool local) {
  uint32_t id = next_host_++;
  Host &h = hosts[id] = make_host(id, local);
  by_id_[id] = &h;
  pool_[h.addr.v6][local].push_back(id);  // ids only grow: the pool stays in order
}

World::World(uint64_t seed, uint32_t nhosts, uint32_t nconns, uint32_t step_ms, const volatile sig_atomic_t *stop)
    : rng_(seed), target_conns_(nconns) {
  if (nhosts < 10) nhosts = 10;
  target_hosts_ = nhosts;
  for (uint32_t i = 0; i < nhosts && !(stop && *stop); i++) add_host(i < nhosts / 2);
  const char *objs[] = {"default", "voip", "bulk", "guests", "p2p-limit", "backup"};
  for (uint32_t i = 0; i < 6; i++) {
    ShapingObject o;
    o.id = 100 + i;
    o.name = objs[i];
    shaping.push_back(o);
  }
  fwrules = {
      {1, "allow-http", 6, 80, false},          {2, "allow-https", 6, 443, false},
      {3, "allow-dns", 17, 53, true},           {4, "limit-ssh", 6, 22, true},
      {5, "block-bittorrent", 6, 6881, true},   {6, "allow-udp", 17, 0, false},
      {7, "default", 0, 0, true},
  };
  channels = {
      {1, 1, true, "uplink", {3, 3, 3, 3}, {0, 0}},
      {2, 2, true, "backbone", {4, 4, 4, 4}, {0, 0}},
      {3, 1, true, "dmz", {2, 3, 2, 3}, {0, 0}},
      {4, 0, false, "spare", {0, 0, 0, 0}, {0, 0}},
  };
  sysdiag.assign(40, 0);
  for (uint32_t i = 0; i < target_conns_ && !(stop && *stop); i++) add_conn();
  recount_hosts();
  changes_ = Changes();
  step_ms_ = step_ms ? step_ms : 1;
}

uint32_t World::add_conn() {
  bool v6 = rng_.chance(20);
  const std::vector<uint32_t> &local = pool_[v6][1], &remote = pool_[v6][0];
  if (local.empty() || remote.empty()) return 0;
  const ServiceDef &svc = services()[rng_.below((uint32_t)services().size())];
  Conn c;
  c.id = next_conn_++;
  c.client = local[rng_.below((uint32_t)local.size())];
  c.server = remote[rng_.below((uint32_t)remote.size())];
  c.caddr = host(c.client)->addr;
  c.saddr = host(c.server)->addr;
  c.proto = svc.proto;
  c.cport = (uint16_t)(1024 + rng_.below(60000));
  c.sport = svc.port;
  c.start = now_;
  c.service = svc.id;
  c.base_service = svc.id == 8 ? 2 : svc.id;
  c.engineflags = ENGINE_CLIENT_IS_LOCAL;
  if (rng_.chance(10)) c.engineflags |= ENGINE_ASYMMETRICAL;
  if (rng_.chance(10)) c.engineflags |= ENGINE_UNNAMED;
  c.xfbflags = rng_.below(16);
  for (uint32_t i = rng_.below(3); i > 0; i--) c.deepscan.push_back((uint16_t)(200 + rng_.below(800)));
  c.shaping_prio = (uint8_t)rng_.below(8);
  static const uint32_t shaping_rule_ids[] = {1, 2, 3, 10, 11};
  for (uint32_t i = 1 + rng_.below(2); i > 0; i--) c.shaping_rules.push_back(shaping_rule_ids[rng_.below(5)]);
  for (uint32_t i = rng_.below(3); i > 0; i--) c.stat_rules.push_back(0x1000 + rng_.below(64));
  if (rng_.chance(70)) c.server_hostname = "www." + std::string(svc.name) + "-" + std::to_string(c.server) + ".example";
  c.speed[0] = 1000 + rng_.below(200000);
  c.speed[1] = 500 + rng_.below(50000);
  c.nat = rng_.chance(25);
  if (svc.schema) {
    ScRow r;
    r.schema = svc.schema;
    char buf[96];
    int n = snprintf(buf, sizeof buf, "%s/%u", svc.name, c.id);
    r.data.assign("\0", 1);  // rows are binary: a zero byte first
    r.data.push_back((char)n);
    r.data.append(buf, (size_t)n);
    r.data.append("\0\xc8", 2);
    add_row(c, r);
  }
  match_fwrules(c);
  conns[c.id] = c;
  changes_.new_conns.push_back(c.id);
  return c.id;
}

void World::add_row(Conn &c, const ScRow &r) {
  uint64_t row = next_row_++;
  rows[row] = r;
  c.sc_rows.push_back(row);
  changes_.new_rows.push_back(row);
}

// The first rule that matches counts the connection, and logs it if it logs.
void World::match_fwrules(Conn &c) {
  for (FwRule &r : fwrules) {
    if ((r.proto && r.proto != c.proto) || (r.port && r.port != c.sport)) continue;
    c.fwrule = r.id;
    r.hits++;
    r.hits_rate++;
    changes_.fw_changed = true;
    if (r.log) log_conn(c, r);
    break;
  }
}

void World::log_conn(const Conn &c, const FwRule &r) {
  FwLogEntry e;
  e.seq = fwlog_seq_++;
  e.time = now_;
  e.client = c.caddr;
  e.server = c.saddr;
  e.cport = c.cport;
  e.sport = c.sport;
  e.proto = c.proto;
  e.clienthost = host(c.client)->name;
  e.serverhost = c.server_hostname;
  e.service = service(c.service)->name;
  e.rule = r.name;
  e.has_properties = (e.seq % 3) != 0;
  if (e.has_properties) e.properties = "action=" + std::string(r.id == 5 ? "drop" : "accept") + ";conn=" + std::to_string(c.id);
  fwlog.push_back(e);
  if (fwlog.size() > kFwLogSize) fwlog.pop_front();
}

void World::remove_conn(uint32_t id) {
  auto it = conns.find(id);
  if (it == conns.end()) return;
  for (uint64_t row : it->second.sc_rows) {
    rows.erase(row);
    changes_.removed_rows.push_back(row);
  }
  changes_.removed_conns.push_back(id);
  changes_.removed_conn_records[id] = it->second;
  conns.erase(it);
}

void World::recount_hosts() {
  // What is counted again, of every host in id order: compared afterwards
  // to mark what changed.
  struct Counts {
    int64_t speed[2];
    uint32_t connections[2], cps[2];
  };
  std::vector<Counts> before;
  before.reserve(hosts.size());
  for (auto &kv : hosts) {
    Host &h = kv.second;
    before.push_back({{h.speed[0], h.speed[1]}, {h.connections[0], h.connections[1]}, {h.cps[0], h.cps[1]}});
    h.speed[0] = h.speed[1] = 0;
    h.connections[0] = h.connections[1] = 0;
    h.cps[0] = h.cps[1] = 0;
  }
  for (auto &kv : conns) {
    const Conn &c = kv.second;
    Host *client = host(c.client), *server = host(c.server);
    if (!client || !server) continue;  // a connection's hosts stay while it lives
    Host &cl = *client, &sv = *server;
    cl.connections[0]++;
    sv.connections[1]++;
    cl.speed[0] += c.speed[1];
    cl.speed[1] += c.speed[0];
    sv.speed[0] += c.speed[0];
    sv.speed[1] += c.speed[1];
  }
  for (uint32_t id : changes_.new_conns) {
    auto it = conns.find(id);
    Host *client = host(it == conns.end() ? 0 : it->second.client);
    Host *server = host(it == conns.end() ? 0 : it->second.server);
    if (!client || !server) continue;
    client->cps[0]++;
    server->cps[1]++;
  }
  const Counts *old = before.data();
  for (auto &kv : hosts) {
    Host &h = kv.second;
    h.cps[0] = per_second(h.cps[0]);
    h.cps[1] = per_second(h.cps[1]);
    uint16_t mask = 0;
    if (h.speed[0] != old->speed[0] || h.speed[1] != old->speed[1]) mask |= HOST_SPEED;
    if (h.connections[0] != old->connections[0] || h.connections[1] != old->connections[1]) mask |= HOST_CONNECTIONS;
    if (h.cps[0] != old->cps[0] || h.cps[1] != old->cps[1]) mask |= HOST_CPS;
    old++;
    if (h.connections[0] + h.connections[1]) {
      h.quality[0] += (uint32_t)per_step(10 + rng_.below(100));
      h.quality[1] += (uint32_t)per_step(10 + rng_.below(100));
      if (rng_.chance(20)) h.quality[2 + rng_.below(4)]++;
      mask |= HOST_QUALITY;
    }
    if (mask && rng_.chance(10)) {
      h.l4errors += rng_.below(3);
      mask |= HOST_DETAILS;
    }
    if (mask && rng_.chance(10)) mask |= HOST_NO_DATA;
    if (mask) changes_.host_updates[kv.first] |= mask;
  }
}

// Connections close and open; one may do both within the tick.
void World::churn_conns() {
  std::vector<uint32_t> doomed;
  for (auto &kv : conns)
    if (rng_.chance(6)) doomed.push_back(kv.first);
  for (uint32_t id : doomed) remove_conn(id);
  uint32_t adds = rng_.below(4);
  if (conns.size() < target_conns_) adds += (uint32_t)(target_conns_ - conns.size()) / 3;
  for (uint32_t i = 0; i < adds; i++) add_conn();
  // A connection can be created and closed within one tick.
  if (rng_.chance(30)) {
    uint32_t id = add_conn();
    if (id) remove_conn(id);
  }
}

// One step of a connection that lives on; returns the update flags of its record.
uint32_t World::evolve_conn(Conn &c) {
  uint32_t flags = CONN_SPEED;
  c.xfer[0] += per_step(c.speed[0]);
  c.xfer[1] += per_step(c.speed[1]);
  c.speed[0] = c.speed[0] / 2 + rng_.below(c.speed[0] + 1000);
  c.speed[1] = c.speed[1] / 2 + rng_.below(c.speed[1] + 1000);
  if (!(c.engineflags & ENGINE_ESTABLISHED) && rng_.chance(40)) {
    c.engineflags |= ENGINE_ESTABLISHED;
    flags |= CONN_ENGINE_FLAGS;
  }
  if (rng_.chance(5)) {
    c.deepscan.push_back((uint16_t)(200 + rng_.below(800)));
    flags |= CONN_DEEPSCAN;
  }
  if (rng_.chance(5)) {
    c.shaping_prio = (uint8_t)rng_.below(8);
    flags |= CONN_SHAPING;
  }
  if (c.server_hostname.empty() && rng_.chance(10)) {
    c.server_hostname = "late-" + std::to_string(c.server) + ".example";
    flags |= CONN_HOSTNAME;
  }
  if (rng_.chance(3)) {
    c.xfbflags ^= 1u << rng_.below(8);
    flags |= CONN_XFB_FLAGS;
  }
  if (rng_.chance(3)) {
    c.stat_rules.push_back(0x1000 + rng_.below(64));
    flags |= CONN_STAT_RULES;
  }
  if (c.service == 2 && rng_.chance(5)) {
    c.service = 8;  // reclassified: https turned out to be quic
    flags |= CONN_SERVICE;
  }
  if (rng_.chance(3)) {
    ScRow r;
    r.schema = 5;
    r.data = std::string("\0\0\0\0", 4) + std::to_string(c.xfer[0]);
    add_row(c, r);
    flags |= CONN_ROWS;
  }
  // blocks the client reads past, and bits without data
  static const uint32_t extras[] = {CONN_OPTIONS, CONN_STRINGS,      CONN_COUNTERS, CONN_SHAPING_BYTES,
                                    CONN_TIMES,   CONN_ROUTING,      CONN_MARKS,    CONN_TOTALS,
                                    CONN_BLOBS,   CONN_NO_DATA_LOW,  CONN_NO_DATA_HIGH};
  if (rng_.chance(15)) flags |= extras[rng_.below(sizeof extras / sizeof extras[0])];
  return flags;
}

void World::remove_host(uint32_t id) {
  auto it = hosts.find(id);
  std::vector<uint32_t> &pool = pool_[it->second.addr.v6][it->second.kind == "workstation"];
  pool.erase(std::lower_bound(pool.begin(), pool.end(), id));
  changes_.removed_hosts.push_back(id);
  changes_.host_updates.erase(id);
  by_id_.erase(id);
  hosts.erase(it);
}

// Hosts come and go around the --hosts population: a new one arrives now and
// then while there are fewer than 110% of it (often below 90%), one without
// connections leaves now and then while there are more than 90% of it, and a
// host without connections for kIdleTicks steps leaves in any case. Hosts
// also change their network objects.
void World::churn_hosts() {
  const size_t high = target_hosts_ + target_hosts_ / 10, low = target_hosts_ - target_hosts_ / 10;
  if (hosts.size() < high && rng_.chance(hosts.size() < low ? 50 : 15)) {
    add_host(rng_.chance(50));
    changes_.new_hosts.push_back(next_host_ - 1);
  }
  recount_hosts();
  std::vector<uint32_t> idle, aged;
  for (auto &kv : hosts) {
    Host &h = kv.second;
    h.idle_ticks = h.connections[0] + h.connections[1] ? 0 : h.idle_ticks + 1;
    // A host that arrived in this step stays for at least one.
    if (h.idle_ticks >= kIdleTicks) aged.push_back(kv.first);
    else if (h.idle_ticks > 1) idle.push_back(kv.first);
  }
  for (uint32_t id : aged) remove_host(id);
  if (hosts.size() > low && !idle.empty() && rng_.chance(15)) remove_host(idle[rng_.below((uint32_t)idle.size())]);
  if (rng_.chance(20) && !hosts.empty()) {
    auto it = hosts.begin();
    std::advance(it, rng_.below((uint32_t)hosts.size()));
    Host &h = it->second;
    if (std::find(changes_.new_hosts.begin(), changes_.new_hosts.end(), h.id) == changes_.new_hosts.end()) {
      if (h.netobjects.size() > 1) h.netobjects.pop_back();
      else h.netobjects.push_back(7);  // joined the VPN
      changes_.host_updates[h.id] |= HOST_NETOBJECTS;
    }
  }
}

void World::tick_shaping() {
  for (ShapingObject &o : shaping) {
    o.connections = rng_.below(50);
    for (ShapingCounters &d : o.dir) {
      uint64_t bytes = rng_.below(2000000), pkts = bytes / 700;  // per second
      d.rx_bytes += per_step(bytes);
      d.congested_bytes += per_step(bytes / 10);
      d.rx_rate = bytes;
      d.congested_rate = bytes / 10;
      d.rx_packets += per_step(pkts);
      d.congested_packets += per_step(pkts / 10);
      d.rx_pps = pkts;
      d.congested_pps = pkts / 10;
      uint64_t drops = rng_.below(20);
      d.total_drops += per_step(drops);
      d.drops_per_s = drops;
      d.total_marks += per_step(rng_.below(5));
      d.avg_latency = 1000 + rng_.below(4000);
      d.max_latency = d.avg_latency + rng_.below(20000);
      d.avg_queue = rng_.below(100);
      d.max_queue = d.avg_queue + rng_.below(100);
    }
  }
}

void World::tick_channels() {
  for (Channel &ch : channels) {
    if (!ch.active) continue;
    for (uint32_t s = 0; s < 3; s++) {
      for (uint32_t side = 0; side < 2; side++) {
        uint64_t rate = rng_.below(s == CHAN_BYTES ? 100000000 : 100000);
        uint64_t &low = ch.stat[s][CHAN_RATE_MIN][side];
        ch.stat[s][CHAN_TOTAL][side] += per_step(rate);
        ch.stat[s][CHAN_RATE][side] = rate;
        low = low ? std::min(low, rate) : rate;
        ch.stat[s][CHAN_RATE_MAX][side] = std::max(ch.stat[s][CHAN_RATE_MAX][side], rate);
        ch.last[s][CHAN_LAST_MIN][side] = (uint32_t)(rate / 2);
        ch.last[s][CHAN_LAST_MAX][side] = (uint32_t)std::min<uint64_t>(rate * 2, 0xffffffffu);
      }
    }
    ch.media_time[0] = ch.media_time[1] = now_ - 1000;
  }
}

void World::tick() {
  changes_ = Changes();
  elapsed_ms_ += step_ms_;
  now_ = kEpoch + (uint32_t)(elapsed_ms_ / 1000);
  for (FwRule &r : fwrules) r.hits_rate = 0;
  churn_conns();
  for (FwRule &r : fwrules) r.hits_rate = per_second(r.hits_rate);
  std::set<uint32_t> fresh(changes_.new_conns.begin(), changes_.new_conns.end());
  for (auto &kv : conns)
    if (!fresh.count(kv.first)) changes_.conn_updates[kv.first] = evolve_conn(kv.second);
  churn_hosts();
  tick_shaping();
  tick_channels();
  for (size_t i = 0; i < sysdiag.size(); i++) sysdiag[i] += i * 3 + rng_.below(100);
  sysdiag[0] = now_;
  sysdiag[1] = hosts.size();
  sysdiag[2] = conns.size();
}

}  // namespace sim
