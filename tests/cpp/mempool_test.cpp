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

class MempoolTest : public testing::Test {
 protected:
  void SetUp() override { kx_log_print_level = KX_LOG_VERBOSE; }
  void TearDown() override {
    kx_log_print_level = KX_LOG_ALERT;
    kx_log_levels[KX_LOG_FAC_MEMORY] = KX_LOG_INFO;
    kx_mempool_set_debug(0);
  }
};

TEST_F(MempoolTest, LimitsOfGrowableAndFixedPools) {
  struct Case {
    uint32_t inititems, growitems;
    int gets;
    int refused_from;  // first refused get, -1 for none
  } cases[] = {{2, 0, 3, 2}, {1, 0, 2, 1}, {0, 128, 300, -1}, {2, 1, 50, -1}};
  for (const Case &c : cases) {
    kx_mempool_t pool;
    kx_mempool_init(&pool, "pool-limits", c.inititems, c.growitems, 16);
    std::vector<void *> items;
    for (int i = 0; i < c.gets; i++) {
      void *item = kx_mempool_get(&pool);
      EXPECT_EQ(c.refused_from >= 0 && i >= c.refused_from, item == nullptr) << i;
      if (item) items.push_back(item);
    }
    EXPECT_EQ(items.size(), kx_mempool_used(&pool));
    if (c.refused_from >= 0) {
      kx_mempool_put(&pool, items.back());
      items.pop_back();
      void *again = kx_mempool_get(&pool);
      EXPECT_NE(nullptr, again) << "a returned item makes room";
      items.push_back(again);
    }
    for (void *item : items) kx_mempool_put(&pool, item);
    EXPECT_EQ(0u, kx_mempool_used(&pool));
    CaptureStderr();
    kx_mempool_deinit(&pool);
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_EQ(KX_MEMPOOL_DEAD, pool.state);
  }
}

TEST_F(MempoolTest, ItemsAreTrackedBlocksUnderThePoolName) {
  kx_mempool_t pool;
  std::string long_name(100, 'n');
  kx_mempool_init(&pool, long_name.c_str(), 4, 0, 40);
  EXPECT_EQ(std::string(63, 'n'), pool.name);
  void *a = kx_mempool_get_zeroed(&pool);
  EXPECT_EQ(40u, kx_malloc_size(a));
  EXPECT_EQ(std::string(40, '\0'), std::string((const char *)a, 40));
  kx_malloc_stats_t s;
  ASSERT_EQ(1, kx_malloc_stats_get(pool.name, &s));
  EXPECT_EQ(1u, s.current_entries);
  kx_mempool_put(&pool, a);
  ASSERT_EQ(1, kx_malloc_stats_get(pool.name, &s));
  EXPECT_EQ(0u, s.current_entries);
  kx_mempool_deinit(&pool);
}

TEST_F(MempoolTest, LogLines) {
  kx_mempool_t pool;
  kx_log_levels[KX_LOG_FAC_MEMORY] = KX_LOG_DEBUG;
  kx_mempool_set_debug(1);
  CaptureStderr();
  kx_mempool_init(&pool, "pool-log", 1, 0, 8);
  void *item = kx_mempool_get(&pool);
  EXPECT_EQ(nullptr, kx_mempool_get(&pool));
  kx_mempool_deinit(&pool);
  std::string out = GetCapturedStderr();
  const char *lines[] = {
      "[Memory:Notice] MEMPOOL 'pool-log': init: inititems: 1, growitems: 0 itemsize: 8\n",
      "[Memory:Debug] MEMPOOL 'pool-log': WARNING: Out of items in non-growable mempool!\n",
      "[General:Warning] KX-BADNESS at common/mempool.cpp:",
      "/kx_mempool_deinit(): kx_mempool_used (mempool) != 0  Not all items returned before deinit(). Still in "
      "use=1 mempool=pool-log\n",
  };
  size_t at = 0;
  for (const char *line : lines) {
    size_t found = out.find(line, at);
    ASSERT_NE(std::string::npos, found) << line << "\n" << out;
    at = found;
  }
  EXPECT_EQ(KX_MEMPOOL_DEAD, pool.state);
  EXPECT_EQ(8u, kx_malloc_size(item)) << "items out stay allocated";
  kx_free(item);

  // Below the thresholds nothing is written.
  kx_log_levels[KX_LOG_FAC_MEMORY] = KX_LOG_WARNING;
  CaptureStderr();
  kx_mempool_init(&pool, "pool-quiet", 1, 0, 8);
  item = kx_mempool_get(&pool);
  EXPECT_EQ(nullptr, kx_mempool_get(&pool));
  kx_mempool_reset(&pool);
  EXPECT_EQ("[Memory:Warning] MEMPOOL 'pool-quiet': Mempool reset() will leak memory when in bypass mode\n",
            GetCapturedStderr());
  EXPECT_EQ(0u, kx_mempool_used(&pool));
  kx_free(item);
}

TEST_F(MempoolTest, BugReports) {
  kx_mempool_t pool;
  EXPECT_DEATH(kx_mempool_init(&pool, "p", 0, 0, 8),
               "KX-BUG at common/mempool.cpp:127/kx_mempool_init\\(\\): inititems == 0 && growitems == 0  \n");
  EXPECT_DEATH(kx_mempool_init(&pool, "p", 1, 0, 4), ":128/kx_mempool_init\\(\\): itemsize < sizeof \\(kx_pointer_t\\)  \n");
  kx_mempool_init(&pool, "p", 1, 0, 8);
  EXPECT_DEATH(kx_mempool_put(&pool, nullptr), ":246/kx_mempool_put\\(\\): item == \\(\\(void \\*\\)0\\)  \n");
  pool.availitems = 1;
  EXPECT_DEATH(kx_mempool_used(&pool), ":195/kx_mempool_used\\(\\): mempool->availitems > mempool->numitems  \n");
}

TEST_F(MempoolTest, MessagePool) {
  kx_msg_pool_init();
  kx_msg_pool_init();  // a second init keeps the messages out counted
  uint32_t base = kx_msg_pool_used();
  kx_msg_t *m = kx_msg_new(73728);
  EXPECT_EQ(73728u, m->type);
  EXPECT_EQ(0, m->pos);
  EXPECT_EQ(0, m->len);
  for (uint8_t b : m->reserved) EXPECT_EQ(0, b);
  EXPECT_EQ(sizeof(kx_msg_t), kx_malloc_size(m));

  kx_msg_put_data(m, "0123456789ab", 12);
  m->pos = 10;
  kx_msg_t *copy = kx_msg_dup(m);
  EXPECT_EQ(m->type, copy->type);
  EXPECT_EQ(12, copy->len);
  EXPECT_EQ(10, copy->pos);
  EXPECT_EQ(0, memcmp(copy->data, "0123456789ab", 12));
  EXPECT_EQ(base + 2, kx_msg_pool_used());
  kx_msg_free(copy);
  EXPECT_EQ(base + 1, kx_msg_pool_used());
  kx_msg_free(m);
  EXPECT_EQ(base, kx_msg_pool_used());
  EXPECT_DEATH(kx_msg_free(nullptr), ":246/kx_mempool_put\\(\\): item == \\(\\(void \\*\\)0\\)  \n");

  kx_msg_t *left = kx_msg_new(1);
  CaptureStderr();
  kx_msg_pool_deinit();
  EXPECT_NE(std::string::npos, GetCapturedStderr().find("Still in use=1 mempool=kx_msg_t\n"));
  EXPECT_DEATH(kx_msg_new(1), "kx_msg_pool_init\\(\\) was not called");
  kx_msg_free(left);  // a message outliving the pool is still released
  EXPECT_EQ(0u, kx_msg_pool_used());
  kx_msg_pool_init();
  kx_msg_free(kx_msg_new(2));
  kx_msg_pool_deinit();
}

}  // namespace
