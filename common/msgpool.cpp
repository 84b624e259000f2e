// The process-wide message pool.
#include <string.h>

#include "kx_mempool.h"
#include "kx_msg.h"

static kx_mempool_t kx_msg_pool;
static bool kx_msg_pool_live;

void kx_msg_pool_init(void) {
  // A second init while the pool is live would forget the messages out.
  if (kx_msg_pool_live) return;
  kx_mempool_init(&kx_msg_pool, "kx_msg_t", 0, 128, sizeof(kx_msg_t));
  kx_msg_pool_live = true;
}

void kx_msg_pool_deinit(void) {
  if (!kx_msg_pool_live) return;
  kx_mempool_deinit(&kx_msg_pool);
  kx_msg_pool_live = false;
}

uint32_t kx_msg_pool_used(void) { return kx_mempool_used(&kx_msg_pool); }

kx_msg_t *kx_msg_new(uint32_t type) {
  KX_BUG_ON(!kx_msg_pool_live, "kx_msg_pool_init() was not called");
  kx_msg_t *msg = (kx_msg_t *)kx_mempool_get(&kx_msg_pool);
  KX_BUG_ON(msg == ((void *)0), "the message pool refused an item");
  msg->type = type;
  // pos, len and the reserved word: the 12 bytes after the type.
  memset((uint8_t *)msg + offsetof(kx_msg_t, pos), 0, offsetof(kx_msg_t, data) - offsetof(kx_msg_t, pos));
  return msg;
}

kx_msg_t *kx_msg_dup(const kx_msg_t *msg) {
  KX_BUG_ON(msg == ((void *)0));
  kx_msg_t *copy = kx_msg_new(msg->type);
  memcpy(copy->data, msg->data, msg->len);
  copy->len = msg->len;
  copy->pos = msg->pos;
  return copy;
}

void kx_msg_free(kx_msg_t *msg) { kx_mempool_put(&kx_msg_pool, msg); }
