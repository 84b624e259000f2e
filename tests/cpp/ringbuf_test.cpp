// Ring buffers: the chunk cache, position limits, descriptors in text mode and the broken-frame warning (bytes in and
// out, peeks, skips, descriptor I/O and both frame readers against a byte-queue model are the fuzz target's; the
// descriptor errors are tests/python/test_msgmodule.py's).
#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

#include "kxtest.h"

const uint32_t CHUNK = KX_RINGBUF_CHUNK_SIZE;

// Bytes that do not repeat at any chunk-sized distance.
std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = (char)((i * 2654435761u) >> 11);
  return s;
}

using Ring = std::unique_ptr<kx_ringbuf_t, void (*)(kx_ringbuf_t *)>;
Ring ring(uint32_t maxsize) { return Ring(kx_ringbuf_new(maxsize), kx_ringbuf_destroy); }

std::string read_all(kx_ringbuf_t *rb, uint32_t n) {
  std::string out(n, '\0');
  out.resize(kx_ringbuf_read(rb, &out[0], n));
  return out;
}

TEST(RingbufTest, ChunksComeAndGoThroughTheCacheAndPositionsStayBelowTheLimit) {
  kx_ringbuf_cache_flush();
  kx_ringbuf_cache_init(0);
  Ring rb = ring(524288), wraps = ring(524288);
  std::string data = pattern(600000);
  EXPECT_EQ(524288u, kx_ringbuf_write(rb.get(), data.data(), (uint32_t)data.size())) << "only what fits";
  kx_ringbuf_clear(rb.get());
  EXPECT_EQ(2u, kx_ringbuf_cache_count());
  EXPECT_EQ(300000u, kx_ringbuf_write(rb.get(), data.data(), 300000));
  EXPECT_EQ(0u, kx_ringbuf_cache_count()) << "both chunks were taken from the cache";
  EXPECT_EQ(data.substr(0, CHUNK), read_all(rb.get(), CHUNK));
  EXPECT_EQ(1u, kx_ringbuf_cache_count()) << "the first chunk was recycled";
  EXPECT_EQ(data.substr(CHUNK, 300000 - CHUNK), read_all(rb.get(), 1000000));
  EXPECT_TRUE(rb->first_chunk && !rb->first_chunk->next) << "a read ending inside a chunk keeps it";
  wraps->rd_pos = wraps->wr_pos = KX_RINGBUF_POS_LIMIT - 16;
  EXPECT_EQ(CHUNK + 1000, kx_ringbuf_write(wraps.get(), data.data(), CHUNK + 1000));
  EXPECT_EQ(CHUNK + 1000 - 16, wraps->wr_pos);
  EXPECT_EQ(data.substr(0, CHUNK + 1000), read_all(wraps.get(), CHUNK + 1000));
  rb.reset(), wraps.reset();  // cached chunks around recycling one more chunk:
  struct Case { uint32_t limit; int prefill; uint32_t before, after; };
  const Case cases[] = {{2, (int)CHUNK, 2, 3}, {2, 2 * (int)CHUNK, 3, 3}, {0, 0, 1, 2}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.prefill);
    kx_ringbuf_cache_flush();
    kx_ringbuf_cache_init(c.limit);
    Ring two = ring(2 * CHUNK);
    kx_ringbuf_write(two.get(), data.data(), 2 * CHUNK);  // two new chunks
    kx_ringbuf_cache_prefill(c.prefill);
    EXPECT_EQ(c.before, kx_ringbuf_cache_count());
    kx_ringbuf_skip(two.get(), CHUNK);
    EXPECT_EQ(c.after, kx_ringbuf_cache_count());
    kx_malloc_stats_t s;
    kx_malloc_stats_get("kx_ringbuf_chunk_t", &s);
    EXPECT_EQ(c.after + 1, s.current_entries) << "the cache and the ring buffer hold every live chunk";
  }
}

// Bytes that a descriptor in text mode (the Windows C runtime's default)
// would change: CR LF, a lone LF, Ctrl-Z, all 256 byte values.
TEST(RingbufTest, DescriptorsCarryEveryByteUnchangedAndBrokenFramesWarn) {
  int fd[2];
#ifdef _WIN32
  ASSERT_EQ(0, _pipe(fd, 65536, _O_TEXT));
#else
  ASSERT_EQ(0, pipe(fd));
#endif
  Ring out = ring(CHUNK), in = ring(CHUNK);
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
  const std::string bytes = std::string("\0\0\0\7\x9c\x40", 6) + std::string(49994, 'b');  // claims 40000 bytes
  kx_ringbuf_write(in.get(), bytes.data(), (uint32_t)bytes.size());
  kx_log_print_level = KX_LOG_WARNING;
  uint8_t broken = 0;
  EXPECT_EQ("[General:Warning] Totally broken message - size = 40000\n",
            stderr_of([&] { EXPECT_EQ(nullptr, kx_msg_read_from_ringbuf_ex(in.get(), &broken)); }));
}
