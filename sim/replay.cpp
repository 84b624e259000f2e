// kxd-sim --replay: the daemon's side of a recorded session, served again.
//
// The recorded inbound frames are sent in order. Before each, the replay
// waits for the client's requests that preceded it in the recording; they
// are matched by type, and a mismatch is reported on stderr without stopping
// the replay. Frames go out at the recorded pace (measured from the last
// request matched), or at once with --fast.
#include "replay.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "kx_log.h"
#include "kx_msg.h"
#include "kx_ringbuf.h"
#include "proto.h"
#include "server.h"

namespace sim {

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A, kInterface = 1, kSimplePacket = 3, kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kIfTsresol = 9, kEpbFlags = 2;

uint32_t get32(const std::string &b, size_t at, bool big) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(b.data()) + at;
  return big ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
             : (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

uint16_t get16(const std::string &b, size_t at, bool big) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(b.data()) + at;
  return (uint16_t)(big ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
}

// Calls f(code, offset, length) for each option in [at, end).
template <class F>
void each_option(const std::string &b, size_t at, size_t end, bool big, F f) {
  while (at + 4 <= end) {
    uint16_t code = get16(b, at, big), len = get16(b, at + 2, big);
    if (code == 0 || at + 4 + len > end) return;
    f(code, at + 4, len);
    at += 4 + ((len + 3u) & ~3u);
  }
}

uint64_t now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000 + (uint64_t)ts.tv_nsec / 1000;
}

}  // namespace

bool Recorded::whole() const {
  return data.size() >= 6 && data.size() == 6u + ((uint8_t)data[4] << 8 | (uint8_t)data[5]);
}

uint32_t Recorded::type() const { return data.size() >= 4 ? get32(data, 0, true) : 0; }

bool read_capture(const std::string &file, std::vector<Recorded> *out, std::string *error, std::string *cut) {
  cut->clear();
  FILE *f = fopen(file.c_str(), "rb");
  if (!f) {
    *error = strerror(errno);
    return false;
  }
  std::string b;
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) b.append(chunk, n);
  bool read_ok = !ferror(f);
  fclose(f);
  if (!read_ok) {
    *error = "read error";
    return false;
  }
  bool big = false, in_section = false;
  std::vector<uint64_t> units;  // timestamp units per second, by interface
  for (size_t pos = 0; pos < b.size();) {
    if (b.size() - pos < 12) {
      *cut = "the file ends inside a block header at offset " + std::to_string(pos);
      return true;
    }
    uint32_t type = get32(b, pos, false);  // the section header's type reads the same either way
    if (type == kSectionHeader) {
      if (get32(b, pos + 8, false) == kByteOrderMagic) big = false;
      else if (get32(b, pos + 8, true) == kByteOrderMagic) big = true;
      else {
        *error = "bad byte-order magic";
        return false;
      }
      in_section = true;
      units.clear();
    } else if (!in_section) {
      *error = "not a pcapng file";
      return false;
    } else {
      type = get32(b, pos, big);
    }
    uint32_t len = get32(b, pos + 4, big);
    if (len >= 12 && len % 4 == 0 && len > b.size() - pos) {
      *cut = "the file ends inside a block at offset " + std::to_string(pos);
      return true;
    }
    if (len < 12 || len % 4 || get32(b, pos + len - 4, big) != len) {
      *error = "bad block length at offset " + std::to_string(pos);
      return false;
    }
    size_t body = pos + 8, end = pos + len - 4;
    if (type == kInterface) {
      if (end - body < 8) {
        *error = "short interface description";
        return false;
      }
      uint64_t u = 1000000;
      each_option(b, body + 8, end, big, [&](uint16_t code, size_t at, uint16_t olen) {
        if (code != kIfTsresol || olen < 1) return;
        unsigned r = (unsigned char)b[at];
        if (r & 0x80) u = (r & 0x7f) < 64 ? 1ull << (r & 0x7f) : u;
        else if (r <= 19)
          for (u = 1; r--;) u *= 10;
      });
      units.push_back(u);
    } else if (type == kEnhancedPacket || type == kSimplePacket) {
      Recorded r;
      if (type == kEnhancedPacket) {
        if (end - body < 20) {
          *error = "short packet block";
          return false;
        }
        uint32_t iface = get32(b, body, big), caplen = get32(b, body + 12, big);
        if (iface >= units.size() || caplen > end - body - 20) {
          *error = "bad packet block at offset " + std::to_string(pos);
          return false;
        }
        unsigned __int128 ticks = (uint64_t)get32(b, body + 4, big) << 32 | get32(b, body + 8, big);
        r.usec = (uint64_t)(ticks * 1000000 / units[iface]);
        r.data = b.substr(body + 20, caplen);
        each_option(b, body + 20 + ((caplen + 3u) & ~3u), end, big, [&](uint16_t code, size_t at, uint16_t olen) {
          if (code == kEpbFlags && olen == 4) r.direction = (int)(get32(b, at, big) & 3);
        });
      } else {
        if (end - body < 4 || units.empty()) {
          *error = "bad simple packet block";
          return false;
        }
        uint32_t orig = get32(b, body, big);
        r.data = b.substr(body + 4, std::min<size_t>(orig, end - body - 4));
      }
      out->push_back(std::move(r));
    }
    pos += len;
  }
  return true;
}

namespace {

class Replayer {
 public:
  Replayer(const std::vector<Recorded> &rec, bool fast, uint32_t timeout_s)
      : rec_(rec), fast_(fast), timeout_us_((uint64_t)timeout_s * 1000000) {
    for (const Recorded &r : rec) {
      if (r.direction == Recorded::kOutbound && r.whole()) requests_++;
      if (r.direction == Recorded::kInbound) replies_++;
    }
  }
  // Serves one client until it goes or *stop is set.
  void serve(int fd, const std::string &peer, volatile sig_atomic_t *stop, int wake_fd);

 private:
  // Sends what the recording allows now; returns the time the next frame is
  // due (0: none is, the replay waits for a request or is over).
  uint64_t advance(std::string *out);
  bool take_requests(kx_ringbuf_t *in);

  // The request frame the replay waits for, or null.
  const Recorded *awaited() const;

  const std::vector<Recorded> &rec_;
  const bool fast_;
  const uint64_t timeout_us_;
  static constexpr uint64_t kWaitNoticeUs = 1000000;
  size_t waiting_for_ = SIZE_MAX;  // the frame a wait began for
  uint64_t wait_since_ = 0;
  bool wait_logged_ = false;
  size_t requests_ = 0;  // whole client frames in the recording
  size_t replies_ = 0;   // daemon frames in the recording
  // per client
  std::string peer_;
  size_t next_ = 0, seen_ = 0, matched_ = 0, mismatched_ = 0, sent_ = 0;
  std::deque<uint32_t> pending_;  // request types received, not yet matched
  uint64_t base_real_ = 0, base_rec_ = 0;
};

uint64_t Replayer::advance(std::string *out) {
  while (next_ < rec_.size()) {
    const Recorded &r = rec_[next_];
    if (r.direction == Recorded::kOutbound) {
      if (r.whole()) {
        if (pending_.empty()) return 0;
        uint32_t got = pending_.front();
        pending_.pop_front();
        if (got == r.type()) {
          matched_++;
        } else {
          mismatched_++;
          fprintf(stderr, "kxd-sim: replay %s: frame %zu: mismatched request 0x%x where the recording has 0x%x\n",
                  peer_.c_str(), next_ + 1, got, r.type());
        }
        base_real_ = now_us();
        base_rec_ = r.usec;
      }
    } else if (r.direction == Recorded::kInbound) {
      uint64_t due = base_real_ + (r.usec > base_rec_ ? r.usec - base_rec_ : 0);
      if (!fast_ && due > now_us()) return due;
      *out += r.data;
      sent_++;
    }
    next_++;
  }
  return 0;
}

const Recorded *Replayer::awaited() const {
  if (next_ >= rec_.size() || !pending_.empty()) return nullptr;
  const Recorded &r = rec_[next_];
  return r.direction == Recorded::kOutbound && r.whole() ? &r : nullptr;
}

// Takes in the client's frames; false when the stream is broken.
bool Replayer::take_requests(kx_ringbuf_t *in) {
  for (;;) {
    uint8_t broken = 0;
    kx_msg_t *m = kx_msg_read_from_ringbuf_ex(in, &broken);
    if (broken) {
      if (m) kx_msg_free(m);
      fprintf(stderr, "kxd-sim: replay %s: broken frame header from the client\n", peer_.c_str());
      return false;
    }
    if (!m) return true;
    if (seen_++ < requests_) pending_.push_back(m->type);
    else fprintf(stderr, "kxd-sim: replay %s: request 0x%x beyond the recording\n", peer_.c_str(), m->type);
    kx_msg_free(m);
  }
}

void Replayer::serve(int fd, const std::string &peer, volatile sig_atomic_t *stop, int wake_fd) {
  peer_ = peer;
  next_ = seen_ = matched_ = mismatched_ = sent_ = 0;
  waiting_for_ = SIZE_MAX;
  pending_.clear();
  base_real_ = now_us();
  base_rec_ = rec_.empty() ? 0 : rec_[0].usec;
  kx_ringbuf_t *in = kx_ringbuf_new(1u << 20);
  std::string out;
  size_t out_done = 0;
  bool open = true;
  while (open && !*stop) {
    uint64_t due = advance(&out);
    if (const Recorded *r = awaited()) {
      const uint64_t t = now_us();
      if (waiting_for_ != next_) {
        waiting_for_ = next_;
        wait_since_ = t;
        wait_logged_ = false;
      }
      if (t - wait_since_ >= timeout_us_) {
        fprintf(stderr, "kxd-sim: replay %s: frame %zu: no request 0x%x within %llu s: the client is dropped\n",
                peer.c_str(), next_ + 1, r->type(), (unsigned long long)(timeout_us_ / 1000000));
        break;
      }
      // A wait of a second is worth a line: the client may be asking for
      // something else, or in another order.
      if (!wait_logged_ && t - wait_since_ >= kWaitNoticeUs) {
        wait_logged_ = true;
        fprintf(stderr, "kxd-sim: replay %s: frame %zu: waiting for request 0x%x\n", peer.c_str(), next_ + 1,
                r->type());
      }
      due = wait_since_ + (wait_logged_ ? timeout_us_ : std::min(timeout_us_, kWaitNoticeUs));
    }
    struct pollfd pfds[2] = {{wake_fd, POLLIN, 0}, {fd, (short)(POLLIN | (out.size() > out_done ? POLLOUT : 0)), 0}};
    int timeout = -1;
    if (due) {
      uint64_t t = now_us();
      timeout = due > t ? (int)((due - t + 999) / 1000) : 0;
    }
    int n = poll(pfds, 2, timeout);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    if (pfds[0].revents & POLLIN) {
      char buf[16];
      while (read(wake_fd, buf, sizeof buf) > 0) {
      }
    }
    if (pfds[1].revents & POLLOUT) {
      ssize_t w = write(fd, out.data() + out_done, out.size() - out_done);
      if (w > 0) out_done += (size_t)w;
      else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) open = false;
      if (out_done == out.size()) {
        out.clear();
        out_done = 0;
      }
    }
    if (pfds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      int r = kx_ringbuf_read_fd(in, fd);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) open = false;
      if (!take_requests(in)) open = false;
    }
  }
  kx_ringbuf_destroy(in);
  log_line(KX_LOG_INFO, "%s: replay %s: %zu of %zu frames sent, %zu requests matched, %zu mismatched", peer.c_str(),
           next_ == rec_.size() ? "complete" : "cut short", sent_, replies_, matched_, mismatched_);
}

}  // namespace

int run_replay(const Options &o, volatile sig_atomic_t *stop, int wake_fd) {
  std::vector<Recorded> rec;
  std::string error, cut;
  if (!read_capture(o.replay_file, &rec, &error, &cut)) {
    fprintf(stderr, "kxd-sim: %s: %s\n", o.replay_file.c_str(), error.c_str());
    return 1;
  }
  if (!cut.empty())
    log_line(KX_LOG_WARNING, "%s: %s: replaying the %zu frames before it", o.replay_file.c_str(), cut.c_str(),
             rec.size());
  size_t unknown = 0;
  for (const Recorded &r : rec) unknown += r.direction != Recorded::kInbound && r.direction != Recorded::kOutbound;
  if (unknown)
    fprintf(stderr, "kxd-sim: %s: %zu frames without a direction are left out\n", o.replay_file.c_str(), unknown);

  uint16_t port = 0;
  int lfd = listen_loopback(o.port, &port);
  if (lfd < 0) {
    fprintf(stderr, "kxd-sim: cannot listen on 127.0.0.1:%u: %s\n", o.port, strerror(errno));
    return 1;
  }
  printf("listening on 127.0.0.1:%u\n", port);
  fflush(stdout);
  log_line(KX_LOG_INFO, "replaying %zu frames from %s%s", rec.size(), o.replay_file.c_str(),
         o.replay_fast ? " as fast as possible" : "");

  Replayer replayer(rec, o.replay_fast, o.replay_timeout_s);
  while (!*stop) {
    struct pollfd pfds[2] = {{wake_fd, POLLIN, 0}, {lfd, POLLIN, 0}};
    if (poll(pfds, 2, -1) < 0 && errno != EINTR) break;
    if (pfds[0].revents & POLLIN) {
      char buf[16];
      while (read(wake_fd, buf, sizeof buf) > 0) {
      }
    }
    if (*stop || !(pfds[1].revents & POLLIN)) continue;
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    int fd = accept4(lfd, (struct sockaddr *)&sa, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string peer = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    log_line(KX_LOG_INFO, "%s: connected", peer.c_str());
    replayer.serve(fd, peer, stop, wake_fd);
    close(fd);
  }
  close(lfd);
  return 0;
}

}  // namespace sim
