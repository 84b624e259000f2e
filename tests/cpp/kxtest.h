// What the support library's test programs share: its headers, stderr
// capture, and log thresholds that each test may change freely.
#ifndef KX_TESTS_CPP_KXTEST_H
#define KX_TESTS_CPP_KXTEST_H

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kx_hashtable.h"
#include "kx_ipaddr.h"
#include "kx_log.h"
#include "kx_malloc.h"
#include "kx_mempool.h"
#include "kx_msg.h"
#include "kx_ringbuf.h"
#include "kx_str.h"

inline std::string stderr_of(const std::function<void()> &fn) {
  testing::internal::CaptureStderr();
  fn();
  return testing::internal::GetCapturedStderr();
}

// The thresholds a test found are put back when it ends.
class KxThresholds : public testing::EmptyTestEventListener {
  uint32_t levels_[KX_LOG_NUM_FACILITIES], print_ = 0;
  void OnTestStart(const testing::TestInfo &) override {
    memcpy(levels_, kx_log_levels, sizeof levels_);
    print_ = kx_log_print_level;
  }
  void OnTestEnd(const testing::TestInfo &) override {
    memcpy(kx_log_levels, levels_, sizeof levels_);
    kx_log_print_level = print_;
  }
};
inline const bool kx_thresholds_restored = (testing::UnitTest::GetInstance()->listeners().Append(new KxThresholds), true);

#endif
