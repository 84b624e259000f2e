// Stand-in for the support library's framing while it is not in the tree:
// the same interface, a plain implementation. Used only when the library
// lacks include/kx_ringbuf.h.
#ifndef KXD_SIM_COMPAT_RINGBUF_H
#define KXD_SIM_COMPAT_RINGBUF_H

#include <stdint.h>

#include "kx_msg.h"

typedef struct kx_ringbuf kx_ringbuf_t;
kx_ringbuf_t *kx_ringbuf_new(uint32_t maxsize);
void kx_ringbuf_destroy(kx_ringbuf_t *rb);
uint32_t kx_ringbuf_used(kx_ringbuf_t *rb);
int kx_ringbuf_read_fd(kx_ringbuf_t *rb, int fd);
int kx_ringbuf_write_fd(kx_ringbuf_t *rb, int fd, uint32_t n);
kx_msg_t *kx_msg_read_from_ringbuf_ex(kx_ringbuf_t *rb, uint8_t *broken);
int kx_msg_write_to_ringbuf(kx_ringbuf_t *rb, const kx_msg_t *msg);
#ifdef KXSIM_NEED_POOL
kx_msg_t *kx_msg_new(uint32_t type);
void kx_msg_free(kx_msg_t *msg);
void kx_msg_pool_init(void);
void kx_msg_pool_deinit(void);
#endif

#endif
