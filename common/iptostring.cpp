// Text forms of IPv4 and IPv6 addresses and their parsers.
//
// Every IPv6 representation is converted to or from eight u16 groups, so one
// formatter and one parser serve all of them.
#include <string.h>

#include "kx_ipaddr.h"
#include "kx_log.h"

namespace {

// ---- representations <-> eight groups ----

void to_groups(const uint32_t *w, uint16_t g[8]) {
  for (int i = 0; i < 8; i++) g[i] = (uint16_t)(w[i / 2] >> (i % 2 ? 0 : 16));
}
void to_groups(const uint64_t *h, uint16_t g[8]) {
  for (int i = 0; i < 8; i++) g[i] = (uint16_t)(h[i / 4] >> (48 - 16 * (i % 4)));
}
void to_groups(const uint8_t *b, uint16_t g[8]) {
  for (int i = 0; i < 8; i++) g[i] = (uint16_t)(b[2 * i] << 8 | b[2 * i + 1]);
}

void from_groups(const uint16_t g[8], uint32_t *w) {
  for (int i = 0; i < 4; i++) w[i] = (uint32_t)g[2 * i] << 16 | g[2 * i + 1];
}
void from_groups(const uint16_t g[8], uint64_t *h) {
  for (int i = 0; i < 2; i++) {
    h[i] = 0;
    for (int j = 0; j < 4; j++) h[i] = h[i] << 16 | g[4 * i + j];
  }
}
void from_groups(const uint16_t g[8], uint8_t *b) {
  for (int i = 0; i < 8; i++) {
    b[2 * i] = (uint8_t)(g[i] >> 8);
    b[2 * i + 1] = (uint8_t)g[i];
  }
}

// ---- formatting ----

char *put_num(char *p, unsigned v, unsigned base) {
  char tmp[10];
  int n = 0;
  do {
    tmp[n++] = "0123456789abcdef"[v % base];
    v /= base;
  } while (v);
  while (n) *p++ = tmp[--n];
  return p;
}

char *put_ip4(char *p, uint32_t addr) {
  for (int i = 0; i < 4; i++) {
    if (i) *p++ = '.';
    p = put_num(p, (addr >> (24 - 8 * i)) & 0xff, 10);
  }
  return p;
}

// Colon-hex with the longest run (first of equal ones) of at least two zero
// groups compressed to "::". Never writes a dotted-quad tail.
char *put_ip6(char *p, const uint16_t g[8]) {
  int best = -1, best_len = 0;
  for (int i = 0; i < 8;) {
    if (g[i]) {
      i++;
      continue;
    }
    int j = i;
    while (j < 8 && !g[j]) j++;
    if (j - i > best_len) {
      best = i;
      best_len = j - i;
    }
    i = j;
  }
  if (best_len < 2) best = -1;
  for (int i = 0; i < 8; i++) {
    if (best >= 0 && i >= best && i < best + best_len) {
      if (i == best) *p++ = ':';
      continue;
    }
    if (i) *p++ = ':';
    p = put_num(p, g[i], 16);
  }
  if (best >= 0 && best + best_len == 8) *p++ = ':';
  return p;
}

// ---- parsing ----

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal number of 1 to max_digits digits, without a leading zero unless
// it is "0" itself, and at most max_value.
const char *parse_dec(const char *p, unsigned max_digits, unsigned max_value, unsigned *out) {
  if (!is_digit(*p) || (p[0] == '0' && is_digit(p[1]))) return nullptr;
  unsigned v = 0, n = 0;
  for (; is_digit(*p); p++) {
    if (++n > max_digits) return nullptr;
    v = v * 10 + (unsigned)(*p - '0');
  }
  if (v > max_value) return nullptr;
  *out = v;
  return p;
}

const char *parse_ip4(const char *p, uint32_t *addr) {
  uint32_t a = 0;
  for (int i = 0; i < 4; i++) {
    if (i && *p++ != '.') return nullptr;
    unsigned octet;
    if (!(p = parse_dec(p, 3, 255, &octet))) return nullptr;
    a = a << 8 | octet;
  }
  if (*p == '.') return nullptr;  // a fifth octet or a trailing dot
  *addr = a;
  return p;
}

// Colon-hex into eight groups. "::" stands for at least one zero group, so it
// may appear once and only with at most seven explicit groups.
const char *parse_ip6(const char *p, uint16_t g[8]) {
  memset(g, 0, 16);
  int n = 0, gap = -1;
  if (*p == ':') {
    if (p[1] != ':') return nullptr;
    gap = 0;
    p += 2;
    if (*p == ':') return nullptr;
    if (hex_value(*p) < 0) return p;  // just "::"
  }
  for (;;) {
    unsigned v = 0;
    int digits = 0;
    for (int d; (d = hex_value(*p)) >= 0; p++) {
      if (++digits > 4) return nullptr;
      v = v << 4 | (unsigned)d;
    }
    if (!digits || n == 8) return nullptr;
    g[n++] = (uint16_t)v;
    if (*p != ':') break;
    if (p[1] == ':') {
      if (gap >= 0) return nullptr;
      gap = n;
      p += 2;
      if (*p == ':') return nullptr;
      if (hex_value(*p) < 0) break;
    } else {
      p++;
      if (hex_value(*p) < 0) return nullptr;  // trailing colon
    }
  }
  if (gap < 0) return n == 8 ? p : nullptr;
  if (n == 8) return nullptr;
  int tail = n - gap;
  memmove(g + 8 - tail, g + gap, 2 * (size_t)tail);
  memset(g + gap, 0, 2 * (size_t)(8 - tail - gap));
  return p;
}

const char *parse_plen(const char *p, unsigned max, uint8_t *plen) {
  unsigned v;
  if (!p || *p != '/' || !(p = parse_dec(p + 1, 3, 255, &v)) || v > max) return nullptr;
  *plen = (uint8_t)v;
  return p;
}

const char *parse_optplen(const char *p, unsigned max, uint8_t *plen, uint8_t default_plen) {
  if (p && *p != '/') {
    *plen = default_plen;
    return p;
  }
  return parse_plen(p, max, plen);
}

const char *parse_port(const char *p, uint16_t *port) {
  unsigned v;
  if (!p || *p != ':' || !(p = parse_dec(p + 1, 5, 65535, &v))) return nullptr;
  *port = (uint16_t)v;
  return p;
}

const char *parse_ip6_bracketed(const char *p, uint16_t g[8]) {
  if (*p != '[') {
    memset(g, 0, 16);
    return nullptr;
  }
  p = parse_ip6(p + 1, g);
  return p && *p == ']' ? p + 1 : nullptr;
}

}  // namespace

extern "C" {

// ---- IPv4 text ----

char *kx_iptostring_ip4(uint32_t addr, char *buf, size_t bufsize) {
  KX_BUG_ON(bufsize < (sizeof "111.222.333.444"));
  *put_ip4(buf, addr) = 0;
  return buf;
}

char *kx_iptostring_ip4_plen(uint32_t addr, uint8_t plen, char *buf, size_t bufsize) {
  KX_BUG_ON(bufsize < (sizeof "111.222.333.444/32"));
  KX_BUG_ON(plen > 32);
  char *p = put_ip4(buf, addr);
  *p++ = '/';
  *put_num(p, plen, 10) = 0;
  return buf;
}

char *kx_iptostring_ip4_port(uint32_t addr, uint16_t port, char *buf, size_t bufsize) {
  KX_BUG_ON(bufsize < (sizeof "111.222.333.444:66535"));
  char *p = put_ip4(buf, addr);
  *p++ = ':';
  *put_num(p, port, 10) = 0;
  return buf;
}

// ---- IPv6 text ----

char *kx_iptostring_ip6_u16(const uint16_t groups[8], char *buf, size_t bufsize) {
  KX_BUG_ON(bufsize < (sizeof "1111:2222:3333:4444:5555:6666:255.255.255.255"));
  *put_ip6(buf, groups) = 0;
  return buf;
}

char *kx_iptostring_ip6_u16_plen(const uint16_t groups[8], uint8_t plen, char *buf, size_t bufsize) {
  KX_BUG_ON(bufsize < (sizeof "1111:2222:3333:4444:5555:6666:255.255.255.255/128"));
  KX_BUG_ON(plen > 128);
  char *p = put_ip6(buf, groups);
  *p++ = '/';
  *put_num(p, plen, 10) = 0;
  return buf;
}

char *kx_iptostring_ip6_u16_port(const uint16_t groups[8], uint16_t port, char *buf, size_t bufsize) {
  KX_BUG_ON(bufsize < (sizeof "[1111:2222:3333:4444:5555:6666:255.255.255.255]:65535"));
  char *p = buf;
  *p++ = '[';
  p = put_ip6(p, groups);
  *p++ = ']';
  *p++ = ':';
  *put_num(p, port, 10) = 0;
  return buf;
}

char *kx_ipaddr_tostring(const kx_ipaddr_t *ip, char *buf, size_t bufsize) {
  if (ip->ip_type == KX_IPADDR_TYPE_V4) return kx_iptostring_ip4(ip->address[0], buf, bufsize);
  if (ip->ip_type == KX_IPADDR_TYPE_V6) return kx_iptostring_ip6_u32(ip->address, buf, bufsize);
  kx_bug(__FILE__, __LINE__, __func__, "Unknown IP type");
}

char *kx_ipaddrplen_tostring(const kx_ipaddrplen_t *ip, char *buf, size_t bufsize) {
  if (ip->ip_type == KX_IPADDR_TYPE_V4) return kx_iptostring_ip4_plen(ip->address[0], ip->plen, buf, bufsize);
  if (ip->ip_type == KX_IPADDR_TYPE_V6) return kx_iptostring_ip6_u32_plen(ip->address, ip->plen, buf, bufsize);
  kx_bug(__FILE__, __LINE__, __func__, "Unknown IP type");
}

// ---- parsers ----

const char *kx_stringtoip_ip4(const char *text, uint32_t *addr) { return parse_ip4(text, addr); }

const char *kx_stringtoip_ip4_plen(const char *text, uint32_t *addr, uint8_t *plen) {
  return parse_plen(parse_ip4(text, addr), 32, plen);
}

const char *kx_stringtoip_ip4_optplen(const char *text, uint32_t *addr, uint8_t *plen, uint8_t default_plen) {
  return parse_optplen(parse_ip4(text, addr), 32, plen, default_plen);
}

const char *kx_stringtoip_ip4_port(const char *text, uint32_t *addr, uint16_t *port) {
  return parse_port(parse_ip4(text, addr), port);
}

const char *kx_stringtoip_ip6_u16(const char *text, uint16_t groups[8]) { return parse_ip6(text, groups); }

const char *kx_stringtoip_ip6_u16_plen(const char *text, uint16_t groups[8], uint8_t *plen) {
  return parse_plen(parse_ip6(text, groups), 128, plen);
}

const char *kx_stringtoip_ip6_u16_optplen(const char *text, uint16_t groups[8], uint8_t *plen,
                                          uint8_t default_plen) {
  return parse_optplen(parse_ip6(text, groups), 128, plen, default_plen);
}

const char *kx_stringtoip_ip6_u16_port(const char *text, uint16_t groups[8], uint16_t *port) {
  return parse_port(parse_ip6_bracketed(text, groups), port);
}

// The other IPv6 representations go through eight groups. Their outputs are
// written even on failure, as the u16 forms clear and fill the groups.
#define KX_IP6_REPRESENTATION(sfx, T)                                                              \
  char *kx_iptostring_ip6_##sfx(const T a[], char *buf, size_t bufsize) {                          \
    uint16_t g[8];                                                                                 \
    to_groups(a, g);                                                                               \
    return kx_iptostring_ip6_u16(g, buf, bufsize);                                                 \
  }                                                                                                \
  char *kx_iptostring_ip6_##sfx##_plen(const T a[], uint8_t plen, char *buf, size_t bufsize) {     \
    uint16_t g[8];                                                                                 \
    to_groups(a, g);                                                                               \
    return kx_iptostring_ip6_u16_plen(g, plen, buf, bufsize);                                      \
  }                                                                                                \
  char *kx_iptostring_ip6_##sfx##_port(const T a[], uint16_t port, char *buf, size_t bufsize) {    \
    uint16_t g[8];                                                                                 \
    to_groups(a, g);                                                                               \
    return kx_iptostring_ip6_u16_port(g, port, buf, bufsize);                                      \
  }                                                                                                \
  const char *kx_stringtoip_ip6_##sfx(const char *text, T a[]) {                                   \
    uint16_t g[8];                                                                                 \
    const char *end = kx_stringtoip_ip6_u16(text, g);                                              \
    from_groups(g, a);                                                                             \
    return end;                                                                                    \
  }                                                                                                \
  const char *kx_stringtoip_ip6_##sfx##_plen(const char *text, T a[], uint8_t *plen) {             \
    uint16_t g[8];                                                                                 \
    const char *end = kx_stringtoip_ip6_u16_plen(text, g, plen);                                   \
    from_groups(g, a);                                                                             \
    return end;                                                                                    \
  }                                                                                                \
  const char *kx_stringtoip_ip6_##sfx##_optplen(const char *text, T a[], uint8_t *plen,            \
                                                uint8_t default_plen) {                            \
    uint16_t g[8];                                                                                 \
    const char *end = kx_stringtoip_ip6_u16_optplen(text, g, plen, default_plen);                  \
    from_groups(g, a);                                                                             \
    return end;                                                                                    \
  }                                                                                                \
  const char *kx_stringtoip_ip6_##sfx##_port(const char *text, T a[], uint16_t *port) {            \
    uint16_t g[8];                                                                                 \
    const char *end = kx_stringtoip_ip6_u16_port(text, g, port);                                   \
    from_groups(g, a);                                                                             \
    return end;                                                                                    \
  }

KX_IP6_REPRESENTATION(u32, uint32_t)
KX_IP6_REPRESENTATION(u64, uint64_t)
KX_IP6_REPRESENTATION(u8, uint8_t)

}  // extern "C"
