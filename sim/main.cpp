// kxd-sim: a simulated appliance daemon for the management protocol. It
// listens on 127.0.0.1 only, serves any number of clients from one poll loop
// and streams a synthetic, seeded network to them.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "kx_msg.h"
#include "kx_ringbuf.h"
#include "dump.h"
#include "replay.h"
#include "session.h"

using namespace sim;

namespace {

constexpr uint32_t kInBufSize = 1u << 20;
constexpr uint32_t kOutBufSize = 64u << 20;  // a slow reader is dropped beyond this

volatile sig_atomic_t g_stop = 0, g_dump = 0;
int g_wake[2] = {-1, -1};

void on_signal(int sig) {
  if (sig == SIGUSR1) g_dump = 1;
  else g_stop = 1;
  int saved = errno;
  if (write(g_wake[1], "x", 1) < 0) {
  }
  errno = saved;
}

struct Options {
  uint16_t port = 7830;
  uint32_t hosts = 60, conns = 0, interval_ms = 150, ticks = 0;
  uint64_t seed = 1;
  std::string dump_file;
  bool quiet = false;
  Settings settings;
  std::string replay_file;
  bool fast = false;
};

void usage(FILE *f) {
  fprintf(f,
          "usage: kxd-sim [--port N] [--hosts N] [--conns N] [--seed N] [--interval MS] [--ticks N]\n"
          "               [--user NAME] [--password TEXT] [--dump-state FILE] [--quiet]\n"
          "       kxd-sim --replay FILE [--fast] [--port N] [--quiet]\n"
          "  --port 0 picks a free port; the first line on stdout names it.\n"
          "  --ticks N stops the network changing after N steps (0: never).\n"
          "  --dump-state FILE writes the tables as JSON on SIGUSR1 and at exit.\n"
          "  --replay FILE serves the daemon's side of a recorded session (pcapng) to each\n"
          "    client in turn, at the recorded pace or with --fast as fast as possible.\n");
}

bool parse_number(const char *text, uint64_t max, uint64_t *out) {
  char *end;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 0);
  if (errno || *end || end == text || v > max || text[0] == '-') return false;
  *out = v;
  return true;
}

bool parse_options(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      exit(0);
    }
    if (a == "--quiet" || a == "-q") {
      o->quiet = true;
      continue;
    }
    if (a == "--fast") {
      o->fast = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char *v = argv[++i];
    uint64_t n = 0;
    if (a == "--user") o->settings.user = v;
    else if (a == "--password") o->settings.password = v;
    else if (a == "--dump-state") o->dump_file = v;
    else if (a == "--replay") o->replay_file = v;
    else if (!parse_number(v, a == "--seed" ? UINT64_MAX : 0xffffffffu, &n)) return false;
    else if (a == "--port" && n <= 65535) o->port = (uint16_t)n;
    else if (a == "--hosts" && n >= 10 && n <= 100000) o->hosts = (uint32_t)n;
    else if (a == "--conns" && n <= 1000000) o->conns = (uint32_t)n;
    else if (a == "--seed") o->seed = n;
    else if (a == "--interval" && n >= 10) o->interval_ms = (uint32_t)n;
    else if (a == "--ticks") o->ticks = (uint32_t)n;
    else return false;
  }
  if (!o->conns) o->conns = o->hosts * 2;
  return !o->fast || !o->replay_file.empty();
}

uint64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

struct Client {
  Client(int fd, const std::string &peer, const Settings &settings, World &world)
      : session(new Session(fd, peer, settings, world)), in(kx_ringbuf_new(kInBufSize)), out(kx_ringbuf_new(kOutBufSize)) {}
  ~Client() {
    close(session->fd);
    kx_ringbuf_destroy(in);
    kx_ringbuf_destroy(out);
  }
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;
  std::unique_ptr<Session> session;
  kx_ringbuf_t *in, *out;
  bool dead = false;
};

class Server {
 public:
  Server(const Options &o) : opt_(o), world_(o.seed, o.hosts, o.conns) {}
  bool listen_on(uint16_t port);
  void run();
  bool dump(const std::string &file) const;

 private:
  void accept_clients();
  void read_client(Client &c);
  void send(Client &c, Msgs &msgs);
  void flush(Client &c);
  void drop(Client &c, const char *why);

  const Options &opt_;
  World world_;
  int listen_fd_ = -1;
  std::vector<std::unique_ptr<Client>> clients_;
  uint32_t ticks_ = 0;
};

bool Server::listen_on(uint16_t port) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return false;
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listen_fd_, (struct sockaddr *)&sa, sizeof sa) < 0 || listen(listen_fd_, 64) < 0) return false;
  socklen_t len = sizeof sa;
  getsockname(listen_fd_, (struct sockaddr *)&sa, &len);
  printf("listening on 127.0.0.1:%u\n", ntohs(sa.sin_port));
  fflush(stdout);
  return true;
}

void Server::accept_clients() {
  for (;;) {
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    int fd = accept4(listen_fd_, (struct sockaddr *)&sa, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char peer[64];
    snprintf(peer, sizeof peer, "127.0.0.1:%u", ntohs(sa.sin_port));
    auto c = std::make_unique<Client>(fd, peer, opt_.settings, world_);
    KX_LOG(kLogFacility, KX_LOG_INFO, "%s: connected", peer);
    Msgs msgs;
    c->session->greet(msgs);
    send(*c, msgs);
    clients_.push_back(std::move(c));
  }
}

void Server::drop(Client &c, const char *why) {
  if (c.dead) return;
  KX_LOG(kLogFacility, KX_LOG_INFO, "%s: dropped (%s)", c.session->peer.c_str(), why);
  c.dead = true;
}

// Queues the messages (and frees them); a client whose queue is full is dropped.
void Server::send(Client &c, Msgs &msgs) {
  for (kx_msg_t *m : msgs) {
    if (!c.dead && !kx_msg_write_to_ringbuf(c.out, m)) drop(c, "not reading its messages");
    kx_msg_free(m);
  }
  msgs.clear();
  flush(c);
}

void Server::flush(Client &c) {
  while (!c.dead && kx_ringbuf_used(c.out) > 0) {
    uint32_t n = kx_ringbuf_used(c.out);
    int w = kx_ringbuf_write_fd(c.out, c.session->fd, n < 262144 ? n : 262144);
    if (w > 0) continue;
    if (w < 0 && -w != EAGAIN && -w != EWOULDBLOCK && -w != EINTR) drop(c, strerror(-w));
    return;
  }
  if (!c.dead && c.session->closing && kx_ringbuf_used(c.out) == 0) drop(c, "login refused");
}

void Server::read_client(Client &c) {
  int r = kx_ringbuf_read_fd(c.in, c.session->fd);
  if (r == 0) {
    drop(c, kx_ringbuf_used(c.in) ? "closed in the middle of a message" : "closed");
    return;
  }
  if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    drop(c, strerror(errno));
    return;
  }
  Msgs replies;
  for (;;) {
    uint8_t broken = 0;
    kx_msg_t *m = kx_msg_read_from_ringbuf_ex(c.in, &broken);
    if (broken) {
      drop(c, "broken message header");
      if (m) kx_msg_free(m);
      break;
    }
    if (!m) break;
    c.session->handle(m, replies);
    kx_msg_free(m);
  }
  send(c, replies);
}

bool Server::dump(const std::string &file) const {
  std::string o = "{\"seed\": " + std::to_string(opt_.seed) + ", \"ticks\": " + std::to_string(ticks_) +
                  ", \"now\": " + std::to_string(world_.now()) + ",\n";
  o += world_dump_json(world_);
  o += ",\n\"sessions\": [";
  bool first = true;
  for (const auto &c : clients_) {
    if (c->dead) continue;
    o += std::string(first ? "" : ",\n") + c->session->dump_json();
    first = false;
  }
  o += "]}\n";
  std::string tmp = file + ".tmp";
  FILE *f = fopen(tmp.c_str(), "w");
  if (!f) return false;
  bool ok = fwrite(o.data(), 1, o.size(), f) == o.size();
  ok = fclose(f) == 0 && ok;
  ok = ok && rename(tmp.c_str(), file.c_str()) == 0;
  KX_LOG(kLogFacility, KX_LOG_INFO, "state %s %s", ok ? "written to" : "could not be written to", file.c_str());
  return ok;
}

void Server::run() {
  uint64_t next_tick = now_ms() + opt_.interval_ms;
  bool frozen = false;
  while (!g_stop) {
    std::vector<struct pollfd> pfds;
    pfds.push_back({g_wake[0], POLLIN, 0});
    pfds.push_back({listen_fd_, POLLIN, 0});
    for (const auto &c : clients_) {
      short ev = c->session->closing ? 0 : POLLIN;
      if (kx_ringbuf_used(c->out)) ev |= POLLOUT;
      pfds.push_back({c->session->fd, ev, 0});
    }
    uint64_t t = now_ms();
    int timeout = frozen ? -1 : (int)(next_tick > t ? next_tick - t : 0);
    int n = poll(pfds.data(), pfds.size(), timeout);
    if (n < 0 && errno != EINTR) {
      perror("poll");
      break;
    }
    if (n > 0 && (pfds[0].revents & POLLIN)) {
      char buf[16];
      while (read(g_wake[0], buf, sizeof buf) > 0) {
      }
    }
    if (g_dump) {
      g_dump = 0;
      if (!opt_.dump_file.empty()) dump(opt_.dump_file);
    }
    if (n > 0) {
      for (size_t i = 0; i < clients_.size(); i++) {
        short re = pfds[i + 2].revents;
        Client &c = *clients_[i];
        if (re & (POLLIN | POLLHUP | POLLERR)) read_client(c);
        if (re & POLLOUT) flush(c);
      }
      if (pfds[1].revents & POLLIN) accept_clients();
    }
    if (!frozen && now_ms() >= next_tick) {
      world_.tick();
      ticks_++;
      next_tick += opt_.interval_ms;
      if (next_tick < now_ms()) next_tick = now_ms() + opt_.interval_ms;
      for (auto &c : clients_) {
        if (c->dead || c->session->closing) continue;
        Msgs msgs;
        c->session->tick(msgs);
        send(*c, msgs);
      }
      if (opt_.ticks && ticks_ >= opt_.ticks) {
        frozen = true;
        printf("frozen after %u ticks\n", ticks_);
        fflush(stdout);
      }
    }
    for (size_t i = 0; i < clients_.size();) {
      if (!clients_[i]->dead) {
        i++;
        continue;
      }
      clients_.erase(clients_.begin() + (long)i);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  if (!parse_options(argc, argv, &opt)) {
    usage(stderr);
    return 2;
  }
  kx_log_print_level = opt.quiet ? KX_LOG_WARNING : KX_LOG_INFO;
  kx_msg_pool_init();
  if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) < 0) {
    perror("pipe");
    return 1;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int rc = 0;
  if (!opt.replay_file.empty()) {
    ReplayOptions ro;
    ro.file = opt.replay_file;
    ro.fast = opt.fast;
    ro.port = opt.port;
    rc = run_replay(ro, &g_stop, g_wake[0]);
  } else {
    Server server(opt);
    if (!server.listen_on(opt.port)) {
      fprintf(stderr, "kxd-sim: cannot listen on 127.0.0.1:%u: %s\n", opt.port, strerror(errno));
      return 1;
    }
    server.run();
    if (!opt.dump_file.empty() && !server.dump(opt.dump_file)) rc = 1;
  }
  kx_msg_pool_deinit();
  KX_LOG(kLogFacility, KX_LOG_INFO, "stopped");
  return rc;
}
