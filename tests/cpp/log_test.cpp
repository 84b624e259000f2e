// Logging: tables, thresholds, the two gates, the facility-levels payload,
// and every bug report of the support library in one table.
#include "kxtest.h"

TEST(LogTest, TablesAndSetters) {
  const std::vector<uint32_t> saved(kx_log_levels, kx_log_levels + KX_LOG_NUM_FACILITIES);
  const int defaults[][2] = {{14, 6}, {37, 4}, {39, 4}, {47, 4}, {48, 4}, {50, 7}, {64, 6}};
  for (auto &d : defaults) EXPECT_EQ((uint32_t)d[1], saved[d[0]]) << d[0];
  EXPECT_EQ(5, std::count_if(saved.begin(), saved.end(), [](uint32_t t) { return t != 6; }));
  const std::pair<const char *, int> names[] = {{"general", 14}, {"LAYER 4", 26}, {"Layer4", -1}, {"ipfix", 46},
                                                {"Database Audit View", 48}, {"DEBUG", 50}, {"I40E", 64}, {"", -1}};
  for (auto &n : names) EXPECT_EQ(n.second, kx_log_find_facility(n.first)) << n.first;
  kx_log_set_level(65, 3);
  kx_log_set_level(3, 9);
  EXPECT_TRUE(std::equal(saved.begin(), saved.end(), kx_log_levels));
  EXPECT_EQ(0, kx_log_set_all_levels(9));
  EXPECT_EQ(1, kx_log_set_all_levels(8));
  EXPECT_EQ(std::vector<uint32_t>(KX_LOG_NUM_FACILITIES, 8), std::vector<uint32_t>(kx_log_levels, kx_log_levels + 65));
}

TEST(LogTest, GatesFormatAndReports) {  // a badness continues, a bug aborts whether printed or not
  kx_log_set_print_level(KX_LOG_WARNING);
  testing::internal::CaptureStderr();
  KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_WARNING, "w %d", 1);
  KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_NOTICE, "above the print threshold");
  kx_log_set_level(KX_LOG_FAC_MEMORY, KX_LOG_ERROR);
  KX_LOG(KX_LOG_FAC_MEMORY, KX_LOG_WARNING, "above the facility threshold");
  kx_log_set_level(KX_LOG_FAC_LAYER4, KX_LOG_ERROR);
  KX_LOG(KX_LOG_FAC_LAYER4, KX_LOG_ERROR, "%s", std::string(5000, 'x').c_str());  // cut to 4095 bytes
  kx_log_set_print_level(KX_LOG_INFO);
  kx_log_started();
  EXPECT_EQ("[General:Warning] w 1\n[Layer 4:Error] " + std::string(4095, 'x') + "\n[General:Info] LOGFILE STARTED\n",
            testing::internal::GetCapturedStderr());
  kx_log_print_level = KX_LOG_VERBOSE;
  EXPECT_EQ("[General:Warning] KX-BADNESS at a.cpp:9/g(): x > 1  value 4\n", stderr_of([] {
              kx_badness_cond("a.cpp", 9, "g", "x > 1", "value %u", 4u);
              kx_log_levels[KX_LOG_FAC_GENERAL] = KX_LOG_ERROR;  // below Warning: nothing
              kx_badness("a.cpp", 9, "g", "quiet");
            }));
  kx_log_levels[KX_LOG_FAC_GENERAL] = KX_LOG_ALERT;
  EXPECT_DEATH(kx_strdup_format("x", nullptr), "^$");  // General below Critical: not printed, still aborts
}

TEST(LogTest, FacilityLevelsPayload) {
  kx_msg_t msg_;
  kx_msg_init(&msg_, 0);
  kx_log_msg_put(&msg_);
  size_t expect = 2;
  for (uint32_t i = 0; i < KX_LOG_NUM_FACILITIES; i++) expect += 4 + strlen(kx_log_facility_name(i)) + 1 + 1;
  EXPECT_EQ(expect, msg_.len);
  const uint8_t first[] = {0, 0x41, 0, 0, 0, 10, 'I', 'n', 't', 'e', 'r', 'f', 'a', 'c', 'e', 0, 6};
  EXPECT_EQ(0, memcmp(first, msg_.data, sizeof first));  // reading it back is the fuzz target's
  const std::string mismatch = "[General:Warning] Mismatch in number of expected log facilities. Got=";
  const std::string rest = " Expected=65. Continuing with those I got.\n";
  const std::string long_name = "Memory" + std::string(94, 'x');
  // Entries: (name, level); level -1 leaves the level byte out, a null name ends the payload there.
  struct Case { uint16_t count; std::vector<std::pair<const char *, int>> entries; int result; uint32_t memory; std::string log; };
  const Case cases[] = {
      {2, {{"Nowhere", 3}, {"Memory", 7}}, 1, 7,
       mismatch + "2" + rest + "[General:Warning] Failed to find any log facility named 'Nowhere'.\n"
                               "[General:Debug] Setting loglevel Debug for [Memory]\n"},
      {0, {}, 1, 6, mismatch + "0" + rest},
      {1, {{"memory", 9}}, 1, 6, mismatch + "1" + rest + "[General:Warning] Log level=9 is too high for 'memory'.\n"},
      {2, {{"MEMORY", 3}}, 0, 3,
       mismatch + "2" + rest + "[General:Debug] Setting loglevel Error for [Memory]\n"
                               "[General:Error] Failed to read log facility name.\n"},
      {65, {{"Memory", -1}}, 0, 6, "[General:Error] Failed to read log facility level.\n"},
      {1, {{long_name.c_str(), 2}}, 1, 6,  // kept to 63 bytes
       mismatch + "1" + rest + "[General:Warning] Failed to find any log facility named '" + long_name.substr(0, 63) + "'.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.log);
    kx_log_levels[KX_LOG_FAC_MEMORY] = 6;
    kx_log_levels[KX_LOG_FAC_GENERAL] = KX_LOG_VERBOSE;
    kx_log_print_level = KX_LOG_VERBOSE;
    kx_msg_init(&msg_, 0);
    kx_msg_put_uint16(&msg_, c.count);
    for (auto &e : c.entries) {
      kx_msg_put_string(&msg_, e.first);
      if (e.second >= 0) kx_msg_put_uint8(&msg_, (uint8_t)e.second);
    }
    EXPECT_EQ(c.log, stderr_of([&] { EXPECT_EQ(c.result, kx_log_msg_get(&msg_)); }));
    EXPECT_EQ(c.memory, kx_log_levels[KX_LOG_FAC_MEMORY]);
  }
  kx_msg_init(&msg_, 0);  // no count at all
  EXPECT_EQ("[General:Error] Failed to read number of log facilities from kx_msg_t.\n",
            stderr_of([&] { EXPECT_EQ(0, kx_log_msg_get(&msg_)); }));
}

// Every bug report of the library with its documented file, line, function and text.
TEST(ReportsDeathTest, BugReports) {
  struct Case { std::function<void()> call; std::string report; };
  static kx_msg_t msg;
  static char buf[128];
  static uint32_t v;
  static kx_mempool_t pool;
  static kx_ipaddrplen_t ip6 = {KX_IPADDR_TYPE_V6, {0, 0, 0, 0}, 129};
  static const uint32_t words[4] = {0, 0, 0, 1};
  const Case cases[] = {
      {[] { kx_msg_put_string(nullptr, "x"); }, "include/kx_msg.h:138/kx_msg_put_data(): msg == ((void *)0)  "},
      {[] { kx_msg_skip(nullptr, 1); }, "include/kx_msg.h:584/kx_msg_skip(): msg == ((void *)0)  "},
      {[] { kx_msg_get_uint32(nullptr, &v); }, "include/kx_msg.h:596/kx_msg_get_data(): msg == ((void *)0)  "},
      {[] { kx_msg_get_uint8(&msg, nullptr); }, "include/kx_msg.h:597/kx_msg_get_data(): buf == ((void *)0)  "},
      {[] { kx_msg_get_string_len(nullptr, buf, 4, nullptr); },
       "include/kx_msg.h:786/kx_msg_get_string_len(): msg == ((void *)0)  "},
      {[] { kx_msg_get_fields(&msg, KX_MSG_FIELD_STRING, (uint32_t)4, (char *)nullptr, 0); },
       "include/kx_msg.h:787/kx_msg_get_string_len(): buf == ((void *)0)  "},
      {[] { kx_msg_get_ipaddr(nullptr, (kx_ipaddr_t *)&ip6); },
       "include/kx_msg.h:" + std::to_string(KX_MSG_GET_IPADDR_LINE) + "/kx_msg_get_ipaddr(): msg == ((void *)0)  "},
      {[] { kx_msg_put_ipaddrplen(&msg, &ip6); },
       "include/kx_msg.h:" + std::to_string(KX_MSG_PUT_IPADDRPLEN_LINE) + "/kx_msg_put_ipaddrplen(): ip->plen > 128  "},
      {[] { kx_iptostring_ip4(1, buf, 15); }, "/kx_iptostring_ip4(): bufsize < (sizeof \"111.222.333.444\")  "},
      {[] { kx_iptostring_ip4_plen(1, 33, buf, 19); }, "/kx_iptostring_ip4_plen(): plen > 32  "},
      {[] { kx_iptostring_ip4_port(1, 1, buf, 21); }, "(): bufsize < (sizeof \"111.222.333.444:66535\")  "},
      {[] { kx_iptostring_ip6_u32(words, buf, 45); },
       "/kx_iptostring_ip6_u16(): bufsize < (sizeof \"1111:2222:3333:4444:5555:6666:255.255.255.255\")  "},
      {[] { kx_iptostring_ip6_u64_plen((const uint64_t *)words, 129, buf, 50); }, "_u16_plen(): plen > 128  "},
      {[] { kx_iptostring_ip6_u8_port((const uint8_t *)words, 1, buf, 53); },
       "(): bufsize < (sizeof \"[1111:2222:3333:4444:5555:6666:255.255.255.255]:65535\")  "},
      {[] { kx_ipaddr_t ip = {2, {0, 0, 0, 0}}; kx_ipaddr_tostring(&ip, buf, 128); }, "/kx_ipaddr_tostring(): Unknown IP type"},
      {[] { msg.len = KX_MSG_MAX_PAYLOAD - 1; kx_log_msg_put(&msg); },
       "common/log.cpp:103/kx_log_msg_put(): kx_msg_free_bytes (msg) == 0  Out of space in kx_msg_t"},
      {[] { kx_mempool_init(&pool, "p", 0, 0, 8); }, "common/mempool.cpp:127/kx_mempool_init(): inititems == 0 && growitems == 0  "},
      {[] { kx_mempool_init(&pool, "p", 1, 0, 4); }, ":128/kx_mempool_init(): itemsize < sizeof (kx_pointer_t)  "},
      {[] { pool.availitems = 1; kx_mempool_used(&pool); }, ":195/kx_mempool_used(): mempool->availitems > mempool->numitems  "},
      {[] { kx_msg_pool_init(); kx_msg_free(nullptr); }, ":246/kx_mempool_put(): item == ((void *)0)  "},
      {[] { kx_hashtable_remove(kx_hashtable_new(0, nullptr, nullptr, 2), 1); },
       "common/hashtable.cpp:363/kx_hashtable_remove(): found == 0  Key was not found in kx_hashtable_t on remove()"},
      {[] { kx_hashtable_iterator_init(nullptr, nullptr); }, ":481/kx_hashtable_iterator_init(): !it  "},
      {[] { kx_hashtable_iterator_next(nullptr); }, ":509/kx_hashtable_iterator_next(): !it  "},
      {[] { kx_strdup_format("x", nullptr); }, "common/str.cpp:25/kx_strdup_vformat(): fmt == ((void *)0)  "},
      {[] { kx_ringbuf_t *rb = kx_ringbuf_new(1); kx_ringbuf_write(rb, "a", 1); rb->first_chunk->in_use = 0; kx_ringbuf_clear(rb); },
       "common/ringbuf.cpp:154/kx_ringbuf_recycle(): !chunk->in_use  "},
      {[] { kx_ringbuf_t *rb = kx_ringbuf_new(1); kx_ringbuf_write(rb, "a", 1); kx_ringbuf_chunk_t *cached = rb->first_chunk;
            kx_ringbuf_recycle(cached); cached->in_use = 1; kx_ringbuf_write(kx_ringbuf_new(1), "b", 1); },
       ":185/kx_ringbuf_chunk_new(): ret->in_use  "},
      {[] { kx_ringbuf_t *rb = kx_ringbuf_new(1); kx_ringbuf_write(rb, "a", 1); rb->last_chunk = nullptr; rb->wr_pos = 0;
            kx_ringbuf_write(rb, "b", 1); },
       ":373/kx_ringbuf_write(): ringbuf->last_chunk == ((void *)0)  If first chunk exists, so must last"},
      {[] { kx_ringbuf_t *rb = kx_ringbuf_new(1); rb->used = 10; kx_ringbuf_skip(rb, 10); }, ":268/kx_ringbuf_read2(): !rd_chunk  "},
  };
  for (const Case &c : cases) {
    std::string re = "^\\[General:Critical\\] KX-BUG at ";
    if (!strchr("ic", c.report[0])) re += ".*";  // not the whole place
    for (const char *p = c.report.c_str(); *p; p++) re += (strchr(".[]()*+?{}|^$\\", *p) ? "\\" : "") + std::string(1, *p);
    EXPECT_DEATH({ kx_log_print_level = KX_LOG_VERBOSE; c.call(); }, re + "\n$");
  }
}
