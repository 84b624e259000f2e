// Chunked byte ring buffers.
//
// Storage grows in 262144-byte chunks attached as bytes are written and
// handed back, as they are read empty, to a process-wide cache of free
// chunks from which later writes take them again. Not thread-safe: ring
// buffers and the cache are used from one thread at a time.
#ifndef KX_RINGBUF_H
#define KX_RINGBUF_H

#include <stdint.h>

#define KX_RINGBUF_CHUNK_SIZE 262144u
/* Position counters drop this multiple of the chunk size when they reach it,
 * so they never wrap while the in-chunk offset stays the same. */
#define KX_RINGBUF_POS_LIMIT 0xFFFC0000u

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kx_ringbuf_chunk {
  uint8_t data[KX_RINGBUF_CHUNK_SIZE];
  struct kx_ringbuf_chunk *next; /* next chunk of the ring buffer or of the cache */
  uint8_t in_use;                /* 1 while a ring buffer holds the chunk */
} kx_ringbuf_chunk_t;

typedef struct kx_ringbuf {
  uint32_t rd_pos; /* next byte to read: offset rd_pos % chunk size in first_chunk */
  uint32_t wr_pos; /* next byte to write: offset wr_pos % chunk size in last_chunk */
  kx_ringbuf_chunk_t *first_chunk; /* null when no chunk is held */
  kx_ringbuf_chunk_t *last_chunk;
  uint32_t max_chunks;
  uint32_t used;
} kx_ringbuf_t;

/* Capacity maxsize / 262144 whole chunks, at least one. */
kx_ringbuf_t *kx_ringbuf_new(uint32_t maxsize);
/* Hands every chunk to the cache and empties the ring buffer. */
void kx_ringbuf_clear(kx_ringbuf_t *rb);
void kx_ringbuf_destroy(kx_ringbuf_t *rb);
uint32_t kx_ringbuf_capacity(const kx_ringbuf_t *rb);
uint32_t kx_ringbuf_space(const kx_ringbuf_t *rb);
uint32_t kx_ringbuf_used(const kx_ringbuf_t *rb);

/* Appends min(n, space) bytes; returns that count. */
uint32_t kx_ringbuf_write(kx_ringbuf_t *rb, const void *data, uint32_t n);
/* Copies (copy) and/or consumes (consume) min(n, used) bytes; returns that count. */
uint32_t kx_ringbuf_read2(kx_ringbuf_t *rb, void *buf, uint32_t n, int consume, int copy);
uint32_t kx_ringbuf_read(kx_ringbuf_t *rb, void *buf, uint32_t n);
uint32_t kx_ringbuf_peek(kx_ringbuf_t *rb, void *buf, uint32_t n);
void kx_ringbuf_skip(kx_ringbuf_t *rb, uint32_t n);

/* Descriptor I/O moves the bytes unchanged: on Windows, fd is a descriptor of
 * the C runtime (not a socket), used in binary mode whatever its own mode. */
/* Reads from fd until the ring buffer is full, the stream ends or a read
 * fails (for a non-blocking fd: would block). Returns the bytes taken in; when
 * none, 0 if full or at end of stream, -1 on failure (errno set) or for a
 * negative fd or null ring buffer. */
int kx_ringbuf_read_fd(kx_ringbuf_t *rb, int fd);
/* Writes up to min(n, 262144) buffered bytes to fd with one write and
 * consumes what was written. Returns that count, 0 when nothing is buffered or
 * nothing was written, -errno when the write fails, -1 for a negative fd, a
 * null ring buffer or n = 0. */
int kx_ringbuf_write_fd(kx_ringbuf_t *rb, int fd, uint32_t n);

/* ---- the process-wide cache of free chunks ---- */

/* Sets the limit (0 = unlimited); returns 1. */
int kx_ringbuf_cache_init(uint32_t limit);
void kx_ringbuf_cache_set_limit(uint32_t limit);
/* Frees every cached chunk. */
void kx_ringbuf_cache_flush(void);
/* Caches bytes / 262144 + 1 new chunks. */
void kx_ringbuf_cache_prefill(int bytes);
/* Hands a chunk to the cache; with a limit set, a cache already holding more
 * than the limit frees it instead. */
void kx_ringbuf_recycle(kx_ringbuf_chunk_t *chunk);
uint32_t kx_ringbuf_cache_count(void);

#ifdef __cplusplus
}
#endif

#endif
