// String utilities.
#include "kx_str.h"

#include <string.h>

#include "kx_log.h"

#define U KX_CTYPE_UPPER
#define L KX_CTYPE_LOWER
#define D KX_CTYPE_DIGIT
#define C KX_CTYPE_CNTRL
#define P KX_CTYPE_PUNCT
#define S KX_CTYPE_SPACE
#define X KX_CTYPE_XLETTER
#define B KX_CTYPE_BLANK

const uint8_t kx_ctype[256] = {
    C, C, C, C, C, C, C, C, C, C | S, C | S, C | S, C | S, C | S, C, C,  // 0x00: \t \n \v \f \r
    C, C, C, C, C, C, C, C, C, C, C, C, C, C, C, C,                      // 0x10
    S | B, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P,                  // 0x20: blank, symbols
    D, D, D, D, D, D, D, D, D, D, P, P, P, P, P, P,                      // 0x30: digits
    P, U | X, U | X, U | X, U | X, U | X, U | X, U, U, U, U, U, U, U, U, U,  // 0x40
    U, U, U, U, U, U, U, U, U, U, U, P, P, P, P, P,                      // 0x50
    P, L | X, L | X, L | X, L | X, L | X, L | X, L, L, L, L, L, L, L, L, L,  // 0x60
    L, L, L, L, L, L, L, L, L, L, L, P, P, P, P, C,                      // 0x70: DEL
};

#undef U
#undef L
#undef D
#undef C
#undef P
#undef S
#undef X
#undef B

void kx_strlower(char *s) {
  for (; *s; s++) *s = (char)kx_tolower((uint8_t)*s);
}

int kx_strcasecmp(const char *a, const char *b) {
  for (;; a++, b++) {
    int ca = kx_tolower((uint8_t)*a), cb = kx_tolower((uint8_t)*b);
    if (ca != cb || ca == 0) return ca - cb;
  }
}

int kx_strncasecmp(const char *a, const char *b, int n) {
  for (int i = 0; i < n; i++) {
    if (a[i] == 0 || b[i] == 0) return 0;
    int ca = kx_tolower((uint8_t)a[i]), cb = kx_tolower((uint8_t)b[i]);
    if (ca != cb) return ca - cb;
  }
  return 0;
}
