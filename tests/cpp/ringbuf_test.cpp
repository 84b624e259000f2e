// Ring buffers, the chunk cache, descriptor I/O and message framing.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kx_log.h"
#include "kx_malloc.h"
#include "kx_msg.h"
#include "kx_ringbuf.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const uint32_t CHUNK = KX_RINGBUF_CHUNK_SIZE;

std::string pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (char &c : s) c = (char)rng();
  return s;
}

struct RingDeleter {
  void operator()(kx_ringbuf_t *rb) const { kx_ringbuf_destroy(rb); }
};
using Ring = std::unique_ptr<kx_ringbuf_t, RingDeleter>;

uint32_t held_chunks(const kx_ringbuf_t *rb) {
  uint32_t n = 0;
  for (const kx_ringbuf_chunk_t *c = rb->first_chunk; c; c = c->next) n++;
  return n;
}

// Compares byte strings, reporting the first difference instead of the bytes.
testing::AssertionResult same_bytes(const std::string &expect, const std::string &got) {
  if (expect == got) return testing::AssertionSuccess();
  size_t i = 0;
  while (i < expect.size() && i < got.size() && expect[i] == got[i]) i++;
  return testing::AssertionFailure() << "sizes " << expect.size() << " and " << got.size()
                                     << ", first difference at " << i;
}

std::string read_all(kx_ringbuf_t *rb, uint32_t n) {
  std::string out(n, '\0');
  out.resize(kx_ringbuf_read(rb, &out[0], n));
  return out;
}

class RingbufTest : public testing::Test {
 protected:
  void SetUp() override {
    kx_ringbuf_cache_flush();
    kx_ringbuf_cache_init(0);
    kx_msg_pool_init();
  }
  void TearDown() override {
    kx_ringbuf_cache_flush();
    kx_log_print_level = KX_LOG_ALERT;
  }
};

TEST_F(RingbufTest, Capacity) {
  struct Case {
    uint32_t maxsize, capacity;
  } cases[] = {{0, CHUNK},          {100, CHUNK},           {CHUNK, CHUNK},
               {524288, 524288},    {1000000, 786432},      {UINT32_MAX, KX_RINGBUF_POS_LIMIT}};
  for (const Case &c : cases) {
    Ring rb(kx_ringbuf_new(c.maxsize));
    EXPECT_EQ(c.capacity, kx_ringbuf_capacity(rb.get())) << c.maxsize;
    EXPECT_EQ(c.capacity, kx_ringbuf_space(rb.get()));
    EXPECT_EQ(0u, kx_ringbuf_used(rb.get()));
  }
}

TEST_F(RingbufTest, ChunksComeAndGoThroughTheCache) {
  Ring rb(kx_ringbuf_new(524288));
  std::string data = pattern(600000, 1);
  EXPECT_EQ(524288u, kx_ringbuf_write(rb.get(), data.data(), (uint32_t)data.size())) << "only what fits";
  EXPECT_EQ(0u, kx_ringbuf_write(rb.get(), "x", 1));
  kx_ringbuf_clear(rb.get());
  EXPECT_EQ(2u, kx_ringbuf_cache_count());

  EXPECT_EQ(300000u, kx_ringbuf_write(rb.get(), data.data(), 300000));
  EXPECT_EQ(2u, held_chunks(rb.get()));
  EXPECT_EQ(0u, kx_ringbuf_cache_count()) << "both chunks were taken from the cache";
  std::string head(10, '\0');
  EXPECT_EQ(10u, kx_ringbuf_peek(rb.get(), &head[0], 10));
  EXPECT_EQ(data.substr(0, 10), head);
  EXPECT_EQ(300000u, kx_ringbuf_used(rb.get())) << "peek consumes nothing";
  EXPECT_TRUE(same_bytes(data.substr(0, CHUNK), read_all(rb.get(), CHUNK)));
  EXPECT_EQ(1u, held_chunks(rb.get()));
  EXPECT_EQ(1u, kx_ringbuf_cache_count()) << "the first chunk was recycled";
  kx_ringbuf_skip(rb.get(), 100);
  EXPECT_TRUE(same_bytes(data.substr(CHUNK + 100, 300000 - CHUNK - 100), read_all(rb.get(), 1000000)));
  EXPECT_EQ(1u, held_chunks(rb.get())) << "a read ending inside a chunk keeps it";
  EXPECT_EQ(0u, kx_ringbuf_read(rb.get(), &head[0], 10));
  kx_ringbuf_clear(rb.get());
  EXPECT_EQ(nullptr, rb->first_chunk);
  EXPECT_EQ(2u, kx_ringbuf_cache_count());
}

TEST_F(RingbufTest, PositionCountersStayBelowTheLimit) {
  Ring rb(kx_ringbuf_new(524288));
  // An empty ring buffer whose counters are just below the limit.
  rb->rd_pos = rb->wr_pos = KX_RINGBUF_POS_LIMIT - 16;
  std::string data = pattern(CHUNK + 1000, 2);
  EXPECT_EQ(data.size(), kx_ringbuf_write(rb.get(), data.data(), (uint32_t)data.size()));
  EXPECT_EQ(CHUNK + 1000 - 16, rb->wr_pos);
  EXPECT_EQ(3u, held_chunks(rb.get()));
  EXPECT_TRUE(same_bytes(data, read_all(rb.get(), (uint32_t)data.size())));
  EXPECT_EQ(rb->wr_pos, rb->rd_pos);
}

// Random writes, reads, peeks and skips against a plain byte queue.
TEST_F(RingbufTest, RandomOperationsAgainstByteQueue) {
  std::mt19937 rng(3);
  Ring rb(kx_ringbuf_new(3 * CHUNK));
  std::string model;
  std::string buf(4 * CHUNK, '\0');
  for (int step = 0; step < 600; step++) {
    uint32_t n = rng() % 4 == 0 ? rng() % (2 * CHUNK) : rng() % 5000;
    switch (rng() % 4) {
      case 0: {
        std::string data = pattern(n, step);
        uint32_t expect = std::min<uint32_t>(n, 3 * CHUNK - (uint32_t)model.size());
        ASSERT_EQ(expect, kx_ringbuf_write(rb.get(), data.data(), n));
        model += data.substr(0, expect);
        break;
      }
      case 1: {
        uint32_t got = kx_ringbuf_read(rb.get(), &buf[0], n);
        ASSERT_EQ(std::min<size_t>(n, model.size()), got);
        ASSERT_EQ(0, model.compare(0, got, buf, 0, got));
        model.erase(0, got);
        break;
      }
      case 2: {
        uint32_t got = kx_ringbuf_peek(rb.get(), &buf[0], n);
        ASSERT_EQ(std::min<size_t>(n, model.size()), got);
        ASSERT_EQ(0, model.compare(0, got, buf, 0, got));
        break;
      }
      default:
        kx_ringbuf_skip(rb.get(), n);
        model.erase(0, std::min<size_t>(n, model.size()));
    }
    ASSERT_EQ(model.size(), kx_ringbuf_used(rb.get()));
    ASSERT_LE(held_chunks(rb.get()), 4u);
  }
}

TEST_F(RingbufTest, CacheLimitAndPrefill) {
  struct Case {
    uint32_t limit;
    int prefill;
    uint32_t cached_before, cached_after;  // around recycling one more chunk
  } cases[] = {
      {2, (int)CHUNK, 2, 3},      // a third chunk is still cached
      {2, 2 * (int)CHUNK, 3, 3},  // more than the limit: the chunk is freed
      {0, 0, 1, 2},
      {0, 4 * (int)CHUNK + 5, 5, 6},
  };
  std::string data(2 * CHUNK, 'd');
  for (const Case &c : cases) {
    SCOPED_TRACE(c.prefill);
    kx_ringbuf_cache_flush();
    kx_ringbuf_cache_init(c.limit);
    Ring rb(kx_ringbuf_new(2 * CHUNK));
    kx_ringbuf_write(rb.get(), data.data(), (uint32_t)data.size());  // two new chunks
    kx_ringbuf_cache_prefill(c.prefill);
    EXPECT_EQ(c.cached_before, kx_ringbuf_cache_count());
    kx_ringbuf_skip(rb.get(), CHUNK);  // recycles the first chunk
    EXPECT_EQ(c.cached_after, kx_ringbuf_cache_count());
    kx_malloc_stats_t s;
    kx_malloc_stats_get("kx_ringbuf_chunk_t", &s);
    EXPECT_EQ(c.cached_after + 1, s.current_entries) << "the cache and the ring buffer hold every live chunk";
    kx_ringbuf_cache_set_limit(0);
  }
  kx_ringbuf_cache_flush();
  EXPECT_EQ(0u, kx_ringbuf_cache_count());
  kx_malloc_stats_t s;
  kx_malloc_stats_get("kx_ringbuf_chunk_t", &s);
  EXPECT_EQ(0u, s.current_entries);
}

TEST_F(RingbufTest, ChunkListBugs) {
  kx_log_print_level = KX_LOG_VERBOSE;
  Ring rb(kx_ringbuf_new(CHUNK));
  kx_ringbuf_cache_prefill(0);
  EXPECT_DEATH(
      {
        kx_ringbuf_write(rb.get(), "a", 1);
        kx_ringbuf_skip(rb.get(), 1);
        rb->first_chunk->in_use = 0;
        kx_ringbuf_clear(rb.get());
      },
      "KX-BUG at common/ringbuf.cpp:154/kx_ringbuf_recycle\\(\\): !chunk->in_use  \n");
  EXPECT_DEATH(
      {
        kx_ringbuf_cache_prefill(0);
        // A cached chunk marked in use.
        kx_ringbuf_t *other = kx_ringbuf_new(CHUNK);
        kx_ringbuf_write(other, "a", 1);
        other->first_chunk->next = nullptr;
        kx_ringbuf_recycle(other->first_chunk);
        other->first_chunk->in_use = 1;
        kx_ringbuf_write(rb.get(), "b", 1);
      },
      ":185/kx_ringbuf_chunk_new\\(\\): ret->in_use  \n");
  EXPECT_DEATH(
      {
        kx_ringbuf_write(rb.get(), "a", 1);
        rb->last_chunk = nullptr;
        rb->wr_pos = 0;
        kx_ringbuf_write(rb.get(), "b", 1);
      },
      ":373/kx_ringbuf_write\\(\\): ringbuf->last_chunk == \\(\\(void \\*\\)0\\)  If first chunk exists, so must last\n");
  EXPECT_DEATH(
      {
        rb->used = 10;
        kx_ringbuf_skip(rb.get(), 10);
      },
      ":268/kx_ringbuf_read2\\(\\): !rd_chunk  \n");
}

// ---- descriptors ----

struct Pair {
  int fd[2];
  Pair() {
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd));
    for (int f : fd) fcntl(f, F_SETFL, fcntl(f, F_GETFL) | O_NONBLOCK);
  }
  ~Pair() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void close_end(int i) {
    close(fd[i]);
    fd[i] = -1;
  }
};

std::string drain(int fd) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
  return out;
}

TEST_F(RingbufTest, WriteFdAndReadFdOverASocketPair) {
  signal(SIGPIPE, SIG_IGN);
  Pair p;
  Ring out(kx_ringbuf_new(2 * CHUNK)), in(kx_ringbuf_new(4 * CHUNK));
  std::string data = pattern(400000, 4);
  kx_ringbuf_write(out.get(), data.data(), (uint32_t)data.size());
  EXPECT_EQ(-1, kx_ringbuf_write_fd(out.get(), p.fd[0], 0));
  EXPECT_EQ(-1, kx_ringbuf_write_fd(out.get(), -1, 10));
  EXPECT_EQ(-1, kx_ringbuf_write_fd(nullptr, p.fd[0], 10));
  EXPECT_EQ(-1, kx_ringbuf_read_fd(in.get(), -1));
  EXPECT_EQ(-1, kx_ringbuf_read_fd(nullptr, p.fd[1]));

  std::string received;
  while (kx_ringbuf_used(out.get())) {
    uint32_t before = kx_ringbuf_used(out.get());
    int w = kx_ringbuf_write_fd(out.get(), p.fd[0], 1000000);
    if (w == -EAGAIN) {
      received += drain(p.fd[1]);
      continue;
    }
    ASSERT_GT(w, 0);
    EXPECT_LE(w, (int)CHUNK) << "one staging buffer at most";
    EXPECT_EQ(before - (uint32_t)w, kx_ringbuf_used(out.get()));
  }
  received += drain(p.fd[1]);
  EXPECT_TRUE(same_bytes(data, received));
  EXPECT_EQ(0, kx_ringbuf_write_fd(out.get(), p.fd[0], 10)) << "nothing buffered";

  // Now the other way round: everything the peer sent, until it would block.
  ASSERT_EQ((ssize_t)100000, write(p.fd[0], data.data(), 100000));
  EXPECT_EQ(100000, kx_ringbuf_read_fd(in.get(), p.fd[1]));
  errno = 0;
  EXPECT_EQ(-1, kx_ringbuf_read_fd(in.get(), p.fd[1]));
  EXPECT_EQ(EAGAIN, errno);
  ASSERT_EQ((ssize_t)50, write(p.fd[0], data.data() + 100000, 50));
  p.close_end(0);
  EXPECT_EQ(50, kx_ringbuf_read_fd(in.get(), p.fd[1])) << "bytes, then the end of the stream";
  EXPECT_EQ(0, kx_ringbuf_read_fd(in.get(), p.fd[1])) << "end of stream";
  EXPECT_TRUE(same_bytes(data.substr(0, 100050), read_all(in.get(), 200000)));
  EXPECT_EQ(-EPIPE, (kx_ringbuf_write(out.get(), "x", 1), kx_ringbuf_write_fd(out.get(), p.fd[1], 1)));
  EXPECT_EQ(1u, kx_ringbuf_used(out.get())) << "a failed write consumes nothing";
}

TEST_F(RingbufTest, ReadFdStopsWhenFull) {
  Pair p;
  Ring in(kx_ringbuf_new(CHUNK));
  std::string data = pattern(CHUNK + 5000, 5);
  size_t sent = 0;
  while (kx_ringbuf_space(in.get()) > 0) {
    ssize_t n = write(p.fd[0], data.data() + sent, data.size() - sent);
    if (n > 0) sent += (size_t)n;
    int r = kx_ringbuf_read_fd(in.get(), p.fd[1]);
    ASSERT_TRUE(r > 0 || (r == -1 && errno == EAGAIN)) << r;
  }
  EXPECT_EQ(0, kx_ringbuf_read_fd(in.get(), p.fd[1])) << "a full ring buffer reads nothing";
  EXPECT_TRUE(same_bytes(data.substr(0, CHUNK), read_all(in.get(), CHUNK)));
  while (sent < data.size()) {
    ssize_t n = write(p.fd[0], data.data() + sent, data.size() - sent);
    if (n > 0) sent += (size_t)n;
  }
  EXPECT_EQ(5000, kx_ringbuf_read_fd(in.get(), p.fd[1]));
  EXPECT_TRUE(same_bytes(data.substr(CHUNK), read_all(in.get(), CHUNK)));
}

// ---- framing ----

std::string frame(uint32_t type, const std::string &payload, uint32_t len_field) {
  std::string f = {(char)(type >> 24), (char)(type >> 16), (char)(type >> 8), (char)type,
                   (char)(len_field >> 8), (char)len_field};
  return f + payload;
}

std::string frame(uint32_t type, const std::string &payload) {
  return frame(type, payload, (uint32_t)payload.size());
}

struct MsgDeleter {
  void operator()(kx_msg_t *m) const { kx_msg_free(m); }
};
using Msg = std::unique_ptr<kx_msg_t, MsgDeleter>;

TEST_F(RingbufTest, FrameLayout) {
  Ring rb(kx_ringbuf_new(CHUNK));
  Msg m(kx_msg_new(0x10001));
  kx_msg_put_uint16(m.get(), 0x6000);
  EXPECT_EQ(1, kx_msg_write_to_ringbuf(rb.get(), m.get()));
  EXPECT_EQ(std::string("\x00\x01\x00\x01\x00\x02\x60\x00", 8), read_all(rb.get(), 100));
  EXPECT_EQ(2, m->len) << "the message is not changed";
}

TEST_F(RingbufTest, FramingCases) {
  struct Case {
    const char *what;
    std::string bytes;
    bool complete;
    int ex_len;          // -1: no message
    bool ex_broken;
    uint32_t ex_left;    // bytes left after the allocating reader
    uint32_t into_left;  // bytes left after the reader into a message
  } cases[] = {
      {"5 bytes", std::string(5, '\0'), false, -1, false, 5, 5},
      {"12 of 16", frame(7, std::string(6, 'a'), 10), false, -1, false, 12, 12},
      {"16 of 16", frame(7, std::string(10, 'a')), true, 10, false, 0, 0},
      {"empty payload", frame(9, "") + "xy", true, 0, false, 2, 2},
      {"40000 of 50000", frame(7, std::string(49994, 'b'), 40000), true, -1, true, 10000, 9994},
      {"40000 of 40003", frame(7, std::string(39997, 'b'), 40000), false, -1, true, 3, 0},
      {"40000 of 39999", frame(7, std::string(39993, 'b'), 40000), false, -1, true, 39999, 39999},
      {"longest", frame(7, std::string(32768, 'c')), true, 32768, false, 0, 0},
  };
  kx_log_print_level = KX_LOG_WARNING;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Ring a(kx_ringbuf_new(CHUNK)), b(kx_ringbuf_new(CHUNK));
    kx_ringbuf_write(a.get(), c.bytes.data(), (uint32_t)c.bytes.size());
    kx_ringbuf_write(b.get(), c.bytes.data(), (uint32_t)c.bytes.size());
    EXPECT_EQ(c.complete, kx_msg_ringbuf_complete(a.get()) != 0);

    uint8_t broken = 0;
    CaptureStderr();
    Msg m(kx_msg_read_from_ringbuf_ex(a.get(), &broken));
    std::string log = GetCapturedStderr();
    EXPECT_EQ(c.ex_len, m ? (int)m->len : -1);
    if (m) {
      EXPECT_EQ(0, m->pos);
      EXPECT_EQ(0, memcmp(c.bytes.data() + 6, m->data, m->len));
      EXPECT_EQ((uint32_t)(uint8_t)c.bytes[3], m->type);
    }
    EXPECT_EQ(c.ex_broken, broken != 0);
    EXPECT_EQ(c.ex_broken ? "[General:Warning] Totally broken message - size = 40000\n" : "", log);
    EXPECT_EQ(c.ex_left, kx_ringbuf_used(a.get()));

    Msg into(kx_msg_new(0x55));
    kx_msg_put_data(into.get(), "old", 3);
    into->pos = 2;
    CaptureStderr();
    int got = kx_msg_read_into_from_ringbuf(b.get(), into.get());
    EXPECT_EQ(log, GetCapturedStderr());
    EXPECT_EQ(c.ex_len >= 0, got != 0);
    if (got) {
      EXPECT_EQ((int)into->len, c.ex_len);
      EXPECT_EQ(0, into->pos);
      EXPECT_EQ((uint32_t)(uint8_t)c.bytes[3], into->type);
    } else {
      EXPECT_EQ(0x55u, into->type) << "a failed read leaves the message as it was";
      EXPECT_EQ(3, into->len);
      EXPECT_EQ(2, into->pos);
      EXPECT_EQ(0, memcmp(into->data, "old", 3));
    }
    EXPECT_EQ(c.into_left, kx_ringbuf_used(b.get()));
  }
}

TEST_F(RingbufTest, WriteNeedsRoomForTheWholeFrame) {
  Msg m(kx_msg_new(1));
  m->len = KX_MSG_MAX_PAYLOAD;
  for (uint32_t space : {32773u, 32774u}) {
    Ring rb(kx_ringbuf_new(CHUNK));
    std::string fill(CHUNK - space, 'f');
    kx_ringbuf_write(rb.get(), fill.data(), (uint32_t)fill.size());
    ASSERT_EQ(space, kx_ringbuf_space(rb.get()));
    EXPECT_EQ(space == 32774u, kx_msg_write_to_ringbuf(rb.get(), m.get()) != 0);
    EXPECT_EQ(space == 32774u ? 0u : space, kx_ringbuf_space(rb.get()));
  }
}

// The framing rules applied to a plain byte queue.
struct FrameModel {
  std::string q;
  bool header(uint32_t *type, uint32_t *len) const {
    if (q.size() < 6) return false;
    const uint8_t *h = (const uint8_t *)q.data();
    *type = (uint32_t)h[0] << 24 | (uint32_t)h[1] << 16 | (uint32_t)h[2] << 8 | h[3];
    *len = (uint32_t)h[4] << 8 | h[5];
    return true;
  }
  // Returns the payload of a read frame; *ok false when none.
  std::string read(bool into, bool *ok, uint32_t *type) {
    uint32_t len;
    *ok = false;
    if (!header(type, &len)) return "";
    if (len > 32768) {
      if (q.size() >= len) q.erase(0, into ? std::min<size_t>(q.size(), 6 + len) : len);
      return "";
    }
    if (q.size() < 6 + len) return "";
    std::string payload = q.substr(6, len);
    q.erase(0, 6 + len);
    *ok = true;
    return payload;
  }
};

TEST_F(RingbufTest, RandomFramingAgainstModel) {
  std::mt19937 rng(11);
  // A stream of frames, some with broken headers.
  std::string stream;
  while (stream.size() < 3000000) {
    uint32_t type = rng();
    if (rng() % 15 == 0) {
      stream += frame(type, pattern(rng() % 70000, (uint32_t)stream.size()), 32769 + rng() % 32767);
    } else {
      uint32_t len = rng() % 6 == 0 ? rng() % 32769 : rng() % 300;
      stream += frame(type, pattern(len, (uint32_t)stream.size()));
    }
  }
  Ring rb(kx_ringbuf_new(2 * CHUNK));
  FrameModel model;
  Msg into(kx_msg_new(0));
  size_t fed = 0;
  int frames = 0;
  while (fed < stream.size() || model.q.size() >= 6) {
    uint32_t n = rng() % 3 == 0 ? rng() % 100000 : rng() % 2000;
    n = std::min<uint32_t>(n, (uint32_t)(stream.size() - fed));
    uint32_t put = kx_ringbuf_write(rb.get(), stream.data() + fed, n);
    model.q += stream.substr(fed, put);
    fed += put;
    for (int reads = rng() % 4; reads > 0; reads--) {
      bool use_into = rng() % 2;
      uint32_t mtype;
      bool ok;
      uint32_t len;
      bool complete = model.header(&mtype, &len) && model.q.size() >= 6 + len;
      ASSERT_EQ(complete, kx_msg_ringbuf_complete(rb.get()) != 0);
      std::string payload = model.read(use_into, &ok, &mtype);
      if (use_into) {
        kx_msg_t before = *into;
        int got = kx_msg_read_into_from_ringbuf(rb.get(), into.get());
        ASSERT_EQ(ok, got != 0);
        if (got) {
          ASSERT_EQ(mtype, into->type);
          ASSERT_EQ(payload, std::string((const char *)into->data, into->len));
        } else {
          ASSERT_EQ(0, memcmp(&before, into.get(), 16 + before.len));
        }
      } else {
        Msg m(kx_msg_read_from_ringbuf(rb.get()));
        ASSERT_EQ(ok, m != nullptr);
        if (m) {
          ASSERT_EQ(mtype, m->type);
          ASSERT_EQ(payload, std::string((const char *)m->data, m->len));
        }
      }
      frames += ok;
      ASSERT_EQ(model.q.size(), kx_ringbuf_used(rb.get()));
    }
    if (fed == stream.size() && model.q.size() >= 6) {
      // Nothing more will arrive: drop a stuck broken header the way a reader would give up.
      uint32_t t, len;
      if (model.header(&t, &len) && (len > 32768 ? model.q.size() < len : model.q.size() < 6 + len)) break;
    }
  }
  std::string rest(kx_ringbuf_used(rb.get()), '\0');
  kx_ringbuf_peek(rb.get(), &rest[0], (uint32_t)rest.size());
  EXPECT_TRUE(same_bytes(model.q, rest));
  EXPECT_GT(frames, 20);
}

}  // namespace
