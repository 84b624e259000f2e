// Reads a fuzzer's input as a stream of small decisions and a tail of data.
#ifndef KX_FUZZ_INPUT_H
#define KX_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

// A property failed: print where and stop, so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                          \
  do {                                                                            \
    if (!(cond)) {                                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);    \
      abort();                                                                    \
    }                                                                             \
  } while (0)

class FuzzInput {
 public:
  FuzzInput(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}

  bool empty() const { return p_ == end_; }
  size_t left() const { return (size_t)(end_ - p_); }

  // Past the end every read yields zeros, so a short input still runs.
  uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
  uint16_t u16() { return (uint16_t)(u8() << 8 | u8()); }
  uint32_t u32() { return (uint32_t)u16() << 16 | u16(); }
  uint64_t u64() { return (uint64_t)u32() << 32 | u32(); }

  // Up to n bytes taken from the input.
  const uint8_t *bytes(size_t n, size_t *got) {
    *got = n < left() ? n : left();
    const uint8_t *b = p_;
    p_ += *got;
    return b;
  }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

#endif
