// Logging: facility and level tables, thresholds, the two gates, the
// facility-levels payload, bug and badness reports.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kx_log.h"
#include "kx_msg.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Saves and restores every threshold, so tests can change them freely.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    std::copy(std::begin(kx_log_levels), std::end(kx_log_levels), saved_);
    saved_print_ = kx_log_print_level;
    msg_.reset(new kx_msg_t);
    kx_msg_init(msg_.get(), 0);
  }
  void TearDown() override {
    std::copy(std::begin(saved_), std::end(saved_), kx_log_levels);
    kx_log_print_level = saved_print_;
  }
  kx_msg_t *msg() { return msg_.get(); }

  uint32_t saved_[KX_LOG_NUM_FACILITIES];
  uint32_t saved_print_;
  std::unique_ptr<kx_msg_t> msg_;
};

TEST_F(LogTest, FacilityNamesAndDefaults) {
  struct Case {
    uint32_t index;
    const char *name;
    uint32_t threshold;
  } cases[] = {
      {0, "Interface", 6},  {1, "Memory", 6},   {14, "General", 6},
      {26, "Layer 4", 6},   {37, "Audit Modify", 4}, {39, "Audit View", 4},
      {46, "ipfix", 6},     {47, "Database Audit Modify", 4}, {48, "Database Audit View", 4},
      {50, "DEBUG", 7},     {61, "Host Stats", 6}, {64, "I40E", 6},
  };
  for (const Case &c : cases) {
    EXPECT_STREQ(c.name, kx_log_facility_name(c.index)) << c.index;
    EXPECT_EQ(c.threshold, saved_[c.index]) << c.name;
  }
  int non_default = 0;
  for (uint32_t t : saved_) non_default += t != 6;
  EXPECT_EQ(5, non_default);
  EXPECT_STREQ("?", kx_log_facility_name(65));
  EXPECT_STREQ("Verbose", kx_log_level_name(8));
  EXPECT_STREQ("?", kx_log_level_name(9));
  EXPECT_EQ((uint32_t)KX_LOG_ALERT, saved_print_);
}

TEST_F(LogTest, FindFacility) {
  struct Case {
    const char *name;
    int index;
  } cases[] = {
      {"general", 14}, {"LAYER 4", 26}, {"Layer4", -1}, {"Interface", 0},
      {"i40e", 64},    {"", -1},        {"Generals", -1}, {"IPFIX", 46},
  };
  for (const Case &c : cases) EXPECT_EQ(c.index, kx_log_find_facility(c.name)) << c.name;
  // Every name of the table finds itself.
  for (uint32_t i = 0; i < KX_LOG_NUM_FACILITIES; i++)
    EXPECT_EQ((int)i, kx_log_find_facility(kx_log_facility_name(i)));
}

TEST_F(LogTest, Setters) {
  kx_log_set_level(65, 3);
  kx_log_set_level(3, 9);
  EXPECT_TRUE(std::equal(std::begin(saved_), std::end(saved_), kx_log_levels));
  kx_log_set_level(3, 8);
  EXPECT_EQ(8u, kx_log_levels[3]);
  EXPECT_EQ(0, kx_log_set_all_levels(9));
  EXPECT_EQ(8u, kx_log_levels[3]);
  EXPECT_EQ(1, kx_log_set_all_levels(2));
  for (uint32_t t : kx_log_levels) EXPECT_EQ(2u, t);
  kx_log_set_print_level(1000);
  EXPECT_EQ(1000u, kx_log_print_level);
}

TEST_F(LogTest, GatesAndFormat) {
  kx_log_set_print_level(KX_LOG_WARNING);
  CaptureStderr();
  KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_WARNING, "w %d", 1);
  KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_NOTICE, "notice");            // above the print threshold
  kx_log_set_level(KX_LOG_FAC_MEMORY, KX_LOG_ERROR);
  KX_LOG(KX_LOG_FAC_MEMORY, KX_LOG_WARNING, "gated by the facility");
  KX_LOG(KX_LOG_FAC_MEMORY, KX_LOG_ERROR, "memory error");
  kx_log_started();                                              // Info: not printed
  kx_log_set_print_level(KX_LOG_INFO);
  kx_log_started();
  EXPECT_EQ("[General:Warning] w 1\n[Memory:Error] memory error\n[General:Info] LOGFILE STARTED\n",
            GetCapturedStderr());
}

TEST_F(LogTest, LongTextIsCut) {
  kx_log_set_print_level(KX_LOG_VERBOSE);
  std::string big(10000, 'x');
  CaptureStderr();
  kx_log(KX_LOG_FAC_NET, KX_LOG_ERROR, "%s", big.c_str());
  EXPECT_EQ("[Net:Error] " + std::string(4095, 'x') + "\n", GetCapturedStderr());
}

TEST_F(LogTest, MsgPutLayoutAndRoundTrip) {
  kx_log_set_level(KX_LOG_FAC_TCP, 2);
  kx_log_msg_put(msg());
  size_t expect = 2;
  for (uint32_t i = 0; i < KX_LOG_NUM_FACILITIES; i++) expect += 4 + strlen(kx_log_facility_name(i)) + 1 + 1;
  EXPECT_EQ(expect, msg()->len);
  EXPECT_EQ(0x00, msg()->data[0]);
  EXPECT_EQ(0x41, msg()->data[1]);
  // First entry: "Interface" with its zero byte, then level 6.
  const uint8_t first[] = {0, 0, 0, 10, 'I', 'n', 't', 'e', 'r', 'f', 'a', 'c', 'e', 0, 6};
  EXPECT_EQ(0, memcmp(first, msg()->data + 2, sizeof first));

  uint32_t before[KX_LOG_NUM_FACILITIES];
  std::copy(std::begin(kx_log_levels), std::end(kx_log_levels), before);
  kx_log_set_all_levels(0);
  kx_log_set_level(KX_LOG_FAC_GENERAL, 6);
  EXPECT_EQ(1, kx_log_msg_get(msg()));
  EXPECT_TRUE(std::equal(std::begin(before), std::end(before), kx_log_levels));
  EXPECT_EQ(msg()->len, msg()->pos);
}

// Builds a payload: u16 count, then (name, level) pairs; a pair with a null
// name stops the payload right there (a short message).
struct Entry {
  const char *name;
  int level;  // -1: level byte missing
};

void put_entries(kx_msg_t *m, uint16_t count, const std::vector<Entry> &entries) {
  kx_msg_put_uint16(m, count);
  for (const Entry &e : entries) {
    kx_msg_put_string(m, e.name);
    if (e.level >= 0) kx_msg_put_uint8(m, (uint8_t)e.level);
  }
}

TEST_F(LogTest, MsgGetCases) {
  struct Case {
    const char *what;
    uint16_t count;
    std::vector<Entry> entries;
    int result;
    uint32_t memory_after;
    std::string log;
  } cases[] = {
      {"unknown then memory", 2, {{"Nowhere", 3}, {"Memory", 7}}, 1, 7,
       "[General:Warning] Mismatch in number of expected log facilities. Got=2 Expected=65. Continuing with those "
       "I got.\n[General:Warning] Failed to find any log facility named 'Nowhere'.\n"
       "[General:Debug] Setting loglevel Debug for [Memory]\n"},
      {"count zero", 0, {}, 1, 6,
       "[General:Warning] Mismatch in number of expected log facilities. Got=0 Expected=65. Continuing with those "
       "I got.\n"},
      {"level too high", 1, {{"memory", 9}}, 1, 6,
       "[General:Warning] Mismatch in number of expected log facilities. Got=1 Expected=65. Continuing with those "
       "I got.\n[General:Warning] Log level=9 is too high for 'memory'.\n"},
      {"name missing", 2, {{"Memory", 3}}, 0, 3,
       "[General:Warning] Mismatch in number of expected log facilities. Got=2 Expected=65. Continuing with those "
       "I got.\n[General:Debug] Setting loglevel Error for [Memory]\n"
       "[General:Error] Failed to read log facility name.\n"},
      {"level missing", 65, {{"Memory", -1}}, 0, 6, "[General:Error] Failed to read log facility level.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    kx_log_levels[KX_LOG_FAC_MEMORY] = 6;
    kx_log_levels[KX_LOG_FAC_GENERAL] = KX_LOG_VERBOSE;
    kx_log_print_level = KX_LOG_VERBOSE;
    kx_msg_init(msg(), 0);
    put_entries(msg(), c.count, c.entries);
    CaptureStderr();
    EXPECT_EQ(c.result, kx_log_msg_get(msg()));
    EXPECT_EQ(c.log, GetCapturedStderr());
    EXPECT_EQ(c.memory_after, kx_log_levels[KX_LOG_FAC_MEMORY]);
  }
  // An empty payload has no count.
  kx_msg_init(msg(), 0);
  CaptureStderr();
  EXPECT_EQ(0, kx_log_msg_get(msg()));
  EXPECT_EQ("[General:Error] Failed to read number of log facilities from kx_msg_t.\n", GetCapturedStderr());
}

TEST_F(LogTest, MsgGetNamesAreBoundedAndFresh) {
  // A 100-byte name is cut to 63 bytes; a following short name sent without
  // its zero byte must not be completed by the bytes of the long one.
  std::string long_name = "Memory" + std::string(94, 'x');
  kx_msg_put_uint16(msg(), 2);
  kx_msg_put_string(msg(), long_name.c_str());
  kx_msg_put_uint8(msg(), 2);
  kx_msg_put_uint32(msg(), 3);
  kx_msg_put_data(msg(), "TCP", 3);
  kx_msg_put_uint8(msg(), 1);
  kx_log_levels[KX_LOG_FAC_GENERAL] = KX_LOG_WARNING;
  kx_log_print_level = KX_LOG_VERBOSE;
  CaptureStderr();
  EXPECT_EQ(1, kx_log_msg_get(msg()));
  std::string out = GetCapturedStderr();
  EXPECT_NE(std::string::npos, out.find("named 'Memory" + std::string(57, 'x') + "'.\n")) << out;
  EXPECT_EQ(1u, kx_log_levels[KX_LOG_FAC_TCP]);
}

TEST_F(LogTest, MsgPutIntoFullMessageIsABug) {
  kx_msg_put_data(msg(), msg()->data, KX_MSG_MAX_PAYLOAD - 1);
  kx_log_print_level = KX_LOG_VERBOSE;
  EXPECT_DEATH(kx_log_msg_put(msg()),
               "\\[General:Critical\\] KX-BUG at common/log.cpp:103/kx_log_msg_put\\(\\): "
               "kx_msg_free_bytes \\(msg\\) == 0  Out of space in kx_msg_t\n");
  EXPECT_DEATH(kx_log_msg_put(nullptr), "KX-BUG at include/kx_msg.h:138/kx_msg_put_data\\(\\): msg == ");
  EXPECT_DEATH(kx_log_msg_get(nullptr), "KX-BUG at include/kx_msg.h:596/kx_msg_get_data\\(\\): msg == ");
}

void report_bug(int n) { KX_BUG_ON(n > 2, "n is %d", n); }
void report_badness(int n) { KX_BADNESS_ON(n > 2, "n is %d", n); }

TEST_F(LogTest, BugReportsAbortWhetherPrintedOrNot) {
  kx_log_print_level = KX_LOG_VERBOSE;
  report_bug(2);
  EXPECT_DEATH(report_bug(3), "^\\[General:Critical\\] KX-BUG at tests/cpp/log_test.cpp:[0-9]+/report_bug\\(\\): "
                              "n > 2  n is 3\n$");
  kx_log_levels[KX_LOG_FAC_GENERAL] = KX_LOG_ALERT;  // the report is not even formatted
  EXPECT_DEATH(report_bug(3), "^$");
  kx_log_levels[KX_LOG_FAC_GENERAL] = KX_LOG_INFO;
  kx_log_print_level = KX_LOG_ALERT;  // formatted, not printed
  EXPECT_DEATH(kx_bug(__FILE__, 7, "f", "plain"), "^$");
}

TEST_F(LogTest, BadnessContinues) {
  kx_log_print_level = KX_LOG_VERBOSE;
  CaptureStderr();
  report_badness(5);
  kx_badness("a.cpp", 9, "g", "value %u", 4u);
  kx_log_levels[KX_LOG_FAC_GENERAL] = KX_LOG_ERROR;  // below Warning: nothing
  report_badness(6);
  std::string out = GetCapturedStderr();
  EXPECT_NE(std::string::npos,
            out.find("[General:Warning] KX-BADNESS at tests/cpp/log_test.cpp:"))
      << out;
  EXPECT_NE(std::string::npos, out.find("/report_badness(): n > 2  n is 5\n")) << out;
  EXPECT_NE(std::string::npos, out.find("[General:Warning] KX-BADNESS at a.cpp:9/g(): value 4\n")) << out;
  EXPECT_EQ(std::string::npos, out.find("n is 6"));
}

}  // namespace
