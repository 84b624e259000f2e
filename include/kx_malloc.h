// Tracked allocation.
//
// Every block carries a 16-byte header (u16 reserved 0, u16 state mark, u32
// requested size, 8 bytes of padding) before the caller's bytes and the guard
// byte '<' after them. Blocks are allocated under a name (the type they hold);
// per-name statistics are kept for kx_malloc_report. Allocation never returns
// null: failure is a bug report and abort. A bad free (twice, foreign pointer,
// block marked as an intentional leak) is a badness report and frees nothing.
#ifndef KX_MALLOC_H
#define KX_MALLOC_H

#include <stddef.h>
#include <stdint.h>

#define KX_MALLOC_FLAG_LEAK 0x1u /* the block is expected never to be freed */

#define KX_MALLOC_MARK_ALLOCATED 0xEA32u
#define KX_MALLOC_MARK_LEAK 0x6A5Bu
#define KX_MALLOC_MARK_FREED 0xDEADu
#define KX_MALLOC_HEADER_SIZE 16u
#define KX_MALLOC_GUARD '<'

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kx_malloc_stats {
  uint64_t current_bytes;   /* bytes of live blocks (intentional leaks not counted) */
  uint32_t allocations;     /* allocations made, intentional leaks not counted */
  uint32_t current_entries; /* live blocks, intentional leaks not counted */
  uint64_t leaked_bytes;    /* bytes allocated as intentional leaks */
  uint32_t leaks;           /* allocations made as intentional leaks */
} kx_malloc_stats_t;

void *kx_malloc_flags(const char *name, size_t size, uint32_t flags);
void kx_free_flags(void *p);
/* The size recorded in a block's header; 0 for null. */
uint32_t kx_malloc_size(const void *p);
/* Prints the per-name statistics and the totals on Memory at Warning. */
void kx_malloc_report(void);
/* Copies the statistics kept under `name`; 0 when nothing was ever allocated under it. */
int kx_malloc_stats_get(const char *name, kx_malloc_stats_t *out);

static inline void *kx_malloc(const char *name, size_t size) { return kx_malloc_flags(name, size, 0); }
static inline void kx_free(void *p) { kx_free_flags(p); }

#ifdef __cplusplus
}
#endif

#endif
