// What every fuzz target shares: the input read as a stream of small
// decisions and a tail of data, property checks, and the one-time setup.
#ifndef KX_FUZZ_HARNESS_H
#define KX_FUZZ_HARNESS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "kx_hashtable.h"
#include "kx_ipaddr.h"
#include "kx_log.h"
#include "kx_malloc.h"
#include "kx_msg.h"
#include "kx_ringbuf.h"
#include "kx_str.h"

// A property failed: print where and stop, so that libFuzzer keeps the input.
[[noreturn]] inline void fuzz_failed(const char *file, int line, const char *cond) {
  fprintf(stderr, "%s:%d: check failed: %s\n", file, line, cond);
  abort();
}
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : fuzz_failed(__FILE__, __LINE__, #cond))

// Before the first input: broken inputs warn, so logs stay quiet, and the
// message pool is ready; the arguments are a target's own setup.
#define FUZZ_SETUP(...)                                       \
  extern "C" int LLVMFuzzerInitialize(int *, char ***) {      \
    kx_log_set_print_level(KX_LOG_EMERGENCY);                 \
    kx_msg_pool_init();                                       \
    __VA_ARGS__;                                              \
    return 0;                                                 \
  }

class FuzzInput {
 public:
  FuzzInput(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}

  bool empty() const { return p_ == end_; }
  size_t left() const { return (size_t)(end_ - p_); }

  // Past the end every read yields zeros, so a short input still runs.
  uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
  uint16_t u16() { return (uint16_t)(u8() << 8 | u8()); }
  uint32_t u32() { return (uint32_t)u16() << 16 | u16(); }
  // A byte count: below 64 KiB, or up to 1 MiB when `big`.
  uint32_t count(bool big) { return big ? u8() * 4096u + u8() : u16(); }

  std::string bytes(size_t n) {
    const std::string b((const char *)p_, std::min(n, left()));
    p_ += b.size();
    return b;
  }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

inline bool all_zero(const void *p, size_t n) {
  return std::all_of((const uint8_t *)p, (const uint8_t *)p + n, [](uint8_t b) { return b == 0; });
}

#endif
