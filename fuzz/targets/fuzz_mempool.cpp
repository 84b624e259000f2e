// Memory pools and the message pool: items handed out, filled, checked and
// returned in any order, against a count model and the allocator's statistics.
#include <string.h>

#include <vector>

#include "fuzz_input.h"
#include "kx_malloc.h"
#include "kx_mempool.h"
#include "kx_msg.h"

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

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kx_log_set_print_level(KX_LOG_EMERGENCY);
  kx_msg_pool_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  static const char kName[] = "fuzz_item";
  const uint32_t base = live_blocks(kName);
  const uint32_t msgs_base = kx_msg_pool_used();
  const uint32_t inititems = in.u8() % 8, growitems = in.u8() % 3;
  const uint32_t itemsize = 8 + in.u16() % 2048;
  kx_mempool_t pool;
  kx_mempool_init(&pool, kName, inititems, growitems == 0 && inititems == 0 ? 1 : growitems, itemsize);
  std::vector<Item> items;
  std::vector<kx_msg_t *> msgs;
  for (int steps = 0; !in.empty() && steps < 128; steps++) {
    const uint8_t op = in.u8();
    switch (op % 6) {
      case 0: case 1: {
        const bool zeroed = op % 6 == 1;
        const bool room = pool.growitems != 0 || items.size() < pool.inititems;
        uint8_t *p = (uint8_t *)(zeroed ? kx_mempool_get_zeroed(&pool) : kx_mempool_get(&pool));
        FUZZ_CHECK((p != nullptr) == room);
        if (!p) break;
        if (zeroed)
          for (uint32_t i = 0; i < itemsize; i++) FUZZ_CHECK(p[i] == 0);
        Item it = {p, in.u8()};
        memset(p, it.fill, itemsize);  // the whole item is the caller's
        items.push_back(it);
        break;
      }
      case 2:
        if (!items.empty()) {
          size_t i = in.u8() % items.size();
          check_fill(items[i], itemsize);
          kx_mempool_put(&pool, items[i].p);
          items.erase(items.begin() + (long)i);
        }
        break;
      case 3: {
        kx_msg_t *m = kx_msg_new(in.u32());
        FUZZ_CHECK(m->pos == 0 && m->len == 0);
        m->len = in.u16() % (KX_MSG_MAX_PAYLOAD + 1);
        memset(m->data, op, m->len);
        msgs.push_back(m);
        break;
      }
      case 4:
        if (!msgs.empty()) {
          kx_msg_t *d = kx_msg_dup(msgs[in.u8() % msgs.size()]);
          msgs.push_back(d);
        }
        break;
      case 5:
        if (!msgs.empty()) {
          size_t i = in.u8() % msgs.size();
          kx_msg_free(msgs[i]);
          msgs.erase(msgs.begin() + (long)i);
        }
        break;
    }
    FUZZ_CHECK(kx_mempool_used(&pool) == items.size());
    FUZZ_CHECK(live_blocks(kName) == base + items.size());
    FUZZ_CHECK(kx_msg_pool_used() == msgs_base + msgs.size());
  }
  for (const Item &it : items) {
    check_fill(it, itemsize);
    kx_mempool_put(&pool, it.p);
  }
  for (kx_msg_t *m : msgs) kx_msg_free(m);
  FUZZ_CHECK(kx_mempool_used(&pool) == 0 && live_blocks(kName) == base);
  FUZZ_CHECK(kx_msg_pool_used() == msgs_base);
  kx_mempool_deinit(&pool);
  FUZZ_CHECK(pool.state == KX_MEMPOOL_DEAD);
  return 0;
}
