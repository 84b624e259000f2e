// Memory pools in bypass mode over the tracked allocator.
#include "kx_mempool.h"

#include <string.h>

#include "kx_log.h"
#include "kx_malloc.h"
#include "kx_str.h"

typedef void *kx_pointer_t;

static uint8_t kx_mempool_debug;

void kx_mempool_set_debug(uint8_t flag) { kx_mempool_debug = flag; }

void kx_mempool_init(kx_mempool_t *mempool, const char *name, uint32_t inititems, uint32_t growitems,
                     size_t itemsize) {
  KX_BUG_ON_AT(KX_LINE_MEMPOOL_NO_ITEMS, inititems == 0 && growitems == 0);
  KX_BUG_ON_AT(KX_LINE_MEMPOOL_ITEM_SIZE, itemsize < sizeof (kx_pointer_t));
  KX_BUG_ON(itemsize > UINT32_MAX, "itemsize %zu does not fit in 32 bits", itemsize);
  if (kx_mempool_debug)
    KX_LOG(KX_LOG_FAC_MEMORY, KX_LOG_NOTICE, "MEMPOOL '%s': init: inititems: %u, growitems: %u itemsize: %zu", name,
           inititems, growitems, itemsize);
  memset(mempool, 0, sizeof *mempool);
  mempool->inititems = inititems;
  mempool->growitems = growitems;
  mempool->itemsize = (uint32_t)itemsize;
  kx_strlcpy(mempool->name, name, sizeof mempool->name);
}

uint32_t kx_mempool_used(const kx_mempool_t *mempool) {
  KX_BUG_ON_AT(KX_LINE_MEMPOOL_COUNTS, mempool->availitems > mempool->numitems);
  return mempool->numitems - mempool->availitems;
}

void kx_mempool_deinit(kx_mempool_t *mempool) {
  KX_BADNESS_ON_AT(KX_LINE_MEMPOOL_LEAK, kx_mempool_used (mempool) != 0, "Not all items returned before deinit(). Still in use=%u mempool=%s",
                kx_mempool_used(mempool), mempool->name);
  while (kx_mempool_chunk_t *chunk = mempool->chunks) {
    mempool->chunks = chunk->next;
    kx_free(chunk->storage);
    kx_free(chunk);
  }
  mempool->state = KX_MEMPOOL_DEAD;
}

void *kx_mempool_get(kx_mempool_t *mempool) {
  if (kx_mempool_used(mempool) >= mempool->inititems && mempool->growitems == 0) {
    KX_LOG(KX_LOG_FAC_MEMORY, KX_LOG_DEBUG, "MEMPOOL '%s': WARNING: Out of items in non-growable mempool!",
           mempool->name);
    return nullptr;
  }
  mempool->numitems++;
  return kx_malloc_flags(mempool->name, mempool->itemsize, 0);
}

void *kx_mempool_get_zeroed(kx_mempool_t *mempool) {
  void *item = kx_mempool_get(mempool);
  if (item) memset(item, 0, mempool->itemsize);
  return item;
}

void kx_mempool_put(kx_mempool_t *mempool, void *item) {
  KX_BUG_ON_AT(KX_LINE_MEMPOOL_PUT_NULL, item == ((void *)0));
  mempool->numitems--;
  kx_free_flags(item);
}

void kx_mempool_reset(kx_mempool_t *mempool) {
  mempool->numitems = 0;
  mempool->availitems = 0;
  mempool->state = 0;
  KX_LOG(KX_LOG_FAC_MEMORY, KX_LOG_WARNING, "MEMPOOL '%s': Mempool reset() will leak memory when in bypass mode",
         mempool->name);
}
