// Stand-in framing (see kx_ringbuf.h here).
#include "kx_ringbuf.h"

#include <errno.h>
#include <unistd.h>

#include <deque>
#include <new>

struct kx_ringbuf {
  std::deque<uint8_t> bytes;
  uint32_t cap;
};

kx_ringbuf_t *kx_ringbuf_new(uint32_t maxsize) { return new kx_ringbuf{{}, maxsize < 262144 ? 262144 : maxsize}; }
void kx_ringbuf_destroy(kx_ringbuf_t *rb) { delete rb; }
uint32_t kx_ringbuf_used(kx_ringbuf_t *rb) { return (uint32_t)rb->bytes.size(); }

int kx_ringbuf_read_fd(kx_ringbuf_t *rb, int fd) {
  static uint8_t buf[262144];
  int total = 0;
  for (;;) {
    size_t space = rb->cap - rb->bytes.size();
    if (!space) return total;
    ssize_t n = read(fd, buf, space < sizeof buf ? space : sizeof buf);
    if (n < 1) return total ? total : (int)n;
    rb->bytes.insert(rb->bytes.end(), buf, buf + n);
    total += (int)n;
  }
}

int kx_ringbuf_write_fd(kx_ringbuf_t *rb, int fd, uint32_t n) {
  static uint8_t buf[262144];
  if (n > sizeof buf) n = sizeof buf;
  if (n > rb->bytes.size()) n = (uint32_t)rb->bytes.size();
  if (!n) return 0;
  std::copy(rb->bytes.begin(), rb->bytes.begin() + n, buf);
  ssize_t w = write(fd, buf, n);
  if (w < 0) return -errno;
  rb->bytes.erase(rb->bytes.begin(), rb->bytes.begin() + w);
  return (int)w;
}

kx_msg_t *kx_msg_read_from_ringbuf_ex(kx_ringbuf_t *rb, uint8_t *broken) {
  if (rb->bytes.size() < 6) return nullptr;
  uint32_t type = 0, len = 0;
  for (int i = 0; i < 4; i++) type = type << 8 | rb->bytes[i];
  len = (uint32_t)rb->bytes[4] << 8 | rb->bytes[5];
  if (len > KX_MSG_MAX_PAYLOAD) {
    if (broken) *broken = 1;
    return nullptr;
  }
  if (rb->bytes.size() < 6 + len) return nullptr;
  kx_msg_t *m = kx_msg_new(type);
  std::copy(rb->bytes.begin() + 6, rb->bytes.begin() + 6 + len, m->data);
  m->len = (uint16_t)len;
  rb->bytes.erase(rb->bytes.begin(), rb->bytes.begin() + 6 + len);
  return m;
}

int kx_msg_write_to_ringbuf(kx_ringbuf_t *rb, const kx_msg_t *m) {
  if (rb->cap - rb->bytes.size() < m->len + 6u) return 0;
  uint8_t h[6] = {(uint8_t)(m->type >> 24), (uint8_t)(m->type >> 16), (uint8_t)(m->type >> 8), (uint8_t)m->type,
                  (uint8_t)(m->len >> 8), (uint8_t)m->len};
  rb->bytes.insert(rb->bytes.end(), h, h + 6);
  rb->bytes.insert(rb->bytes.end(), m->data, m->data + m->len);
  return 1;
}

#ifdef KXSIM_NEED_POOL
kx_msg_t *kx_msg_new(uint32_t type) {
  kx_msg_t *m = new kx_msg_t;
  kx_msg_init(m, type);
  return m;
}
void kx_msg_free(kx_msg_t *m) { delete m; }
void kx_msg_pool_init(void) {}
void kx_msg_pool_deinit(void) {}
#endif
