// Tracked allocation: block header and guard, bad-free detection and the
// per-name statistics report.
#include "kx_malloc.h"

#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kx_log.h"

namespace {

struct NameStats {
  std::string name;
  kx_malloc_stats_t s;
};

struct LiveBlock {
  uint32_t stats_index;
  bool leak;
};

// Bookkeeping of the allocator. Live blocks are known by address, so a free
// never trusts the mark of memory it does not own; released addresses are
// remembered so that a second free is reported without reading memory the
// platform may already have handed out again. An address leaves the released
// set when the platform returns it for a new block.
struct State {
  std::vector<NameStats> stats;  // in order of the first allocation under each name
  std::unordered_map<std::string, uint32_t> index;
  std::unordered_map<const void *, LiveBlock> live;
  std::unordered_set<const void *> released;
};

// Created on first use and never destroyed: blocks may be freed by static
// destructors of other units at exit.
State &state() {
  static State *s = new State;
  return *s;
}

uint32_t stats_index(State &st, const char *name) {
  std::string key = name ? name : "(null)";
  auto it = st.index.find(key);
  if (it != st.index.end()) return it->second;
  uint32_t i = (uint32_t)st.stats.size();
  st.stats.push_back(NameStats{key, kx_malloc_stats_t{}});
  st.index.emplace(std::move(key), i);
  return i;
}

uint8_t *block_of(const void *p) { return (uint8_t *)p - KX_MALLOC_HEADER_SIZE; }

uint16_t mark_of(const void *p) {
  uint16_t mark;
  memcpy(&mark, block_of(p) + 2, sizeof mark);
  return mark;
}

void set_mark(void *p, uint16_t mark) { memcpy(block_of(p) + 2, &mark, sizeof mark); }

}  // namespace

void *kx_malloc_flags(const char *name, size_t size, uint32_t flags) {
  // The header records the size in 32 bits; larger requests (and sizes whose
  // block size would wrap) fail like an exhausted heap.
  uint8_t *block = size <= UINT32_MAX ? (uint8_t *)malloc(size + KX_MALLOC_HEADER_SIZE + 1) : nullptr;
  if (!block) {
    kx_malloc_report();
    KX_BUG_AT(KX_LINE_MALLOC_FAILED, "kx_malloc() of %zu bytes for '%s' failed.", size, name ? name : "(null)");
  }
  const bool leak = (flags & KX_MALLOC_FLAG_LEAK) != 0;
  const uint16_t reserved = 0, mark = leak ? KX_MALLOC_MARK_LEAK : KX_MALLOC_MARK_ALLOCATED;
  const uint32_t size32 = (uint32_t)size;
  memcpy(block, &reserved, 2);
  memcpy(block + 2, &mark, 2);
  memcpy(block + 4, &size32, 4);
  void *p = block + KX_MALLOC_HEADER_SIZE;
  block[KX_MALLOC_HEADER_SIZE + size] = KX_MALLOC_GUARD;

  try {
    State &st = state();
    uint32_t i = stats_index(st, name);
    kx_malloc_stats_t &s = st.stats[i].s;
    if (leak) {
      s.leaked_bytes += size;
      s.leaks++;
    } else {
      s.current_bytes += size;
      s.current_entries++;
      s.allocations++;
    }
    st.released.erase(p);
    st.live[p] = LiveBlock{i, leak};
  } catch (const std::bad_alloc &) {
    KX_BUG("kx_malloc() could not record the block of %zu bytes for '%s'.", size, name ? name : "(null)");
  }
  return p;
}

void kx_free_flags(void *p) {
  if (!p) return;
  State &st = state();
  auto it = st.live.find(p);
  if (it == st.live.end()) {
    if (st.released.count(p))
      KX_BADNESS_AT(KX_LINE_FREE_TWICE, "FREE: pointer %p is already freed", p);
    else
      KX_BADNESS_AT(KX_LINE_FREE_UNKNOWN, "FREE: pointer %p is not allocated, flags: %x", p, (unsigned)mark_of(p));
    return;
  }
  uint16_t mark = mark_of(p);
  if (mark == KX_MALLOC_MARK_LEAK) {
    KX_BADNESS_AT(KX_LINE_FREE_LEAK_MARK, "FREE: pointer %p is marked as intentional leak. Still freeing it?", p);
    return;
  }
  if (mark != KX_MALLOC_MARK_ALLOCATED) {
    // Our block, but its header was overwritten: leave it alone.
    KX_BADNESS_AT(KX_LINE_FREE_UNKNOWN, "FREE: pointer %p is not allocated, flags: %x", p, (unsigned)mark);
    return;
  }
  kx_malloc_stats_t &s = st.stats[it->second.stats_index].s;
  s.current_bytes -= kx_malloc_size(p);
  s.current_entries--;
  try {
    st.live.erase(it);
    st.released.insert(p);
  } catch (const std::bad_alloc &) {
    KX_BUG("kx_free() could not record the release of %p.", p);
  }
  set_mark(p, KX_MALLOC_MARK_FREED);
  free(block_of(p));
}

uint32_t kx_malloc_size(const void *p) {
  if (!p) return 0;
  uint32_t size;
  memcpy(&size, block_of(p) + 4, sizeof size);
  return size;
}

int kx_malloc_stats_get(const char *name, kx_malloc_stats_t *out) {
  State &st = state();
  auto it = st.index.find(name ? name : "(null)");
  if (it == st.index.end()) return 0;
  *out = st.stats[it->second].s;
  return 1;
}

void kx_malloc_report(void) {
  if (kx_log_levels[KX_LOG_FAC_MEMORY] < KX_LOG_WARNING) return;
  std::vector<NameStats> sorted = state().stats;
  // Largest footprint (live plus leaked bytes) first, then most allocations;
  // a stable insertion sort keeps first-allocation order among equals.
  auto before = [](const kx_malloc_stats_t &a, const kx_malloc_stats_t &b) {
    uint64_t fa = a.current_bytes + a.leaked_bytes, fb = b.current_bytes + b.leaked_bytes;
    return fa != fb ? fa > fb : a.allocations > b.allocations;
  };
  for (size_t i = 1; i < sorted.size(); i++)
    for (size_t j = i; j > 0 && before(sorted[j].s, sorted[j - 1].s); j--) std::swap(sorted[j], sorted[j - 1]);

  kx_malloc_stats_t total{};
  for (const NameStats &e : sorted) {
    const kx_malloc_stats_t &s = e.s;
    if (s.allocations)
      kx_log(KX_LOG_FAC_MEMORY, KX_LOG_WARNING, "MALLOC: %7zu KiB %5u current entries, %5u allocations: %s",
             (size_t)(s.current_bytes / 1024), s.current_entries, s.allocations, e.name.c_str());
    if (s.leaks)
      kx_log(KX_LOG_FAC_MEMORY, KX_LOG_WARNING, "MALLOC: %7zu KiB %5u intentional leaks                   %s",
             (size_t)(s.leaked_bytes / 1024), s.leaks, e.name.c_str());
    total.current_bytes += s.current_bytes;
    total.current_entries += s.current_entries;
    total.allocations += s.allocations;
    total.leaked_bytes += s.leaked_bytes;
    total.leaks += s.leaks;
  }
  kx_log(KX_LOG_FAC_MEMORY, KX_LOG_WARNING, "TOTAL : %7zu KiB %5u current entries, %5u allocations: TOTAL allocations",
         (size_t)(total.current_bytes / 1024), total.current_entries, total.allocations);
  kx_log(KX_LOG_FAC_MEMORY, KX_LOG_WARNING,
         "TOTAL : %7zu KiB %5u intentional leaks                   TOTAL intentional leaks",
         (size_t)(total.leaked_bytes / 1024), total.leaks);
}
