// The message buffer and its wire primitives.
//
// Every protocol message lives in one kx_msg_t: a type word, a read position,
// a length and a 32768-byte payload. Gets read big-endian fields at `pos`;
// puts append them at `len`. A get that fails returns 0 and zeroes its output;
// a put that does not fit writes nothing and returns null.
#ifndef KX_MSG_H
#define KX_MSG_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "kx_ipaddr.h"
#include "kx_log.h"

// The frame header's size and the largest payload, as the protocol defines them.
#define KX_FRAME(NAME, value) enum { KX_FRAME_##NAME = value };
#include "../protocol/kx_protocol.def"
#define KX_MSG_MAX_PAYLOAD ((uint32_t)KX_FRAME_MAX_PAYLOAD)
#define KX_MSG_FRAME_HEADER ((uint32_t)KX_FRAME_HEADER)

typedef struct kx_msg {
  uint32_t type;
  uint16_t pos;
  uint16_t len;
  uint8_t reserved[8];
  uint8_t data[KX_MSG_MAX_PAYLOAD];
} kx_msg_t;

#ifdef __cplusplus
static_assert(sizeof(kx_msg_t) == 32784, "kx_msg_t is 16 header bytes and the payload");
static_assert(offsetof(kx_msg_t, data) == 16, "payload follows the 16-byte header");
#endif

/* Bug reports of the primitives name this header and fixed places in it
 * (kx_report_lines.h), so that a report reads the same whichever caller the
 * primitive was expanded in. */
#define KX_MSG_H_FILE "include/kx_msg.h"
#define KX_MSG_BUG(line, func, what) kx_bug(KX_MSG_H_FILE, (line), (func), "%s  ", (what))
#define KX_MSG_CHECK_PUT(msg) \
  do { if (__builtin_expect((msg) == NULL, 0)) KX_MSG_BUG(KX_LINE_MSG_PUT_DATA, "kx_msg_put_data", "msg == ((void *)0)"); } while (0)
#define KX_MSG_CHECK_GET(msg, buf)                                                          \
  do {                                                                                      \
    if (__builtin_expect((msg) == NULL, 0)) KX_MSG_BUG(KX_LINE_MSG_GET_DATA, "kx_msg_get_data", "msg == ((void *)0)"); \
    if (__builtin_expect((buf) == NULL, 0)) KX_MSG_BUG(KX_LINE_MSG_GET_DATA_BUF, "kx_msg_get_data", "buf == ((void *)0)"); \
  } while (0)

#ifdef __cplusplus
extern "C" {
#endif

/* ---- whole-message operations ---- */

static inline void kx_msg_init(kx_msg_t *msg, uint32_t type) {
  KX_MSG_CHECK_PUT(msg);
  msg->type = type;
  msg->pos = 0;
  msg->len = 0;
}

static inline int kx_msg_is_empty(const kx_msg_t *msg) { return msg->len == 0; }

static inline uint32_t kx_msg_free_bytes(const kx_msg_t *msg) { return KX_MSG_MAX_PAYLOAD - msg->len; }

/* Bytes left to read. */
static inline uint32_t kx_msg_remaining(const kx_msg_t *msg) {
  return msg->len > msg->pos ? (uint32_t)(msg->len - msg->pos) : 0u;
}

/* ---- write primitives ---- */

static inline void *kx_msg_put_data(kx_msg_t *msg, const void *data, uint32_t n) {
  KX_MSG_CHECK_PUT(msg);
  if ((uint32_t)msg->len + (uint64_t)n > KX_MSG_MAX_PAYLOAD) return NULL;
  uint8_t *dst = msg->data + msg->len;
  if (n) memcpy(dst, data, n);
  msg->len = (uint16_t)(msg->len + n);
  return dst;
}

static inline void *kx_msg_put_uint8(kx_msg_t *msg, uint8_t v) { return kx_msg_put_data(msg, &v, 1); }

static inline void *kx_msg_put_uint16(kx_msg_t *msg, uint16_t v) {
  uint16_t be = __builtin_bswap16(v);
  return kx_msg_put_data(msg, &be, 2);
}

static inline void *kx_msg_put_uint32(kx_msg_t *msg, uint32_t v) {
  uint32_t be = __builtin_bswap32(v);
  return kx_msg_put_data(msg, &be, 4);
}

static inline void *kx_msg_put_uint64(kx_msg_t *msg, uint64_t v) {
  uint64_t be = __builtin_bswap64(v);
  return kx_msg_put_data(msg, &be, 8);
}

/* A text goes out as u32 (strlen + 1) and the text with its zero byte; null as u32 0.
 * The result points at the text bytes (for null, at the length word). */
static inline void *kx_msg_put_string(kx_msg_t *msg, const char *text) {
  KX_MSG_CHECK_PUT(msg);
  if (text == NULL) return kx_msg_put_uint32(msg, 0);
  size_t n = strlen(text) + 1;
  if ((uint64_t)msg->len + 4 + n > KX_MSG_MAX_PAYLOAD) return NULL;
  kx_msg_put_uint32(msg, (uint32_t)n);
  return kx_msg_put_data(msg, text, (uint32_t)n);
}

/* ---- read primitives ---- */

static inline int kx_msg_has(const kx_msg_t *msg, uint32_t n) {
  return (uint32_t)msg->pos + (uint64_t)n <= msg->len;
}

static inline int kx_msg_get_data(kx_msg_t *msg, void *buf, uint32_t n) {
  KX_MSG_CHECK_GET(msg, buf);
  if (!kx_msg_has(msg, n)) {
    memset(buf, 0, n);
    return 0;
  }
  memcpy(buf, msg->data + msg->pos, n);
  msg->pos = (uint16_t)(msg->pos + n);
  return 1;
}

static inline int kx_msg_get_uint8(kx_msg_t *msg, uint8_t *out) { return kx_msg_get_data(msg, out, 1); }

static inline int kx_msg_get_uint16(kx_msg_t *msg, uint16_t *out) {
  if (!kx_msg_get_data(msg, out, 2)) return 0;
  *out = __builtin_bswap16(*out);
  return 1;
}

static inline int kx_msg_get_uint32(kx_msg_t *msg, uint32_t *out) {
  if (!kx_msg_get_data(msg, out, 4)) return 0;
  *out = __builtin_bswap32(*out);
  return 1;
}

static inline int kx_msg_get_uint64(kx_msg_t *msg, uint64_t *out) {
  if (!kx_msg_get_data(msg, out, 8)) return 0;
  *out = __builtin_bswap64(*out);
  return 1;
}

/* The u32 at the read position without consuming it. Returns 0 and stores 0
 * when fewer than four bytes are left; the position never moves. */
static inline int kx_msg_peek_uint32(const kx_msg_t *msg, uint32_t *out) {
  if (!kx_msg_has(msg, 4)) {
    *out = 0;
    return 0;
  }
  uint32_t be;
  memcpy(&be, msg->data + msg->pos, 4);
  *out = __builtin_bswap32(be);
  return 1;
}

static inline int kx_msg_skip(kx_msg_t *msg, uint32_t n) {
  if (__builtin_expect(msg == NULL, 0)) KX_MSG_BUG(KX_LINE_MSG_SKIP, "kx_msg_skip", "msg == ((void *)0)");
  if (!kx_msg_has(msg, n)) return 0;
  msg->pos = (uint16_t)(msg->pos + n);
  return 1;
}

/* Reads a string field into buf (size >= 1): keeps at most size - 1 bytes and
 * skips the rest of the field. buf[size - 1] is always 0. The wire length is
 * stored in *wire_len when given, even if a later step fails. */
static inline int kx_msg_get_string_len(kx_msg_t *msg, char *buf, uint32_t size, uint32_t *wire_len) {
  if (__builtin_expect(msg == NULL, 0)) KX_MSG_BUG(KX_LINE_MSG_GET_STRING, "kx_msg_get_string_len", "msg == ((void *)0)");
  if (__builtin_expect(buf == NULL, 0)) KX_MSG_BUG(KX_LINE_MSG_GET_STRING_BUF, "kx_msg_get_string_len", "buf == ((void *)0)");
  buf[size - 1] = 0;
  if (!kx_msg_has(msg, 4)) return 0;
  uint32_t n;
  memcpy(&n, msg->data + msg->pos, 4);
  n = __builtin_bswap32(n);
  msg->pos = (uint16_t)(msg->pos + 4);
  if (wire_len) *wire_len = n;
  if (n == 0) {
    buf[0] = 0;
    return 1;
  }
  uint32_t k = n < size - 1 ? n : size - 1;
  if (!kx_msg_has(msg, k)) {
    memset(buf, 0, k);
    return 0;
  }
  memcpy(buf, msg->data + msg->pos, k);
  msg->pos = (uint16_t)(msg->pos + k);
  if (n > size - 1) {
    uint32_t rest = n - (size - 1);
    if (!kx_msg_has(msg, rest)) return 0;
    msg->pos = (uint16_t)(msg->pos + rest);
  }
  return 1;
}

/* Field codes of kx_msg_get_fields; the two codes of a pair behave alike. */
enum kx_msg_field_code {
  KX_MSG_FIELD_END = 0,
  KX_MSG_FIELD_U8 = 1,
  KX_MSG_FIELD_I8 = 2,
  KX_MSG_FIELD_U16 = 3,
  KX_MSG_FIELD_I16 = 4,
  KX_MSG_FIELD_U32 = 5,
  KX_MSG_FIELD_I32 = 6,
  KX_MSG_FIELD_U64 = 7,
  KX_MSG_FIELD_I64 = 8,
  KX_MSG_FIELD_STRING = 9,   /* u32 size, char *buf */
  KX_MSG_FIELD_DATA = 10,    /* u32 size, void *buf */
  KX_MSG_FIELD_VARINT32 = 11,
  KX_MSG_FIELD_ZIGZAG32 = 12,
  KX_MSG_FIELD_VARINT64 = 13,
  KX_MSG_FIELD_ZIGZAG64 = 14,
  KX_MSG_FIELD_SKIP = 15,    /* u32 n */
  KX_MSG_FIELD_SKIP_STRING = 16,
};

/* Reads several fields: (code, arguments...) pairs ended by code 0. Returns 1
 * when all were read, 0 at the first failing field (earlier ones stay read). */
int kx_msg_get_fields(kx_msg_t *msg, ...);
int kx_msg_vget_fields(kx_msg_t *msg, va_list ap);

/* ---- message pool ----
 * Whole messages come from one process-wide pool ("kx_msg_t", growing by 128
 * items). kx_msg_pool_init must run before the first kx_msg_new (a second
 * call while the pool is live does nothing). */
void kx_msg_pool_init(void);
/* Messages still out are reported and stay allocated. */
void kx_msg_pool_deinit(void);
uint32_t kx_msg_pool_used(void);
/* A message of that type with pos, len and reserved 0 (payload not cleared). */
kx_msg_t *kx_msg_new(uint32_t type);
/* A new message with the type, the first len payload bytes, len and pos of msg. */
kx_msg_t *kx_msg_dup(const kx_msg_t *msg);
void kx_msg_free(kx_msg_t *msg);

/* ---- framing over ring buffers ----
 * A frame is u32 type, u16 length (0..32768) and the payload. A header with a
 * larger length marks a broken stream: it is logged, and once enough bytes
 * are buffered they are skipped (the allocating reader skips length bytes
 * from the header's first byte, the reader into a caller's message the header
 * and then length bytes). */
struct kx_ringbuf;
/* True when a whole frame is buffered. */
int kx_msg_ringbuf_complete(struct kx_ringbuf *rb);
/* The next frame as a new message from the pool (pos 0), or null when no whole
 * frame is buffered or the header is broken (then *broken = 1 when given). */
kx_msg_t *kx_msg_read_from_ringbuf_ex(struct kx_ringbuf *rb, uint8_t *broken);
kx_msg_t *kx_msg_read_from_ringbuf(struct kx_ringbuf *rb);
/* Reads the next frame into msg (type, len, payload, pos 0) and returns 1;
 * otherwise returns 0 and leaves msg as it was. */
int kx_msg_read_into_from_ringbuf(struct kx_ringbuf *rb, kx_msg_t *msg);
/* Writes msg as one frame and returns 1, or returns 0 and writes nothing when
 * the frame does not fit. */
int kx_msg_write_to_ringbuf(struct kx_ringbuf *rb, const kx_msg_t *msg);

/* ---- addresses on the wire ---- */

/* These are out of line (common/msg_ipaddr.cpp) but report bugs from this
 * header like the other primitives, each at its fixed line. */

/* ipaddr: u8 family (0 IPv4, 1 IPv6), then 4 or 16 address bytes. */
int kx_msg_get_ipaddr(kx_msg_t *msg, kx_ipaddr_t *ip); enum { KX_MSG_GET_IPADDR_LINE = KX_LINE_MSG_GET_IPADDR };
/* ipaddrplen: u8 code (0..32 IPv4 plen, 33..161 IPv6 plen + 33), then the
 * leading ceil(plen / 8) address bytes. */
int kx_msg_get_ipaddrplen(kx_msg_t *msg, kx_ipaddrplen_t *ip); enum { KX_MSG_GET_IPADDRPLEN_LINE = KX_LINE_MSG_GET_IPADDRPLEN };
/* Writes the code byte and the address bytes, or nothing when they do not
 * both fit. Returns the code byte's place or null. */
void *kx_msg_put_ipaddrplen(kx_msg_t *msg, const kx_ipaddrplen_t *ip); enum { KX_MSG_PUT_IPADDRPLEN_LINE = KX_LINE_MSG_PUT_IPADDRPLEN };

#ifdef __cplusplus
}
#endif

#endif
