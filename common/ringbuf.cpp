// Chunked ring buffers, their chunk cache, descriptor I/O, and message
// framing over them.
#include "kx_ringbuf.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "kx_log.h"
#include "kx_malloc.h"
#include "kx_msg.h"

namespace {

struct ChunkCache {
  kx_ringbuf_chunk_t *head;
  uint32_t count;
  uint32_t limit;  // 0: unlimited
};

ChunkCache kx_ringbuf_cache;

// Staging buffer of the descriptor operations (single-threaded like the cache).
uint8_t kx_ringbuf_staging[KX_RINGBUF_CHUNK_SIZE];

inline uint32_t min_u32(uint32_t a, uint32_t b) { return a < b ? a : b; }

inline uint32_t advance(uint32_t pos, uint32_t n) {
  pos += n;
  if (pos >= KX_RINGBUF_POS_LIMIT) pos -= KX_RINGBUF_POS_LIMIT;
  return pos;
}

kx_ringbuf_chunk_t *chunk_alloc() {
  kx_ringbuf_chunk_t *chunk = (kx_ringbuf_chunk_t *)kx_malloc("kx_ringbuf_chunk_t", sizeof(kx_ringbuf_chunk_t));
  memset(chunk, 0, sizeof *chunk);
  return chunk;
}

}  // namespace

static kx_ringbuf_chunk_t *kx_ringbuf_chunk_new() {
  kx_ringbuf_chunk_t *ret = kx_ringbuf_cache.head;
  if (ret) {
    KX_BUG_ON_AT(KX_LINE_RINGBUF_CHUNK_IN_USE, ret->in_use);
    kx_ringbuf_cache.head = ret->next;
    kx_ringbuf_cache.count--;
  } else {
    ret = chunk_alloc();
  }
  ret->next = nullptr;
  ret->in_use = 1;
  return ret;
}

void kx_ringbuf_recycle(kx_ringbuf_chunk_t *chunk) {
  KX_BUG_ON_AT(KX_LINE_RINGBUF_CHUNK_FREE, !chunk->in_use);
  chunk->in_use = 0;
  if (kx_ringbuf_cache.limit && kx_ringbuf_cache.count > kx_ringbuf_cache.limit) {
    kx_free(chunk);
    return;
  }
  chunk->next = kx_ringbuf_cache.head;
  kx_ringbuf_cache.head = chunk;
  kx_ringbuf_cache.count++;
}

int kx_ringbuf_cache_init(uint32_t limit) {
  kx_ringbuf_cache.limit = limit;
  // The count follows the list, so that a cache set up again keeps its
  // limit check and flush consistent with the chunks it really holds.
  kx_ringbuf_cache.count = 0;
  for (kx_ringbuf_chunk_t *c = kx_ringbuf_cache.head; c; c = c->next) kx_ringbuf_cache.count++;
  return 1;
}

void kx_ringbuf_cache_set_limit(uint32_t limit) { kx_ringbuf_cache.limit = limit; }

void kx_ringbuf_cache_flush(void) {
  while (kx_ringbuf_chunk_t *chunk = kx_ringbuf_cache.head) {
    kx_ringbuf_cache.head = chunk->next;
    kx_ringbuf_cache.count--;
    kx_free(chunk);
  }
}

void kx_ringbuf_cache_prefill(int bytes) {
  KX_BUG_ON(bytes < 0);
  for (int i = bytes / (int)KX_RINGBUF_CHUNK_SIZE + 1; i > 0; i--) {
    kx_ringbuf_chunk_t *chunk = chunk_alloc();
    chunk->in_use = 1;
    kx_ringbuf_recycle(chunk);
  }
}

uint32_t kx_ringbuf_cache_count(void) { return kx_ringbuf_cache.count; }

kx_ringbuf_t *kx_ringbuf_new(uint32_t maxsize) {
  kx_ringbuf_t *rb = (kx_ringbuf_t *)kx_malloc("kx_ringbuf_t", sizeof(kx_ringbuf_t));
  memset(rb, 0, sizeof *rb);
  rb->max_chunks = maxsize / KX_RINGBUF_CHUNK_SIZE;
  if (rb->max_chunks == 0) rb->max_chunks = 1;
  return rb;
}

void kx_ringbuf_clear(kx_ringbuf_t *rb) {
  kx_ringbuf_chunk_t *chunk = rb->first_chunk;
  while (chunk) {
    kx_ringbuf_chunk_t *next = chunk->next;
    kx_ringbuf_recycle(chunk);
    chunk = next;
  }
  rb->first_chunk = rb->last_chunk = nullptr;
  rb->rd_pos = rb->wr_pos = rb->used = 0;
}

void kx_ringbuf_destroy(kx_ringbuf_t *rb) {
  kx_ringbuf_clear(rb);
  kx_free(rb);
}

uint32_t kx_ringbuf_capacity(const kx_ringbuf_t *rb) { return rb->max_chunks * KX_RINGBUF_CHUNK_SIZE; }

uint32_t kx_ringbuf_space(const kx_ringbuf_t *rb) { return kx_ringbuf_capacity(rb) - rb->used; }

uint32_t kx_ringbuf_used(const kx_ringbuf_t *rb) { return rb->used; }

uint32_t kx_ringbuf_write(kx_ringbuf_t *ringbuf, const void *data, uint32_t n) {
  const uint32_t k = min_u32(n, kx_ringbuf_space(ringbuf));
  const uint8_t *src = (const uint8_t *)data;
  for (uint32_t left = k; left;) {
    uint32_t offset = ringbuf->wr_pos % KX_RINGBUF_CHUNK_SIZE;
    if (offset == 0 || !ringbuf->last_chunk) {
      kx_ringbuf_chunk_t *chunk = kx_ringbuf_chunk_new();
      if (ringbuf->first_chunk) {
        KX_BUG_ON_AT(KX_LINE_RINGBUF_NO_LAST, ringbuf->last_chunk == ((void *)0), "If first chunk exists, so must last");
        ringbuf->last_chunk->next = chunk;
      } else {
        ringbuf->first_chunk = chunk;
      }
      ringbuf->last_chunk = chunk;
    }
    uint32_t m = min_u32(left, KX_RINGBUF_CHUNK_SIZE - offset);
    memcpy(ringbuf->last_chunk->data + offset, src, m);
    src += m;
    left -= m;
    ringbuf->wr_pos = advance(ringbuf->wr_pos, m);
  }
  ringbuf->used += k;
  return k;
}

uint32_t kx_ringbuf_read2(kx_ringbuf_t *rb, void *buf, uint32_t n, int consume, int copy) {
  const uint32_t k = min_u32(n, rb->used);
  const uint32_t rd_pos_at_entry = rb->rd_pos;
  uint8_t *dst = (uint8_t *)buf;
  kx_ringbuf_chunk_t *rd_chunk = rb->first_chunk;
  for (uint32_t left = k; left;) {
    KX_BUG_ON_AT(KX_LINE_RINGBUF_NO_CHUNK, !rd_chunk);
    uint32_t offset = rb->rd_pos % KX_RINGBUF_CHUNK_SIZE;
    uint32_t m = min_u32(left, KX_RINGBUF_CHUNK_SIZE - offset);
    if (copy) {
      memcpy(dst, rd_chunk->data + offset, m);
      dst += m;
    }
    left -= m;
    rb->rd_pos = advance(rb->rd_pos, m);
    if (rb->rd_pos % KX_RINGBUF_CHUNK_SIZE == 0) {
      kx_ringbuf_chunk_t *next = rd_chunk->next;
      if (consume) {
        rb->first_chunk = next;
        if (!next) rb->last_chunk = nullptr;
        kx_ringbuf_recycle(rd_chunk);
      }
      rd_chunk = next;
    }
  }
  if (consume)
    rb->used -= k;
  else
    rb->rd_pos = rd_pos_at_entry;
  return k;
}

uint32_t kx_ringbuf_read(kx_ringbuf_t *rb, void *buf, uint32_t n) { return kx_ringbuf_read2(rb, buf, n, 1, 1); }

uint32_t kx_ringbuf_peek(kx_ringbuf_t *rb, void *buf, uint32_t n) { return kx_ringbuf_read2(rb, buf, n, 0, 1); }

void kx_ringbuf_skip(kx_ringbuf_t *rb, uint32_t n) { kx_ringbuf_read2(rb, nullptr, n, 1, 0); }

// One read (out false) or write of at most a chunk: the count fits an int
// on every platform.
#ifdef _WIN32
// A descriptor of the Windows C runtime may be in text mode, which turns CR LF
// into LF (and LF into CR LF on writes) and ends a read at a Ctrl-Z byte: the
// frames would be corrupted. Each transfer runs in binary mode, and the
// descriptor gets its own mode back.
static int kx_fd_transfer(int fd, void *buf, uint32_t n, bool out) {
  const int mode = _setmode(fd, _O_BINARY);
  const int r = out ? _write(fd, buf, n) : _read(fd, buf, n);
  const int err = errno;
  if (mode != -1 && mode != _O_BINARY) _setmode(fd, mode);
  errno = err;
  return r;
}
#else
static int kx_fd_transfer(int fd, void *buf, uint32_t n, bool out) {
  return (int)(out ? write(fd, buf, n) : read(fd, buf, n));
}
#endif

int kx_ringbuf_read_fd(kx_ringbuf_t *rb, int fd) {
  if (fd < 0 || !rb) return -1;
  if (kx_ringbuf_space(rb) == 0) return 0;
  int total = 0;
  int got;
  for (;;) {
    got = kx_fd_transfer(fd, kx_ringbuf_staging, min_u32(kx_ringbuf_space(rb), KX_RINGBUF_CHUNK_SIZE), false);
    if (got < 1) break;
    kx_ringbuf_write(rb, kx_ringbuf_staging, (uint32_t)got);
    total += got;
    // The count must stay an int: a huge ring buffer is filled over several calls.
    if (kx_ringbuf_space(rb) == 0 || total > INT_MAX - (int)KX_RINGBUF_CHUNK_SIZE) return total;
  }
  return total ? total : got;
}

int kx_ringbuf_write_fd(kx_ringbuf_t *rb, int fd, uint32_t n) {
  if (fd < 0 || !rb || n == 0) return -1;
  // One write through the staging buffer: larger requests write its size.
  uint32_t k = kx_ringbuf_peek(rb, kx_ringbuf_staging, min_u32(n, KX_RINGBUF_CHUNK_SIZE));
  if (k == 0) return 0;
  int put = kx_fd_transfer(fd, kx_ringbuf_staging, k, true);
  if (put == 0) return 0;
  if (put < 0) return -errno;
  kx_ringbuf_skip(rb, (uint32_t)put);
  return put;
}

// ---- framing ----

// Peeks the frame header; 0 when fewer than 6 bytes are buffered.
static int kx_msg_peek_header(kx_ringbuf_t *rb, uint32_t *type, uint32_t *len) {
  uint8_t h[KX_MSG_FRAME_HEADER];
  if (kx_ringbuf_peek(rb, h, sizeof h) < sizeof h) return 0;
  *type = (uint32_t)h[0] << 24 | (uint32_t)h[1] << 16 | (uint32_t)h[2] << 8 | h[3];
  *len = (uint32_t)h[4] << 8 | h[5];
  return 1;
}

static void kx_msg_log_broken(uint32_t len) {
  KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_WARNING, "Totally broken message - size = %d", (int)len);
}

int kx_msg_ringbuf_complete(kx_ringbuf_t *rb) {
  uint32_t type, len;
  return kx_msg_peek_header(rb, &type, &len) && rb->used >= KX_MSG_FRAME_HEADER + len;
}

kx_msg_t *kx_msg_read_from_ringbuf_ex(kx_ringbuf_t *rb, uint8_t *broken) {
  uint32_t type, len;
  if (!kx_msg_peek_header(rb, &type, &len)) return nullptr;
  if (len > KX_MSG_MAX_PAYLOAD) {
    kx_msg_log_broken(len);
    if (broken) *broken = 1;
    if (rb->used >= len) kx_ringbuf_skip(rb, len);
    return nullptr;
  }
  if (rb->used < KX_MSG_FRAME_HEADER + len) return nullptr;
  kx_msg_t *msg = kx_msg_new(type);
  kx_ringbuf_skip(rb, KX_MSG_FRAME_HEADER);
  kx_ringbuf_read(rb, msg->data, len);
  msg->len = (uint16_t)len;
  return msg;
}

kx_msg_t *kx_msg_read_from_ringbuf(kx_ringbuf_t *rb) { return kx_msg_read_from_ringbuf_ex(rb, nullptr); }

int kx_msg_read_into_from_ringbuf(kx_ringbuf_t *rb, kx_msg_t *msg) {
  KX_BUG_ON(msg == ((void *)0));
  uint32_t type, len;
  if (!kx_msg_peek_header(rb, &type, &len)) return 0;
  if (len > KX_MSG_MAX_PAYLOAD) {
    kx_msg_log_broken(len);
    if (rb->used >= len) kx_ringbuf_skip(rb, KX_MSG_FRAME_HEADER + len);
    return 0;
  }
  if (rb->used < KX_MSG_FRAME_HEADER + len) return 0;
  kx_ringbuf_skip(rb, KX_MSG_FRAME_HEADER);
  kx_ringbuf_read(rb, msg->data, len);
  msg->type = type;
  msg->len = (uint16_t)len;
  msg->pos = 0;
  return 1;
}

int kx_msg_write_to_ringbuf(kx_ringbuf_t *rb, const kx_msg_t *msg) {
  if (kx_ringbuf_space(rb) < (uint32_t)msg->len + KX_MSG_FRAME_HEADER) return 0;
  const uint8_t h[KX_MSG_FRAME_HEADER] = {(uint8_t)(msg->type >> 24), (uint8_t)(msg->type >> 16),
                                          (uint8_t)(msg->type >> 8),  (uint8_t)msg->type,
                                          (uint8_t)(msg->len >> 8),   (uint8_t)msg->len};
  kx_ringbuf_write(rb, h, sizeof h);
  kx_ringbuf_write(rb, msg->data, msg->len);
  return 1;
}
