// Address text (kxaddr.h).
#include "kxaddr.h"

#include <string.h>

namespace kx {

// The decimal text of every octet followed by a dot, and its length: an
// address is four copies from it, one four-byte word each.
struct OctetText {
  char text[256][4];  // text[v]: "v." (unused bytes after the dot)
  uint8_t len[256];
  OctetText() {
    for (unsigned v = 0; v < 256; v++) {
      char buf[4];
      int n = 0;
      if (v >= 100) buf[n++] = static_cast<char>('0' + v / 100);
      if (v >= 10) buf[n++] = static_cast<char>('0' + v / 10 % 10);
      buf[n++] = static_cast<char>('0' + v % 10);
      buf[n++] = '.';
      for (int i = 0; i < 4; i++) text[v][i] = i < n ? buf[i] : '.';
      len[v] = static_cast<uint8_t>(n);
    }
  }
};
static const OctetText kOctets;

static char *put_octet(char *p, unsigned v) {
  memcpy(p, kOctets.text[v], 4);
  return p + kOctets.len[v];
}

// Appends v in lowercase hex without leading zeros.
static char *put_hex(char *p, unsigned v) {
  static const char digits[] = "0123456789abcdef";
  int shift = 12;
  while (shift > 0 && !(v >> shift)) shift -= 4;
  for (; shift >= 0; shift -= 4) *p++ = digits[(v >> shift) & 0xf];
  return p;
}

// Address text, ASCII only: under Python 3 the str is made at its size and
// the characters copied in, as decoding them would give.
static Ref address_text(const char *s, Py_ssize_t n, Site at) {
#if KX_PY3
  Ref text = check(PyUnicode_New(n, 127), at);
  memcpy(PyUnicode_1BYTE_DATA(text.get()), s, static_cast<size_t>(n));
  return text;
#else
  return py_str(s, n, at);
#endif
}

Ref v4_text(uint32_t a, Site at) {
  char text[20];
  char *p = text;
  p = put_octet(p, a >> 24);
  p = put_octet(p, (a >> 16) & 0xff);
  p = put_octet(p, (a >> 8) & 0xff);
  p = put_octet(p, a & 0xff);
  return address_text(text, p - 1 - text, at);
}

Ref v6_text(const uint32_t (&words)[4], Site at) {
  char text[40];
  char *p = text;
  for (uint32_t word : words) {
    p = put_hex(p, word >> 16);
    *p++ = ':';
    p = put_hex(p, word & 0xffff);
    *p++ = ':';
  }
  return address_text(text, p - 1 - text, at);
}

}  // namespace kx
