// Memory pools of fixed-size items.
//
// The pool runs in bypass mode: every item is its own block of the tracked
// allocator, allocated on get and freed on put. The pool keeps the item
// size, the limit of a non-growable pool and the count of items out, and
// reports items still out when it is torn down.
#ifndef KX_MEMPOOL_H
#define KX_MEMPOOL_H

#include <stddef.h>
#include <stdint.h>

#define KX_MEMPOOL_DEAD 0xDEADu
#define KX_MEMPOOL_NAME_SIZE 64

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kx_mempool_chunk {
  struct kx_mempool_chunk *next;
  void *storage;
} kx_mempool_chunk_t;

typedef struct kx_mempool {
  kx_mempool_chunk_t *chunks; /* storage owned by the pool; empty in bypass mode */
  uint64_t state;             /* 0 while usable, KX_MEMPOOL_DEAD after deinit */
  uint32_t inititems;         /* items available without growing; the limit when growitems is 0 */
  uint32_t growitems;         /* growth step; 0: the pool never grows */
  uint32_t itemsize;
  uint32_t numitems;          /* items handed out and not returned */
  uint32_t availitems;        /* free items held (0 in bypass mode) */
  char name[KX_MEMPOOL_NAME_SIZE];
} kx_mempool_t;

/* Enables the init log line (Notice on Memory). */
void kx_mempool_set_debug(uint8_t flag);

void kx_mempool_init(kx_mempool_t *pool, const char *name, uint32_t inititems, uint32_t growitems,
                     size_t itemsize);
void kx_mempool_deinit(kx_mempool_t *pool);
uint32_t kx_mempool_used(const kx_mempool_t *pool);
/* An item of itemsize bytes (contents undefined), or null from a full non-growable pool. */
void *kx_mempool_get(kx_mempool_t *pool);
void *kx_mempool_get_zeroed(kx_mempool_t *pool);
void kx_mempool_put(kx_mempool_t *pool, void *item);
/* Forgets every item; items still out are not freed. */
void kx_mempool_reset(kx_mempool_t *pool);

#ifdef __cplusplus
}
#endif

#endif
