// Tracked allocation (block layout, bad frees, statistics and the report) and
// the pools over it: memory pools and the message pool.
#include "kxtest.h"

uint16_t mark_of(const void *p) {
  uint16_t v;
  memcpy(&v, (const uint8_t *)p - 14, 2);
  return v;
}

std::string free_and_capture(void *p) {
  kx_log_print_level = KX_LOG_VERBOSE;
  return stderr_of([p] { kx_free_flags(p); });
}

std::string badness(const char *line, const void *p, const char *what) {
  char buf[160];
  snprintf(buf, sizeof buf, "[General:Warning] KX-BADNESS at common/malloc.cpp:%s/kx_free_flags(): FREE: pointer %p %s\n",
           line, p, what);
  return buf;
}

TEST(MallocTest, BlockLayoutAndBadFrees) {
  uint8_t *p = (uint8_t *)kx_malloc_flags("layout", 10, 0x6);  // only bit 0 of the flags counts
  EXPECT_EQ(0, p[-16] | p[-15]);
  EXPECT_EQ(KX_MALLOC_MARK_ALLOCATED, mark_of(p));
  EXPECT_EQ(10u, kx_malloc_size(p));
  EXPECT_EQ('<', p[10]);
  EXPECT_EQ("", free_and_capture(p));
  EXPECT_EQ(badness("366", p, "is already freed"), free_and_capture(p));
  EXPECT_EQ(badness("366", p, "is already freed"), free_and_capture(p)) << "and again";
  EXPECT_EQ("", free_and_capture(nullptr));

  uint8_t *leak = (uint8_t *)kx_malloc_flags("layout", 10, KX_MALLOC_FLAG_LEAK);
  EXPECT_EQ(KX_MALLOC_MARK_LEAK, mark_of(leak));
  EXPECT_EQ(badness("364", leak, "is marked as intentional leak. Still freeing it?"), free_and_capture(leak));
  EXPECT_EQ(KX_MALLOC_MARK_LEAK, mark_of(leak)) << "the block is kept";

  // A foreign pointer, even one whose header looks live, and a live block
  // whose header was overwritten are reported and left alone.
  alignas(16) uint8_t fake[64] = {0, 0, 0x32, 0xEA};
  EXPECT_EQ(badness("368", fake + 16, "is not allocated, flags: ea32"), free_and_capture(fake + 16));
  uint8_t *q = (uint8_t *)kx_malloc("smashed", 8);
  q[-14] = 0x11;
  EXPECT_EQ(badness("368", q, "is not allocated, flags: ea11"), free_and_capture(q));
  q[-14] = 0x32;
  EXPECT_EQ("", free_and_capture(q));
}

// An address the platform hands out again is a live block, not a freed one. Heaps differ in when they reuse an
// address: free a few, then allocate until one comes back.
TEST(MallocTest, AddressReusedIsLiveAgain) {
  std::vector<void *> freed, held;
  for (int i = 0; i < 16; i++) freed.push_back(kx_malloc("reuse", 40));
  for (void *p : freed) kx_free(p);
  void *again = nullptr;
  while (!again && held.size() < 4096) {
    held.push_back(kx_malloc("reuse", 40));
    if (std::find(freed.begin(), freed.end(), held.back()) != freed.end()) again = held.back();
  }
  if (!again) GTEST_SKIP() << "the platform did not hand an address out again";
  EXPECT_EQ("", free_and_capture(again));
  held.pop_back();
  for (void *p : held) kx_free(p);
}

TEST(MallocTest, StatisticsAndReport) {
  void *big = kx_malloc("report-big", 10 * 1024 + 5), *small[2] = {kx_malloc("report-small", 1024), kx_malloc("report-small", 1024)};
  kx_free(kx_malloc("report-gone", 100));
  void *leak = kx_malloc_flags("report-leak", 20 * 1024, KX_MALLOC_FLAG_LEAK);
  stderr_of([&] {
    kx_free(small[1]);
    kx_free(small[1]);  // a bad free changes no statistics
    kx_free(leak);
  });
  small[1] = kx_malloc("report-small", 1024);
  kx_malloc_stats_t s;
  ASSERT_EQ(1, kx_malloc_stats_get("report-small", &s));
  EXPECT_EQ(std::vector<uint64_t>({2048, 3, 2, 0, 0}),
            std::vector<uint64_t>({s.current_bytes, s.allocations, s.current_entries, s.leaked_bytes, s.leaks}));
  kx_log_print_level = KX_LOG_VERBOSE;
  std::string out = stderr_of(kx_malloc_report);
  const char *lines[] = {
      "[Memory:Warning] MALLOC:      20 KiB     1 intentional leaks                   report-leak\n",
      "[Memory:Warning] MALLOC:      10 KiB     1 current entries,     1 allocations: report-big\n",
      "[Memory:Warning] MALLOC:       2 KiB     2 current entries,     3 allocations: report-small\n",
      "[Memory:Warning] MALLOC:       0 KiB     0 current entries,     1 allocations: report-gone\n",
      "[Memory:Warning] TOTAL : ", "allocations: TOTAL allocations\n[Memory:Warning] TOTAL : ",
      " intentional leaks                   TOTAL intentional leaks\n",
  };
  size_t at = 0;
  for (const char *line : lines) {
    at = out.find(line, at);
    ASSERT_NE(std::string::npos, at) << "in this order: " << line << out;
  }
  EXPECT_DEATH(kx_malloc("huge", (size_t)-1),  // a failure is a bug, after the report
               "TOTAL intentional leaks\n.*KX-BUG at common/malloc.cpp:297/kx_malloc_flags\\(\\): kx_malloc\\(\\) "
               "of 18446744073709551615 bytes for 'huge' failed.\n");
  kx_log_levels[KX_LOG_FAC_MEMORY] = KX_LOG_ERROR;  // below Warning: silent
  EXPECT_EQ("", stderr_of(kx_malloc_report));
  for (void *p : {big, small[0], small[1]}) kx_free(p);
}

TEST(MempoolTest, LimitsItemsAndLogLines) {
  // inititems, growitems, gets; a fixed pool refuses from inititems on.
  const uint32_t cases[][3] = {{2, 0, 3}, {0, 128, 300}, {2, 1, 50}};
  kx_log_print_level = KX_LOG_VERBOSE;
  kx_log_levels[KX_LOG_FAC_MEMORY] = KX_LOG_DEBUG;
  kx_mempool_set_debug(1);
  for (auto &c : cases) {
    kx_mempool_t pool;
    testing::internal::CaptureStderr();
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
    std::string name(63, 'n'), out = testing::internal::GetCapturedStderr(), want =  // the init line names the pool uncut
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
  void *item = nullptr;
  EXPECT_EQ("[Memory:Warning] MEMPOOL 'quiet': Mempool reset() will leak memory when in bypass mode\n", stderr_of([&] {
              kx_mempool_init(&pool, "quiet", 1, 0, 8);
              item = kx_mempool_get(&pool);
              EXPECT_EQ(nullptr, kx_mempool_get(&pool));
              kx_mempool_reset(&pool);
            }));
  EXPECT_EQ(0u, kx_mempool_used(&pool));
  kx_free(item);
  kx_mempool_set_debug(0);
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
  m->len = 3, m->pos = 2, memcpy(m->data, "abc", 3);
  kx_msg_t *copy = kx_msg_dup(m);
  EXPECT_EQ(0, memcmp(m, copy, offsetof(kx_msg_t, data) + 3));
  EXPECT_EQ(2u, kx_msg_pool_used());
  kx_msg_free(copy);
  EXPECT_EQ(1u, kx_msg_pool_used());
  kx_msg_pool_deinit();
  EXPECT_DEATH((kx_log_print_level = KX_LOG_VERBOSE, kx_msg_new(1)), "kx_msg_pool_init\\(\\) was not called");
  kx_msg_free(m);  // a message outliving the pool is still released
  EXPECT_EQ(0u, kx_msg_pool_used());
}
