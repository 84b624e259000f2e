// Memory pools: items handed out, filled, checked and returned in any order,
// against a count model and the allocator's statistics.
#include <vector>

#include "fuzz_harness.h"
#include "kx_malloc.h"
#include "kx_mempool.h"

namespace {

struct Item {
  uint8_t *p;
  uint8_t fill;
};

uint32_t live_blocks(const char *name) {
  kx_malloc_stats_t st;
  return kx_malloc_stats_get(name, &st) ? st.current_entries : 0;
}

void check_fill(const Item &it, uint32_t size) {
  for (uint32_t i = 0; i < size; i++) FUZZ_CHECK(it.p[i] == it.fill);
}

}  // namespace

FUZZ_SETUP()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  static const char kName[] = "fuzz_item";
  const uint32_t base = live_blocks(kName);
  const uint32_t inititems = in.u8() % 8, growitems = in.u8() % 3;
  const uint32_t itemsize = 8 + in.u16() % 2048;
  kx_mempool_t pool;
  kx_mempool_init(&pool, kName, inititems, growitems == 0 && inititems == 0 ? 1 : growitems, itemsize);
  std::vector<Item> items;
  for (int steps = 0; !in.empty() && steps < 128; steps++) {
    const uint8_t op = in.u8() % 3;
    if (op < 2) {
      const bool room = pool.growitems != 0 || items.size() < pool.inititems;
      uint8_t *p = (uint8_t *)(op == 1 ? kx_mempool_get_zeroed(&pool) : kx_mempool_get(&pool));
      FUZZ_CHECK((p != nullptr) == room);
      if (!p) continue;
      FUZZ_CHECK(op == 0 || all_zero(p, itemsize));
      Item it = {p, in.u8()};
      memset(p, it.fill, itemsize);  // the whole item is the caller's
      items.push_back(it);
    } else if (!items.empty()) {
      size_t i = in.u8() % items.size();
      check_fill(items[i], itemsize);
      kx_mempool_put(&pool, items[i].p);
      items.erase(items.begin() + (long)i);
    }
    FUZZ_CHECK(kx_mempool_used(&pool) == items.size());
    FUZZ_CHECK(live_blocks(kName) == base + items.size());
  }
  for (const Item &it : items) {
    check_fill(it, itemsize);
    kx_mempool_put(&pool, it.p);
  }
  FUZZ_CHECK(kx_mempool_used(&pool) == 0 && live_blocks(kName) == base);
  kx_mempool_deinit(&pool);
  FUZZ_CHECK(pool.state == KX_MEMPOOL_DEAD);
  return 0;
}
