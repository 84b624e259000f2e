// kxd-sim: the poll loop. It accepts clients on 127.0.0.1 (up to a limit),
// moves their bytes through one ring buffer each way, hands complete frames to
// the client's session (a share per turn, none while the client's unread
// replies are above the bound) and advances the world on a timer.
#ifndef KXD_SIM_SERVER_H
#define KXD_SIM_SERVER_H

#include <poll.h>
#include <signal.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "kx_ringbuf.h"
#include "session.h"

namespace sim {

struct Options {
  uint16_t port = 7830;
  uint32_t hosts = 60, conns = 0, interval_ms = 150, ticks = 0;
  uint32_t speedup = 1;            // steps taken each interval
  uint32_t max_clients = 256;      // per appliance
  uint32_t appliances = 1;         // appliances served, on consecutive ports from `port`
  uint32_t max_output = 4u << 20;  // queued bytes above which a client's requests wait
  uint32_t max_stall_s = 30;       // seconds a client may stay above max_output without reading
  bool flood = false;              // steps as fast as the clients read, not every interval_ms
  bool stagger = false;            // a fleet's appliances step at even offsets within interval_ms
  uint64_t seed = 1;
  std::string dump_file;
  bool quiet = false;
  Settings settings;
  std::string replay_file;  // serve this recorded session instead of the network (replay.h)
  bool replay_fast = false;
  uint32_t replay_timeout_s = 10;  // a replay waits this long for a client's next request
};

// A non-blocking listening socket on 127.0.0.1 (port 0 picks a free one),
// its port in *bound. -1 on failure, errno set.
int listen_loopback(uint16_t port, uint16_t *bound);

// One connected client: its socket, its byte queues and its session.
struct Client {
  static constexpr uint32_t kInBufSize = KX_RINGBUF_CHUNK_SIZE;  // a frame is at most 32 KiB and a header
  // A client that stops reading is dropped when its queue would pass this:
  // its requests wait above Options::max_output, but the live stream goes on.
  static constexpr uint32_t kOutBufSize = 64u << 20;
  static constexpr uint32_t kMaxOutputLimit = kOutBufSize / 2;  // the largest max_output
  // With --flood, a step is taken while every client has less than this queued.
  static constexpr uint32_t kFloodLowWater = 256u << 10;

  Client(int fd, const std::string &peer, const Settings &settings, World &world);
  ~Client();
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  const std::string &peer() const { return session.peer(); }

  const int fd;
  Session session;
  kx_ringbuf_t *const in, *const out;
  bool dead = false;
  bool backlog = false;  // frames may wait in `in`: answering stopped before they ran out
  uint64_t progress_ms;  // when its socket last took bytes or its queue was last below the bound
};

// One simulated appliance: its listening socket, its clients and its network.
// Several run from one poll loop (run_servers), each on its own port with
// its own seed.
class Server {
 public:
  // Appliance `index` of the fleet: seed --seed + index. A lone appliance
  // builds its network at once; one of a fleet when its first client
  // connects, so that an appliance nobody uses costs a socket and little more.
  // A set *stop (the signal's flag) cuts building and stepping short.
  Server(const Options &o, uint32_t index, const volatile sig_atomic_t *stop);
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Takes over a listening socket (listen_loopback).
  void listen_on(int fd, uint16_t port);
  uint16_t port() const { return port_; }
  // The state file's object for this appliance (without the braces).
  std::string dump_json() const;

  // The descriptors to watch, appended to `pfds`: the listening socket, then
  // one entry per client in order.
  void poll_set(std::vector<struct pollfd> &pfds, uint64_t now) const;
  // Serves what poll reported on the entries poll_set appended at `pfds`.
  void serve(const struct pollfd *pfds);
  // Milliseconds poll may wait for this appliance's sake; -1: for ever.
  int poll_timeout(uint64_t now) const;
  // Takes the steps that are due.
  void step(uint64_t now);
  void remove_dead();

 private:
  void build_world();
  void accept_clients();
  void tick();
  // The first step time after `now` on the fleet's common schedule.
  uint64_t next_step_after(uint64_t now) const;
  // Output above the bound: the client's requests wait until it reads.
  bool throttled(const Client &c) const { return kx_ringbuf_used(c.out) >= opt_.max_output; }
  bool ready(const Client &c) const { return c.backlog && !c.dead && !throttled(c); }
  bool flood_ready() const;
  void read_client(Client &c);
  void answer(Client &c);
  void handle_frame(Client &c, kx_msg_t *m, Msgs &replies);
  void finish(Client &c, Msgs &msgs);
  void flush(Client &c);
  void refuse(int fd, const char *peer);
  void drop(Client &c, const char *why);
  void drop_stalled(Client &c, uint64_t now);
  void give_back_memory();

  const Options &opt_;
  const uint64_t seed_;
  const uint64_t phase_ms_;  // this appliance's offset in the fleet's step schedule
  const volatile sig_atomic_t *const stop_;
  std::string name_;  // "127.0.0.1:PORT: " before its log lines in a fleet, else ""
  std::unique_ptr<World> world_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::vector<std::unique_ptr<Client>> clients_;
  uint32_t ticks_ = 0;
  bool frozen_ = false;
  uint64_t accept_paused_ = 0;  // out of descriptors: no accepting until then, a tick or a departure
  bool trim_due_ = false;       // clients left: give their memory back at the next tick
  uint32_t refused_ = 0;        // clients over the limit since the last log line about them
  uint64_t refusal_logged_ = 0;
  uint64_t next_tick_ = 0;  // monotonic milliseconds
};

// Listens for every appliance of the fleet on its port (opt.port onwards; a
// free run of ports when opt.port is 0) and prints "listening on
// 127.0.0.1:PORT" for each, unless *stop was set meanwhile (*stopped then
// says so). False, with errno set, when a port is taken.
bool listen_all(const Options &opt, std::vector<std::unique_ptr<Server>> &servers, const volatile sig_atomic_t *stop,
                bool *stopped);
// Serves the appliances from one poll loop until *stop is set; a set *dump
// writes the state file.
void run_servers(const Options &opt, std::vector<std::unique_ptr<Server>> &servers, volatile sig_atomic_t *stop,
                 volatile sig_atomic_t *dump_now, int wake_fd);
// Writes the state file of the fleet; false, with the reason logged, when it cannot.
bool dump_servers(const Options &opt, const std::vector<std::unique_ptr<Server>> &servers);

}  // namespace sim

#endif
