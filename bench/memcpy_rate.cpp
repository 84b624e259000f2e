// Prints the bandwidth of memcpy on 32 KiB blocks (bytes copied per second,
// best of several rounds), the yardstick bench_framing.py sets the framing
// speed of KXRingbuf against. Usage: kx-memcpy-rate [SECONDS_PER_ROUND [ROUNDS]]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

constexpr size_t kBlock = 32768;

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Bytes per second of one round of at least `seconds`.
double round_rate(unsigned char *src, unsigned char *dst, double seconds) {
  size_t copies = 0;
  double t0 = now(), t;
  do {
    for (int i = 0; i < 64; i++) {
      memcpy(dst, src, kBlock);
      // Keeps the compiler from dropping or merging the copies.
      __asm__ __volatile__("" : : "r"(dst), "r"(src) : "memory");
    }
    copies += 64;
    t = now() - t0;
  } while (t < seconds);
  return copies * double(kBlock) / t;
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 0.05;
  int rounds = argc > 2 ? atoi(argv[2]) : 5;
  if (seconds <= 0 || rounds <= 0) {
    fprintf(stderr, "usage: kx-memcpy-rate [SECONDS_PER_ROUND [ROUNDS]]\n");
    return 2;
  }
  static unsigned char src[kBlock], dst[kBlock];
  for (size_t i = 0; i < kBlock; i++) src[i] = static_cast<unsigned char>(i * 7);
  double best = 0;
  for (int r = 0; r < rounds; r++) {
    double rate = round_rate(src, dst, seconds);
    if (rate > best) best = rate;
  }
  printf("%.0f\n", best);
  return 0;
}
