// Ring buffers, the chunk cache, descriptor I/O and message framing.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#else
#include <signal.h>
#include <sys/socket.h>
#endif

#include <memory>
#include <random>
#include <string>
#include <tuple>

#include "kx_log.h"
#include "kx_malloc.h"
#include "kx_msg.h"
#include "kx_ringbuf.h"

namespace {

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
struct MsgDeleter {
  void operator()(kx_msg_t *m) const { kx_msg_free(m); }
};
using Msg = std::unique_ptr<kx_msg_t, MsgDeleter>;

uint32_t held_chunks(const kx_ringbuf_t *rb) {
  uint32_t n = 0;
  for (const kx_ringbuf_chunk_t *c = rb->first_chunk; c; c = c->next) n++;
  return n;
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
  void TearDown() override { kx_ringbuf_cache_flush(); }
};

TEST_F(RingbufTest, CapacityInWholeChunks) {
  const uint32_t cases[][2] = {{100, CHUNK}, {524288, 524288}, {1000000, 786432}, {UINT32_MAX, KX_RINGBUF_POS_LIMIT}};
  for (auto &c : cases) {
    Ring rb(kx_ringbuf_new(c[0]));
    EXPECT_EQ(c[1], kx_ringbuf_space(rb.get())) << c[0];
  }
}

TEST_F(RingbufTest, ChunksComeAndGoThroughTheCache) {
  Ring rb(kx_ringbuf_new(524288));
  std::string data = pattern(600000, 1);
  EXPECT_EQ(524288u, kx_ringbuf_write(rb.get(), data.data(), (uint32_t)data.size())) << "only what fits";
  kx_ringbuf_clear(rb.get());
  EXPECT_EQ(2u, kx_ringbuf_cache_count());
  EXPECT_EQ(300000u, kx_ringbuf_write(rb.get(), data.data(), 300000));
  EXPECT_EQ(0u, kx_ringbuf_cache_count()) << "both chunks were taken from the cache";
  std::string head(10, '\0');
  EXPECT_EQ(10u, kx_ringbuf_peek(rb.get(), &head[0], 10));
  EXPECT_EQ(data.substr(0, 10), head);
  EXPECT_EQ(data.substr(0, CHUNK), read_all(rb.get(), CHUNK));
  EXPECT_EQ(1u, kx_ringbuf_cache_count()) << "the first chunk was recycled";
  EXPECT_EQ(data.substr(CHUNK, 300000 - CHUNK), read_all(rb.get(), 1000000));
  EXPECT_EQ(1u, held_chunks(rb.get())) << "a read ending inside a chunk keeps it";
}

TEST_F(RingbufTest, PositionCountersStayBelowTheLimit) {
  Ring rb(kx_ringbuf_new(524288));
  rb->rd_pos = rb->wr_pos = KX_RINGBUF_POS_LIMIT - 16;
  std::string data = pattern(CHUNK + 1000, 2);
  EXPECT_EQ(data.size(), kx_ringbuf_write(rb.get(), data.data(), (uint32_t)data.size()));
  EXPECT_EQ(CHUNK + 1000 - 16, rb->wr_pos);
  EXPECT_EQ(data, read_all(rb.get(), (uint32_t)data.size()));
}

TEST_F(RingbufTest, CacheLimitAndPrefill) {
  // Cached chunks around recycling one more chunk.
  struct Case { uint32_t limit; int prefill; uint32_t before, after; };
  const Case cases[] = {{2, (int)CHUNK, 2, 3}, {2, 2 * (int)CHUNK, 3, 3}, {0, 0, 1, 2}};
  std::string data(2 * CHUNK, 'd');
  for (const Case &c : cases) {
    SCOPED_TRACE(c.prefill);
    kx_ringbuf_cache_flush();
    kx_ringbuf_cache_init(c.limit);
    Ring rb(kx_ringbuf_new(2 * CHUNK));
    kx_ringbuf_write(rb.get(), data.data(), (uint32_t)data.size());  // two new chunks
    kx_ringbuf_cache_prefill(c.prefill);
    EXPECT_EQ(c.before, kx_ringbuf_cache_count());
    kx_ringbuf_skip(rb.get(), CHUNK);
    EXPECT_EQ(c.after, kx_ringbuf_cache_count());
    kx_malloc_stats_t s;
    kx_malloc_stats_get("kx_ringbuf_chunk_t", &s);
    EXPECT_EQ(c.after + 1, s.current_entries) << "the cache and the ring buffer hold every live chunk";
  }
}

// Bytes that a descriptor in text mode (the Windows C runtime's default)
// would change: CR LF, a lone LF, Ctrl-Z, all 256 byte values.
TEST_F(RingbufTest, DescriptorsCarryEveryByteUnchanged) {
  int fd[2];
#ifdef _WIN32
  ASSERT_EQ(0, _pipe(fd, 65536, _O_TEXT));
#else
  ASSERT_EQ(0, pipe(fd));
#endif
  Ring out(kx_ringbuf_new(CHUNK)), in(kx_ringbuf_new(CHUNK));
  EXPECT_EQ(-1, kx_ringbuf_write_fd(out.get(), fd[1], 0));
  EXPECT_EQ(-1, kx_ringbuf_write_fd(out.get(), -1, 10));
  EXPECT_EQ(-1, kx_ringbuf_read_fd(in.get(), -1));
  EXPECT_EQ(0, kx_ringbuf_write_fd(out.get(), fd[1], 10)) << "nothing buffered";
  std::string data = "a\r\nb\nc\x1a";
  for (int b = 0; b < 256; b++) data += (char)b;
  kx_ringbuf_write(out.get(), data.data(), (uint32_t)data.size());
  EXPECT_EQ((int)data.size(), kx_ringbuf_write_fd(out.get(), fd[1], CHUNK));
  EXPECT_EQ(0u, kx_ringbuf_used(out.get()));
  close(fd[1]);
  EXPECT_EQ((int)data.size(), kx_ringbuf_read_fd(in.get(), fd[0])) << "bytes, then the end of the stream";
  EXPECT_EQ(0, kx_ringbuf_read_fd(in.get(), fd[0])) << "end of stream";
  EXPECT_EQ(data, read_all(in.get(), CHUNK));
#ifdef _WIN32
  EXPECT_EQ(_O_TEXT, _setmode(fd[0], _O_BINARY)) << "the descriptor keeps its own mode";
#endif
  close(fd[0]);
}

#ifndef _WIN32
std::string drain(int fd) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
  return out;
}
#endif

TEST_F(RingbufTest, DescriptorsOverANonBlockingSocketPair) {
#ifdef _WIN32
  GTEST_SKIP() << "the Windows C runtime has no socket descriptors and no non-blocking mode";
#else
  signal(SIGPIPE, SIG_IGN);
  int fd[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd));
  for (int f : fd) fcntl(f, F_SETFL, fcntl(f, F_GETFL) | O_NONBLOCK);
  Ring out(kx_ringbuf_new(2 * CHUNK)), in(kx_ringbuf_new(CHUNK));
  std::string data = pattern(400000, 4), received;
  kx_ringbuf_write(out.get(), data.data(), (uint32_t)data.size());
  while (kx_ringbuf_used(out.get())) {
    uint32_t before = kx_ringbuf_used(out.get());
    int w = kx_ringbuf_write_fd(out.get(), fd[0], 1000000);
    if (w == -EAGAIN) received += drain(fd[1]);
    ASSERT_TRUE(w == -EAGAIN || (w > 0 && w <= (int)CHUNK)) << w;
    EXPECT_EQ(before - (w > 0 ? w : 0), kx_ringbuf_used(out.get()));
  }
  EXPECT_EQ(data, received + drain(fd[1]));

  // Reading: everything the peer sent until the ring buffer is full or the read would block.
  ASSERT_EQ((ssize_t)100000, write(fd[0], data.data(), 100000));
  EXPECT_EQ(100000, kx_ringbuf_read_fd(in.get(), fd[1]));
  errno = 0;
  EXPECT_EQ(-1, kx_ringbuf_read_fd(in.get(), fd[1]));
  EXPECT_EQ(EAGAIN, errno);
  ASSERT_EQ((ssize_t)200000, write(fd[0], data.data() + 100000, 200000));
  EXPECT_EQ((int)CHUNK - 100000, kx_ringbuf_read_fd(in.get(), fd[1]));
  EXPECT_EQ(0, kx_ringbuf_read_fd(in.get(), fd[1])) << "full";
  EXPECT_EQ(data.substr(0, CHUNK), read_all(in.get(), CHUNK));
  close(fd[0]);
  EXPECT_EQ(300000 - (int)CHUNK, kx_ringbuf_read_fd(in.get(), fd[1])) << "bytes, then the end of the stream";
  kx_ringbuf_write(out.get(), "x", 1);
  EXPECT_EQ(-EPIPE, kx_ringbuf_write_fd(out.get(), fd[1], 1));
  EXPECT_EQ(1u, kx_ringbuf_used(out.get())) << "a failed write consumes nothing";
  close(fd[1]);
#endif
}

std::string frame(uint32_t type, const std::string &payload, uint32_t len_field) {
  return std::string{(char)(type >> 24), (char)(type >> 16), (char)(type >> 8), (char)type, (char)(len_field >> 8),
                     (char)len_field} + payload;
}

TEST_F(RingbufTest, FramingReaders) {
  struct Case {
    const char *what;
    std::string bytes;
    bool complete;
    int len;             // -1: no message
    bool broken;
    uint32_t ex_left;    // bytes left after the allocating reader
    uint32_t into_left;  // bytes left after the reader into a message
  } cases[] = {
      {"5 bytes", std::string(5, '\0'), false, -1, false, 5, 5},
      {"12 of 16", frame(7, std::string(6, 'a'), 10), false, -1, false, 12, 12},
      {"16 of 16", frame(0x10007, std::string(10, 'a'), 10), true, 10, false, 0, 0},
      {"empty payload", frame(9, "xy", 0), true, 0, false, 2, 2},
      {"40000 of 50000", frame(7, std::string(49994, 'b'), 40000), true, -1, true, 10000, 9994},
      {"40000 of 40003", frame(7, std::string(39997, 'b'), 40000), false, -1, true, 3, 0},
      {"40000 of 39999", frame(7, std::string(39993, 'b'), 40000), false, -1, true, 39999, 39999},
      {"longest", frame(7, std::string(32768, 'c'), 32768), true, 32768, false, 0, 0},
  };
  kx_log_print_level = KX_LOG_WARNING;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Ring a(kx_ringbuf_new(CHUNK)), b(kx_ringbuf_new(CHUNK));
    kx_ringbuf_write(a.get(), c.bytes.data(), (uint32_t)c.bytes.size());
    kx_ringbuf_write(b.get(), c.bytes.data(), (uint32_t)c.bytes.size());
    EXPECT_EQ(c.complete, kx_msg_ringbuf_complete(a.get()) != 0);
    uint8_t broken = 0;
    testing::internal::CaptureStderr();
    Msg m(kx_msg_read_from_ringbuf_ex(a.get(), &broken));
    Msg into(kx_msg_new(0x55));
    kx_msg_put_data(into.get(), "old", 3);
    into->pos = 2;
    int got = kx_msg_read_into_from_ringbuf(b.get(), into.get());
    const std::string line = "[General:Warning] Totally broken message - size = 40000\n";
    EXPECT_EQ(c.broken ? line + line : "", testing::internal::GetCapturedStderr()) << "one line from each reader";
    EXPECT_EQ(c.broken, broken != 0);
    EXPECT_EQ(c.ex_left, kx_ringbuf_used(a.get()));
    EXPECT_EQ(c.into_left, kx_ringbuf_used(b.get()));
    ASSERT_EQ(c.len, m ? (int)m->len : -1);
    ASSERT_EQ(c.len >= 0, got != 0);
    if (m) {
      EXPECT_EQ(0, memcmp(c.bytes.data() + 6, m->data, m->len));
      EXPECT_EQ((uint32_t)(uint8_t)c.bytes[1] << 16 | (uint8_t)c.bytes[3], m->type);
    }
    // A failed read leaves the caller's message as it was.
    const kx_msg_t want = m ? *m : kx_msg_t{0x55, 2, 3, {0}, {'o', 'l', 'd'}};
    EXPECT_EQ(0, memcmp(&want, into.get(), offsetof(kx_msg_t, data) + want.len));
  }
  kx_log_print_level = KX_LOG_ALERT;
}

TEST_F(RingbufTest, FrameWriter) {
  Ring rb(kx_ringbuf_new(CHUNK));
  Msg m(kx_msg_new(0x10001));
  kx_msg_put_uint16(m.get(), 0x6000);
  EXPECT_EQ(1, kx_msg_write_to_ringbuf(rb.get(), m.get()));
  EXPECT_EQ(std::string("\x00\x01\x00\x01\x00\x02\x60\x00", 8), read_all(rb.get(), 100));
  m->len = KX_MSG_MAX_PAYLOAD;  // needs 32774 bytes of space
  for (uint32_t space : {32773u, 32774u}) {
    std::string fill(kx_ringbuf_space(rb.get()) - space, 'f');
    kx_ringbuf_write(rb.get(), fill.data(), (uint32_t)fill.size());
    EXPECT_EQ(space == 32774u, kx_msg_write_to_ringbuf(rb.get(), m.get()) != 0);
    EXPECT_EQ(space == 32774u ? 0u : space, kx_ringbuf_space(rb.get()));
    kx_ringbuf_clear(rb.get());
  }
}

}  // namespace
