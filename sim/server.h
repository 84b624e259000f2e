// kxd-sim: the poll loop. It accepts clients on 127.0.0.1, moves their bytes
// through one ring buffer each way, hands every complete frame to the
// client's session and advances the world on a timer.
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
  uint64_t seed = 1;
  std::string dump_file;
  bool quiet = false;
  Settings settings;
};

// A non-blocking listening socket on 127.0.0.1 (port 0 picks a free one); the
// line "listening on 127.0.0.1:PORT" goes to stdout. -1 on failure, errno set.
int listen_loopback(uint16_t port);
// Accepts one waiting client (non-blocking, no Nagle delay) and names it in
// *peer; -1 when none is waiting.
int accept_client(int listen_fd, std::string *peer);

// One connected client: its socket, its byte queues and its session.
struct Client {
  static constexpr uint32_t kInBufSize = 1u << 20;
  static constexpr uint32_t kOutBufSize = 64u << 20;  // a slow reader is dropped beyond this

  Client(int fd, const std::string &peer, const Settings &settings, World &world);
  ~Client();
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  const std::string &peer() const { return session.peer(); }

  const int fd;
  Session session;
  kx_ringbuf_t *const in, *const out;
  bool dead = false;
};

class Server {
 public:
  explicit Server(const Options &o) : opt_(o), world_(o.seed, o.hosts, o.conns) {}
  bool listen_on(uint16_t port);
  // Runs until *stop is set; a set *dump writes the state file.
  void run(volatile sig_atomic_t *stop, volatile sig_atomic_t *dump_now, int wake_fd);
  bool dump(const std::string &file) const;

 private:
  void accept_clients();
  std::vector<struct pollfd> poll_set(int wake_fd) const;
  void serve(const std::vector<struct pollfd> &pfds);
  void tick();
  void read_client(Client &c);
  void handle_frame(Client &c, kx_msg_t *m, Msgs &replies);
  void send(Client &c, Msgs &msgs);
  void flush(Client &c);
  void drop(Client &c, const char *why);
  void remove_dead();

  const Options &opt_;
  World world_;
  int listen_fd_ = -1;
  std::vector<std::unique_ptr<Client>> clients_;
  uint32_t ticks_ = 0;
  bool frozen_ = false;
  uint64_t next_tick_ = 0;  // monotonic milliseconds
};

}  // namespace sim

#endif
