// kxd-sim: the poll loop and the per-client byte queues.
#include "server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "dump.h"

namespace sim {

namespace {

uint64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// A ring buffer read empty still holds the chunk it ended in; an idle client
// would keep one per buffer. Handing it back lets a few hundred idle clients
// cost next to nothing.
void release_chunks(kx_ringbuf_t *rb) {
  if (kx_ringbuf_used(rb) == 0) kx_ringbuf_clear(rb);
}

// Out of descriptors, an appliance tries to accept again after this long
// (or at its next tick, or when one of its clients leaves).
constexpr uint64_t kAcceptRetryMs = 100;

// Every appliance steps on one schedule, counted from the first network
// built, so that a fleet's steps come in one turn of the loop, not one turn
// each; with --stagger, appliance i of N steps i/N of an interval after it,
// as a real fleet's appliances, each on its own clock, would.
uint64_t step_epoch() {
  static const uint64_t epoch = now_ms();
  return epoch;
}

// Bytes handed to the socket per write call.
constexpr uint32_t kWriteChunk = 262144;

// A client's share of one turn of the loop: frames answered and bytes of
// replies queued. What is left waits for the next turn, so a client with a
// deep backlog cannot hold up the others.
constexpr uint32_t kFramesPerTurn = 64;
constexpr uint32_t kOutputPerTurn = 256u << 10;

}  // namespace

Client::Client(int fd_, const std::string &peer, const Settings &settings, World &world)
    : fd(fd_),
      session(peer, settings, world),
      in(kx_ringbuf_new(kInBufSize)),
      out(kx_ringbuf_new(kOutBufSize)),
      progress_ms(now_ms()) {}

Client::~Client() {
  close(fd);
  kx_ringbuf_destroy(in);
  kx_ringbuf_destroy(out);
}

int listen_loopback(uint16_t port, uint16_t *bound) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(fd, (struct sockaddr *)&sa, sizeof sa) < 0 || listen(fd, 64) < 0 ||
      getsockname(fd, (struct sockaddr *)&sa, &len) < 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  *bound = ntohs(sa.sin_port);
  return fd;
}

namespace {

// Binds `n` consecutive ports from `first` into `fds`. With `first` 0 the
// run starts at a port the system picks and moves past every port found
// taken (round to port 1024 once at the top). False, with errno set and
// nothing left open, when no run can be bound.
bool bind_run(uint16_t first, uint32_t n, std::vector<int> &fds, std::vector<uint16_t> &ports) {
  uint32_t start = first;
  fds.clear();
  ports.clear();
  if (!first) {
    uint16_t bound = 0;
    int fd = listen_loopback(0, &bound);
    if (fd < 0) return false;
    fds.push_back(fd);
    ports.push_back(bound);
    start = bound;
  }
  bool wrapped = false;
  while (fds.size() < n) {
    uint32_t port = start + (uint32_t)fds.size();
    uint16_t bound = 0;
    int fd = port <= 65535 ? listen_loopback((uint16_t)port, &bound) : -1;
    if (fd >= 0) {
      fds.push_back(fd);
      ports.push_back(bound);
      continue;
    }
    int saved = port <= 65535 ? errno : EADDRINUSE;
    for (int f : fds) close(f);
    fds.clear();
    ports.clear();
    if (first || saved != EADDRINUSE) {
      errno = saved;
      return false;
    }
    start = port + 1;
    if (start + n > 65536) {
      if (wrapped) {
        errno = EADDRINUSE;
        return false;
      }
      wrapped = true;
      start = 1024;
    }
  }
  return true;
}

}  // namespace

bool listen_all(const Options &opt, std::vector<std::unique_ptr<Server>> &servers, const volatile sig_atomic_t *stop,
                bool *stopped) {
  std::vector<int> fds;
  std::vector<uint16_t> ports;
  if (!bind_run(opt.port, opt.appliances, fds, ports)) return false;
  for (uint32_t i = 0; i < opt.appliances; i++) {
    servers.push_back(std::make_unique<Server>(opt, i, stop));
    servers.back()->listen_on(fds[i], ports[i]);
  }
  *stopped = *stop;
  if (*stopped) return true;  // stopped while building: the network is not served
  for (uint16_t port : ports) printf("listening on 127.0.0.1:%u\n", port);
  fflush(stdout);
  return true;
}

Server::Server(const Options &o, uint32_t index, const volatile sig_atomic_t *stop)
    : opt_(o),
      seed_(o.seed + index),
      phase_ms_(o.stagger ? uint64_t(o.interval_ms) * index / o.appliances : 0),
      stop_(stop) {
  if (o.appliances == 1) build_world();
}

void Server::listen_on(int fd, uint16_t port) {
  listen_fd_ = fd;
  port_ = port;
  if (opt_.appliances > 1) name_ = "127.0.0.1:" + std::to_string(port) + ": ";
}

Server::~Server() {
  clients_.clear();
  if (listen_fd_ >= 0) close(listen_fd_);
}

void Server::build_world() {
  world_ = std::make_unique<World>(seed_, opt_.hosts, opt_.conns, opt_.interval_ms, stop_);
  next_tick_ = next_step_after(now_ms());
}

uint64_t Server::next_step_after(uint64_t now) const {
  const uint64_t epoch = step_epoch() + phase_ms_;
  if (now < epoch) return epoch;
  return epoch + ((now - epoch) / opt_.interval_ms + 1) * opt_.interval_ms;
}

void Server::accept_clients() {
  for (;;) {
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    int fd = accept4(listen_fd_, (struct sockaddr *)&sa, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) {
        log_line(KX_LOG_WARNING, "%scannot accept a client: %s", name_.c_str(), strerror(errno));
        accept_paused_ = now_ms() + kAcceptRetryMs;
      }
      return;
    }
    char peer[96];
    snprintf(peer, sizeof peer, "%s127.0.0.1:%u", name_.c_str(), ntohs(sa.sin_port));
    if (clients_.size() >= opt_.max_clients) {
      refuse(fd, peer);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!world_) build_world();
    auto c = std::make_unique<Client>(fd, peer, opt_.settings, *world_);
    log_line(KX_LOG_INFO, "%s: connected", peer);
    Msgs msgs(c->out);
    c->session.greet(msgs);
    finish(*c, msgs);
    clients_.push_back(std::move(c));
  }
}

// Closes a client over the limit. The log says so at most once a second, with
// the number refused since its last line, so a storm of connections is not
// also a storm of log lines.
void Server::refuse(int fd, const char *peer) {
  close(fd);
  refused_++;
  const uint64_t t = now_ms();
  if (refusal_logged_ && t < refusal_logged_ + 1000) return;
  log_line(KX_LOG_WARNING,
           "%s: refused: %u clients connected already (--max-clients); %u refused since the last such line", peer,
           opt_.max_clients, refused_);
  refused_ = 0;
  refusal_logged_ = t;
}

void Server::drop(Client &c, const char *why) {
  if (c.dead) return;
  log_line(KX_LOG_INFO, "%s: dropped (%s)", c.peer().c_str(), why);
  c.dead = true;
}

// Queues the last message and sends what the socket takes; a client whose
// queue is full is dropped.
void Server::finish(Client &c, Msgs &msgs) {
  msgs.flush();
  if (msgs.overflowed()) drop(c, "not reading its messages");
  flush(c);
}

void Server::flush(Client &c) {
  while (!c.dead && kx_ringbuf_used(c.out) > 0) {
    uint32_t n = kx_ringbuf_used(c.out);
    int w = kx_ringbuf_write_fd(c.out, c.fd, n < kWriteChunk ? n : kWriteChunk);
    if (w > 0) {
      c.progress_ms = now_ms();
      continue;
    }
    if (w < 0 && !would_block(-w)) drop(c, strerror(-w));
    return;
  }
  release_chunks(c.out);
  if (!c.dead && c.session.closing()) drop(c, "login refused");
}

void Server::handle_frame(Client &c, kx_msg_t *m, Msgs &replies) { c.session.handle(m, replies); }

// Takes in what the socket holds (while the input buffer has room) and
// answers the frames.
void Server::read_client(Client &c) {
  if (kx_ringbuf_space(c.in) > 0) {
    int r = kx_ringbuf_read_fd(c.in, c.fd);
    if (r == 0) {
      drop(c, kx_ringbuf_used(c.in) ? "closed in the middle of a message" : "closed");
      return;
    }
    if (r < 0 && !would_block(errno)) {
      drop(c, strerror(errno));
      return;
    }
  }
  answer(c);
}

// Answers complete frames until none is left, the turn's share is used or the
// client's queued output passes the bound; replies go straight into its
// output buffer.
void Server::answer(Client &c) {
  Msgs replies(c.out);
  const uint32_t queued = kx_ringbuf_used(c.out);
  c.backlog = false;
  for (uint32_t n = 0; !c.dead && !c.session.closing(); n++) {
    if (n == kFramesPerTurn || throttled(c) || kx_ringbuf_used(c.out) - queued >= kOutputPerTurn) {
      c.backlog = true;
      break;
    }
    uint8_t broken = 0;
    kx_msg_t *m = kx_msg_read_from_ringbuf_ex(c.in, &broken);
    if (broken) {
      drop(c, "broken message header");
      if (m) kx_msg_free(m);
      break;
    }
    if (!m) break;
    handle_frame(c, m, replies);
    kx_msg_free(m);
  }
  release_chunks(c.in);
  finish(c, replies);
}

std::string Server::dump_json() const {
  std::string o = "\"seed\": " + std::to_string(seed_) + ", \"ticks\": " + std::to_string(ticks_);
  if (opt_.appliances > 1) o += ", \"port\": " + std::to_string(port_);
  if (!world_) return o + ", \"sessions\": []";  // no client yet: no network
  o += ", \"now\": " + std::to_string(world_->now()) + ",\n";
  o += world_dump_json(*world_);
  o += ",\n\"sessions\": [";
  bool first = true;
  for (const auto &c : clients_) {
    if (c->dead) continue;
    o += std::string(first ? "" : ",\n") + c->session.dump_json();
    first = false;
  }
  return o + "]";
}

// A lone appliance's state is one object; a fleet's is {"appliances": [...]}
// with an object per appliance, in port order.
bool dump_servers(const Options &opt, const std::vector<std::unique_ptr<Server>> &servers) {
  const std::string &file = opt.dump_file;
  std::string o;
  if (opt.appliances == 1) {
    o = "{" + servers[0]->dump_json() + "}\n";
  } else {
    o = "{\"appliances\": [";
    for (size_t i = 0; i < servers.size(); i++) o += (i ? ",\n{" : "\n{") + servers[i]->dump_json() + "}";
    o += "]}\n";
  }
  std::string tmp = file + ".tmp";
  FILE *f = fopen(tmp.c_str(), "w");
  bool ok = f && fwrite(o.data(), 1, o.size(), f) == o.size();
  ok = f && fclose(f) == 0 && ok;
  ok = ok && rename(tmp.c_str(), file.c_str()) == 0;
  if (ok) {
    log_line(KX_LOG_INFO, "state written to %s", file.c_str());
  } else {
    log_line(KX_LOG_ERROR, "state could not be written to %s: %s", file.c_str(), strerror(errno));
    unlink(tmp.c_str());
  }
  return ok;
}

void Server::poll_set(std::vector<struct pollfd> &pfds, uint64_t now) const {
  pfds.push_back({listen_fd_, (short)(now < accept_paused_ ? 0 : POLLIN), 0});
  for (const auto &c : clients_) {
    // A client's input is left in the socket while its frames wait: the
    // sender's own buffers then hold the flood.
    short ev = c->session.closing() || c->backlog || throttled(*c) ? 0 : POLLIN;
    if (kx_ringbuf_used(c->out)) ev |= POLLOUT;
    pfds.push_back({c->fd, ev, 0});
  }
}

void Server::serve(const struct pollfd *pfds) {
  for (size_t i = 0; i < clients_.size(); i++) {
    short re = pfds[i + 1].revents;
    Client &c = *clients_[i];
    if (re & (POLLOUT | POLLHUP | POLLERR)) flush(c);
    if (c.dead) continue;
    if (re & (POLLIN | POLLHUP | POLLERR)) read_client(c);
    else if (ready(c)) answer(c);
  }
  if (pfds[0].revents & POLLIN) accept_clients();
}

void Server::tick() {
  world_->tick();
  ticks_++;
  const uint64_t now = now_ms();
  for (auto &c : clients_) {
    drop_stalled(*c, now);
    if (c->dead || c->session.closing()) continue;
    Msgs msgs(c->out);
    c->session.tick(msgs);
    finish(*c, msgs);
  }
  accept_paused_ = 0;
  give_back_memory();
  if (opt_.ticks && ticks_ >= opt_.ticks) {
    frozen_ = true;
    printf("%sfrozen after %u ticks\n", name_.c_str(), ticks_);
    fflush(stdout);
  }
}

// A client that keeps its replies above the bound without reading any for
// --max-stall seconds is dropped: the live stream would grow its queue on.
void Server::drop_stalled(Client &c, uint64_t now) {
  if (!throttled(c)) c.progress_ms = now;
  else if (now - c.progress_ms > (uint64_t)opt_.max_stall_s * 1000) drop(c, "not reading its messages");
}

// Closed clients go with their buffers: the chunks return to the ring
// buffer cache, which keeps a few and frees the rest.
void Server::remove_dead() {
  size_t before = clients_.size();
  auto gone = [](const std::unique_ptr<Client> &c) { return c->dead; };
  clients_.erase(std::remove_if(clients_.begin(), clients_.end(), gone), clients_.end());
  if (clients_.size() == before) return;
  accept_paused_ = 0;
  trim_due_ = true;
  if (clients_.capacity() > 2 * clients_.size() + 16) clients_.shrink_to_fit();
  if (frozen_) give_back_memory();  // no tick will
}

// Returns the free heap pages the departed clients left; once a tick at most,
// since clients may come and go many times a second.
void Server::give_back_memory() {
  if (trim_due_) malloc_trim(0);
  trim_due_ = false;
}

// With --flood: true while there is a client and every client has read
// most of what it was sent, so the next step can go out.
bool Server::flood_ready() const {
  if (!opt_.flood || clients_.empty()) return false;
  for (const auto &c : clients_)
    if (!c->dead && kx_ringbuf_used(c->out) > Client::kFloodLowWater) return false;
  return true;
}

// Until the next tick; at once while a client has frames waiting, or while
// flooding clients that have read what they were sent.
int Server::poll_timeout(uint64_t now) const {
  for (const auto &c : clients_)
    if (ready(*c)) return 0;
  int accept = now < accept_paused_ ? (int)(accept_paused_ - now) : -1;
  if (frozen_ || !world_) return accept;
  if (opt_.flood) return flood_ready() ? 0 : accept;
  int tick = (int)(next_tick_ > now ? next_tick_ - now : 0);
  return accept >= 0 && accept < tick ? accept : tick;
}

void Server::step(uint64_t now) {
  if (frozen_ || !world_ || !(opt_.flood ? flood_ready() : now >= next_tick_)) return;
  for (uint32_t i = 0; i < opt_.speedup && !frozen_ && !*stop_; i++) tick();
  next_tick_ += opt_.interval_ms;
  if (next_tick_ < now_ms()) next_tick_ = next_step_after(now_ms());  // behind: the missed steps are skipped
}

void run_servers(const Options &opt, std::vector<std::unique_ptr<Server>> &servers, volatile sig_atomic_t *stop,
                 volatile sig_atomic_t *dump_now, int wake_fd) {
  std::vector<struct pollfd> pfds;
  std::vector<size_t> first;  // where each appliance's entries start
  while (!*stop) {
    pfds.assign(1, {wake_fd, POLLIN, 0});
    first.clear();
    int timeout = -1;
    const uint64_t t = now_ms();
    for (const auto &s : servers) {
      first.push_back(pfds.size());
      s->poll_set(pfds, t);
      int w = s->poll_timeout(t);
      if (w >= 0 && (timeout < 0 || w < timeout)) timeout = w;
    }
    int n = poll(pfds.data(), pfds.size(), timeout);
    if (n < 0 && errno != EINTR) {
      perror("poll");
      break;
    }
    if (n > 0 && (pfds[0].revents & POLLIN)) {
      char buf[16];
      while (read(wake_fd, buf, sizeof buf) > 0) {
      }
    }
    if (*dump_now) {
      *dump_now = 0;
      if (!opt.dump_file.empty()) dump_servers(opt, servers);
    }
    for (size_t i = 0; i < servers.size(); i++) {
      if (n >= 0) servers[i]->serve(&pfds[first[i]]);
      servers[i]->step(now_ms());
      servers[i]->remove_dead();
    }
  }
}

}  // namespace sim
