// kxd-sim: the synthetic network the simulator serves. Deterministic for a
// given seed: the same seed and the same number of ticks give the same tables.
#ifndef KXD_SIM_WORLD_H
#define KXD_SIM_WORLD_H

#include <signal.h>
#include <stdint.h>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "proto.h"

namespace sim {

class Rng {
 public:
  // The seed is mixed first: with a plain start state, neighbouring seeds
  // would give the same sequence one step apart.
  explicit Rng(uint64_t seed) : s_(seed ^ 0x632BE59BD9B4E019ull) { s_ = next() ^ seed; }
  uint64_t next();
  uint32_t below(uint32_t n) { return n ? (uint32_t)(next() % n) : 0; }
  bool chance(uint32_t percent) { return below(100) < percent; }

 private:
  uint64_t s_;
};

struct Host {
  uint32_t id = 0;
  std::vector<uint32_t> netobjects;
  Addr addr;
  std::string name;
  int64_t speed[2] = {0, 0};      // bytes/s received, sent
  uint32_t connections[2] = {0, 0};  // as client, as server
  uint32_t cps[2] = {0, 0};
  uint32_t quality[6] = {0, 0, 0, 0, 0, 0};  // packets in/out, then internal/external issues interleaved
  uint32_t l4errors = 0;
  uint32_t details[19] = {};
  std::string kind;
  uint32_t idle_ticks = 0;  // steps in a row without a connection
};

struct ServiceDef {
  uint16_t id;
  const char *name;
  uint8_t proto;
  uint16_t port;
  uint8_t schema;  // session-context schema its connections carry, 0 for none
};

struct Conn {
  uint32_t id = 0;
  uint8_t proto = 6;
  Addr caddr, saddr;
  uint16_t cport = 0, sport = 0;
  uint32_t client = 0, server = 0;  // host ids
  uint32_t start = 0;
  uint16_t service = 0, base_service = 0;
  uint32_t engineflags = 0, xfbflags = 0;
  std::vector<uint16_t> deepscan;
  uint8_t shaping_prio = 0;
  std::vector<uint32_t> shaping_rules, stat_rules;
  std::string server_hostname;
  uint32_t speed[2] = {0, 0};
  uint64_t xfer[2] = {0, 0};
  std::vector<uint64_t> sc_rows;
  bool nat = false;
  uint32_t fwrule = 0;
};

struct ScRow {
  uint8_t schema = 0;
  std::string data;
};

// The counters of one direction of a shaping object.
struct ShapingCounters {
  uint64_t rx_bytes = 0, congested_bytes = 0;
  uint64_t rx_rate = 0, congested_rate = 0;  // bytes/s
  uint64_t rx_packets = 0, congested_packets = 0;
  uint64_t rx_pps = 0, congested_pps = 0;
  uint64_t total_drops = 0, drops_per_s = 0, total_marks = 0;
  uint64_t avg_latency = 0, max_latency = 0;
  uint64_t avg_queue = 0, max_queue = 0;
};

struct ShapingObject {
  uint32_t id;
  std::string name;
  uint32_t copies = 1, connections = 0;
  ShapingCounters dir[2];  // in, out
};

struct FwRule {
  uint32_t id;
  std::string name;
  uint8_t proto;   // 0 any
  uint16_t port;   // 0 any
  bool log;
  uint64_t hits = 0, hits_rate = 0;
};

struct FwLogEntry {
  uint64_t seq;
  uint32_t time;
  Addr client, server;
  uint16_t cport, sport;
  uint8_t proto;
  std::string clienthost, serverhost, service, rule, properties;
  bool has_properties;
};

// The statistics of a channel, and what is kept of each, in wire order.
enum ChannelStat { CHAN_BYTES, CHAN_PACKETS, CHAN_DROPS };
enum ChannelValue { CHAN_TOTAL, CHAN_RATE, CHAN_RATE_MIN, CHAN_RATE_MAX };
enum ChannelLast { CHAN_LAST_MIN, CHAN_LAST_MAX };

struct Channel {
  uint32_t id;
  uint8_t type;
  bool active;
  std::string name;
  uint8_t media[4];
  uint32_t media_time[2];
  // per statistic (ChannelStat), per side: the ChannelValue entries as u64,
  // the ChannelLast entries as u32
  uint64_t stat[3][4][2] = {};
  uint32_t last[3][2][2] = {};
};

// What one tick changed, for the encoders.
struct Changes {
  std::vector<uint32_t> new_hosts, removed_hosts;
  std::map<uint32_t, uint16_t> host_updates;  // host id -> update mask
  std::vector<uint32_t> new_conns;
  std::map<uint32_t, uint32_t> conn_updates;  // conn id -> update flags (no creation, no removal)
  std::vector<uint32_t> removed_conns;        // ids; the records are in removed_conn_records
  std::map<uint32_t, Conn> removed_conn_records;
  std::vector<uint64_t> new_rows, removed_rows;
  bool fw_changed = false;
};

class World {
 public:
  // Builds the network; a set *stop (a signal's flag) cuts the building
  // short, leaving a network fit only to be thrown away. A step is step_ms
  // of network time: counters grow by their rates times that, the clock
  // moves on by it, and a rate counted per step (connections opened, rule
  // hits) is given per second. The network as built is one second's.
  World(uint64_t seed, uint32_t hosts, uint32_t conns, uint32_t step_ms = 1000,
        const volatile sig_atomic_t *stop = nullptr);
  World(const World &) = delete;  // its index points into its own tables
  World &operator=(const World &) = delete;

  // A host without connections for this many steps leaves the network.
  static constexpr uint32_t kIdleTicks = 100;
  static constexpr size_t kFwLogSize = 500;

  void tick();  // advances one step of network time; fills last()
  const Changes &last() const { return changes_; }
  uint32_t now() const { return now_; }

  std::map<uint32_t, Host> hosts;
  std::map<uint32_t, Conn> conns;
  std::map<uint64_t, ScRow> rows;
  std::vector<ShapingObject> shaping;
  std::vector<FwRule> fwrules;
  std::deque<FwLogEntry> fwlog;  // the latest kFwLogSize entries
  std::vector<Channel> channels;
  std::vector<uint64_t> sysdiag;

  static const std::vector<ServiceDef> &services();
  static const ServiceDef *service(uint16_t id);
  static const std::vector<std::string> &netobject_names();  // index = id - 1
  uint64_t fwlog_next_seq() const { return fwlog_seq_; }
  void fwlog_clear() { fwlog.clear(); }

 private:
  // What a rate in units per second adds to its counter in one step.
  uint64_t per_step(uint64_t rate) const { return (rate * step_ms_ + 500) / 1000; }
  // A count of one step as a rate per second.
  uint32_t per_second(uint64_t count) const { return (uint32_t)(count * 1000 / step_ms_); }
  void add_host(bool local);
  Host make_host(uint32_t id, bool local);
  uint32_t add_conn();
  void remove_conn(uint32_t id);
  void recount_hosts();
  void log_conn(const Conn &c, const FwRule &r);
  void add_row(Conn &c, const ScRow &r);
  void match_fwrules(Conn &c);
  void churn_conns();
  uint32_t evolve_conn(Conn &c);
  void churn_hosts();
  void remove_host(uint32_t id);
  void tick_shaping();
  void tick_channels();

  // Host ids by address family and side ([v6][local]) in id order: a new
  // connection picks its ends from these instead of scanning every host.
  std::vector<uint32_t> pool_[2][2];
  // Every host by id: a lookup in `hosts` costs a cache miss per level.
  std::unordered_map<uint32_t, Host *> by_id_;
  Host *host(uint32_t id) const {
    auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : it->second;
  }
  Rng rng_;
  static constexpr uint32_t kEpoch = 1700000000;  // the clock when the network is built
  uint32_t now_ = kEpoch;
  uint64_t elapsed_ms_ = 0;  // network time since then
  uint32_t step_ms_ = 1000;  // a second while the network is built, then the step's
  uint32_t next_host_ = 1, next_conn_ = 1000;
  uint64_t next_row_ = (1ull << 40) + 1;
  uint64_t fwlog_seq_ = 1;
  uint32_t target_hosts_, target_conns_;
  Changes changes_;
};

}  // namespace sim

#endif
