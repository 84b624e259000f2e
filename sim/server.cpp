// kxd-sim: the poll loop and the per-client byte queues.
#include "server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "dump.h"

namespace sim {

namespace {

uint64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// Bytes handed to the socket per write call.
constexpr uint32_t kWriteChunk = 262144;

}  // namespace

Client::Client(int fd_, const std::string &peer, const Settings &settings, World &world)
    : fd(fd_), session(peer, settings, world), in(kx_ringbuf_new(kInBufSize)), out(kx_ringbuf_new(kOutBufSize)) {}

Client::~Client() {
  close(fd);
  kx_ringbuf_destroy(in);
  kx_ringbuf_destroy(out);
}

int listen_loopback(uint16_t port) {
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
  printf("listening on 127.0.0.1:%u\n", ntohs(sa.sin_port));
  fflush(stdout);
  return fd;
}

int accept_client(int listen_fd, std::string *peer) {
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  int fd = accept4(listen_fd, (struct sockaddr *)&sa, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  *peer = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
  KX_LOG(kLogFacility, KX_LOG_INFO, "%s: connected", peer->c_str());
  return fd;
}

bool Server::listen_on(uint16_t port) {
  listen_fd_ = listen_loopback(port);
  return listen_fd_ >= 0;
}

void Server::accept_clients() {
  for (;;) {
    std::string peer;
    int fd = accept_client(listen_fd_, &peer);
    if (fd < 0) return;
    auto c = std::make_unique<Client>(fd, peer, opt_.settings, world_);
    Msgs msgs;
    c->session.greet(msgs);
    send(*c, msgs);
    clients_.push_back(std::move(c));
  }
}

void Server::drop(Client &c, const char *why) {
  if (c.dead) return;
  KX_LOG(kLogFacility, KX_LOG_INFO, "%s: dropped (%s)", c.peer().c_str(), why);
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
    int w = kx_ringbuf_write_fd(c.out, c.fd, n < kWriteChunk ? n : kWriteChunk);
    if (w > 0) continue;
    if (w < 0 && !would_block(-w)) drop(c, strerror(-w));
    return;
  }
  if (!c.dead && c.session.closing() && kx_ringbuf_used(c.out) == 0) drop(c, "login refused");
}

void Server::handle_frame(Client &c, kx_msg_t *m, Msgs &replies) { c.session.handle(m, replies); }

// Takes in what the socket holds and answers every complete frame.
void Server::read_client(Client &c) {
  int r = kx_ringbuf_read_fd(c.in, c.fd);
  if (r == 0) {
    drop(c, kx_ringbuf_used(c.in) ? "closed in the middle of a message" : "closed");
    return;
  }
  if (r < 0 && !would_block(errno)) {
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
    handle_frame(c, m, replies);
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
    o += std::string(first ? "" : ",\n") + c->session.dump_json();
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

// The wake pipe, the listening socket, then one entry per client in order.
std::vector<struct pollfd> Server::poll_set(int wake_fd) const {
  std::vector<struct pollfd> pfds;
  pfds.push_back({wake_fd, POLLIN, 0});
  pfds.push_back({listen_fd_, POLLIN, 0});
  for (const auto &c : clients_) {
    short ev = c->session.closing() ? 0 : POLLIN;
    if (kx_ringbuf_used(c->out)) ev |= POLLOUT;
    pfds.push_back({c->fd, ev, 0});
  }
  return pfds;
}

void Server::serve(const std::vector<struct pollfd> &pfds) {
  for (size_t i = 0; i < clients_.size(); i++) {
    short re = pfds[i + 2].revents;
    Client &c = *clients_[i];
    if (re & (POLLIN | POLLHUP | POLLERR)) read_client(c);
    if (re & POLLOUT) flush(c);
  }
  if (pfds[1].revents & POLLIN) accept_clients();
}

void Server::tick() {
  world_.tick();
  ticks_++;
  next_tick_ += opt_.interval_ms;
  if (next_tick_ < now_ms()) next_tick_ = now_ms() + opt_.interval_ms;
  for (auto &c : clients_) {
    if (c->dead || c->session.closing()) continue;
    Msgs msgs;
    c->session.tick(msgs);
    send(*c, msgs);
  }
  if (opt_.ticks && ticks_ >= opt_.ticks) {
    frozen_ = true;
    printf("frozen after %u ticks\n", ticks_);
    fflush(stdout);
  }
}

void Server::remove_dead() {
  for (size_t i = 0; i < clients_.size();) {
    if (clients_[i]->dead) clients_.erase(clients_.begin() + (long)i);
    else i++;
  }
}

void Server::run(volatile sig_atomic_t *stop, volatile sig_atomic_t *dump_now, int wake_fd) {
  next_tick_ = now_ms() + opt_.interval_ms;
  while (!*stop) {
    std::vector<struct pollfd> pfds = poll_set(wake_fd);
    uint64_t t = now_ms();
    int timeout = frozen_ ? -1 : (int)(next_tick_ > t ? next_tick_ - t : 0);
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
      if (!opt_.dump_file.empty()) dump(opt_.dump_file);
    }
    if (n > 0) serve(pfds);
    if (!frozen_ && now_ms() >= next_tick_) tick();
    remove_dead();
  }
}

}  // namespace sim
