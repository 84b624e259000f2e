// Memory pools and the message pool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kx_log.h"
#include "kx_malloc.h"
#include "kx_mempool.h"
#include "kx_msg.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(MempoolTest, LimitsItemsAndLogLines) {
  // inititems, growitems, gets; a fixed pool refuses from inititems on.
  const uint32_t cases[][3] = {{2, 0, 3}, {0, 128, 300}, {2, 1, 50}};
  kx_log_print_level = KX_LOG_VERBOSE;
  kx_log_levels[KX_LOG_FAC_MEMORY] = KX_LOG_DEBUG;
  kx_mempool_set_debug(1);
  for (auto &c : cases) {
    kx_mempool_t pool;
    CaptureStderr();
    kx_mempool_init(&pool, (std::string(100, 'n') + std::to_string(c[0])).c_str(), c[0], c[1], 40);
    void *dirty = kx_mempool_get(&pool);  // a block used before and handed out again
    memset(dirty, 0xff, 40);
    kx_mempool_put(&pool, dirty);
    std::vector<void *> items;
    for (uint32_t i = 0; i < c[2]; i++) {
      void *item = kx_mempool_get_zeroed(&pool);
      ASSERT_EQ(c[1] == 0 && i >= c[0], item == nullptr) << i;
      if (!item) continue;
      ASSERT_EQ(std::string(40, '\0'), std::string((const char *)item, 40)) << i;
      items.push_back(item);
    }
    EXPECT_EQ(items.size(), kx_mempool_used(&pool));
    kx_malloc_stats_t s;
    ASSERT_EQ(1, kx_malloc_stats_get(std::string(63, 'n').c_str(), &s)) << "items are blocks under the name cut to 63";
    EXPECT_EQ(items.size(), s.current_entries);
    kx_mempool_put(&pool, items[0]);
    kx_mempool_deinit(&pool);
    EXPECT_EQ(KX_MEMPOOL_DEAD, pool.state);
    std::string name(63, 'n'), out = GetCapturedStderr(), want =  // the init line names the pool uncut
        "[Memory:Notice] MEMPOOL '" + std::string(100, 'n') + std::to_string(c[0]) + "': init: inititems: " + std::to_string(c[0]) + ", growitems: " +
        std::to_string(c[1]) + " itemsize: 40\n" +
        (c[1] ? "" : "[Memory:Debug] MEMPOOL '" + name + "': WARNING: Out of items in non-growable mempool!\n") +
        "[General:Warning] KX-BADNESS at common/mempool.cpp:167/kx_mempool_deinit(): kx_mempool_used (mempool) != 0  "
        "Not all items returned before deinit(). Still in use=" + std::to_string(items.size() - 1) + " mempool=" + name + "\n";
    EXPECT_EQ(items.size() > 1 ? want : want.substr(0, want.find("[General")), out);
    EXPECT_EQ(40u, kx_malloc_size(items.back())) << "items out stay allocated";
    for (size_t i = 1; i < items.size(); i++) kx_free(items[i]);
  }
  kx_log_levels[KX_LOG_FAC_MEMORY] = KX_LOG_WARNING;  // below Notice and Debug
  kx_mempool_t pool;
  CaptureStderr();
  kx_mempool_init(&pool, "quiet", 1, 0, 8);
  void *item = kx_mempool_get(&pool);
  EXPECT_EQ(nullptr, kx_mempool_get(&pool));
  kx_mempool_reset(&pool);
  EXPECT_EQ("[Memory:Warning] MEMPOOL 'quiet': Mempool reset() will leak memory when in bypass mode\n", GetCapturedStderr());
  EXPECT_EQ(0u, kx_mempool_used(&pool));
  kx_free(item);
  kx_mempool_set_debug(0);
  kx_log_levels[KX_LOG_FAC_MEMORY] = KX_LOG_INFO;
  kx_log_print_level = KX_LOG_ALERT;
}

TEST(MempoolTest, MessagePool) {
  kx_msg_pool_init();
  kx_msg_pool_init();  // a second init keeps the messages out counted
  kx_msg_t *m = kx_msg_new(73728);
  memset(m->reserved, 0xee, 8);
  kx_msg_free(m);
  m = kx_msg_new(73728);
  EXPECT_EQ(std::vector<uint64_t>({73728, 0, 0, 0}),
            std::vector<uint64_t>({m->type, m->pos, m->len, *(uint64_t *)m->reserved}));
  EXPECT_EQ(sizeof(kx_msg_t), kx_malloc_size(m));
  kx_msg_t *copy = kx_msg_dup(m);  // what a copy holds is the fuzz target's
  EXPECT_EQ(2u, kx_msg_pool_used());
  kx_msg_free(copy);
  EXPECT_EQ(1u, kx_msg_pool_used());
  kx_msg_pool_deinit();
  EXPECT_DEATH((kx_log_print_level = KX_LOG_VERBOSE, kx_msg_new(1)), "kx_msg_pool_init\\(\\) was not called");
  kx_msg_free(m);  // a message outliving the pool is still released
  EXPECT_EQ(0u, kx_msg_pool_used());
}

}  // namespace
