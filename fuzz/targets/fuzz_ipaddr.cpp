// IP address texts: every address formatted parses back to itself, every accepted text formats to one that parses
// to the same value, and the four IPv6 representations always agree.
#include "fuzz_harness.h"

// Eight groups in the other representations, built independently of the library.
struct Reprs {
  uint32_t w[4];
  uint64_t h[2];
  uint8_t b[16];
  explicit Reprs(const uint16_t g[8]) {
    for (int i = 0; i < 4; i++) w[i] = (uint32_t)g[2 * i] << 16 | g[2 * i + 1];
    for (int i = 0; i < 2; i++) h[i] = (uint64_t)w[2 * i] << 32 | w[2 * i + 1];
    for (int i = 0; i < 16; i++) b[i] = (uint8_t)(g[i / 2] >> (i % 2 ? 0 : 8));
  }
  bool operator==(const Reprs &o) const { return memcmp(this, &o, sizeof o) == 0; }
};

// The result of one parse: where it ended (-1: refused) and what it read.
struct Parsed { long end; uint16_t g[8]; uint8_t plen; uint16_t port; };

enum Form { PLAIN, PLEN, OPTPLEN, PORT };

long offset(const char *text, const char *end) { return end ? end - text : -1; }

// Parses text with the u16, u32, u64 and u8 IPv6 parsers of `form`; all four must read the same.
Parsed parse6(const char *text, Form form, uint8_t default_plen) {
  Parsed r[4] = {};
  Reprs got(r[0].g);  // what the u32, u64 and u8 parsers write
  // The same parse through each representation; `extra` adds the plen or port arguments of result i.
#define KX_PARSE_EACH(sfx, extra)                                                  \
  r[0].end = offset(text, kx_stringtoip_ip6_u16##sfx(text, r[0].g extra(0)));     \
  r[1].end = offset(text, kx_stringtoip_ip6_u32##sfx(text, got.w extra(1)));      \
  r[2].end = offset(text, kx_stringtoip_ip6_u64##sfx(text, got.h extra(2)));      \
  r[3].end = offset(text, kx_stringtoip_ip6_u8##sfx(text, got.b extra(3)))
#define KX_NO_ARG(i)
#define KX_PLEN_ARG(i) , &r[i].plen
#define KX_OPTPLEN_ARG(i) , &r[i].plen, default_plen
#define KX_PORT_ARG(i) , &r[i].port
  switch (form) {
    case PLAIN: KX_PARSE_EACH(, KX_NO_ARG); break;
    case PLEN: KX_PARSE_EACH(_plen, KX_PLEN_ARG); break;
    case OPTPLEN: KX_PARSE_EACH(_optplen, KX_OPTPLEN_ARG); break;
    case PORT: KX_PARSE_EACH(_port, KX_PORT_ARG); break;
  }
  for (int i = 1; i < 4; i++) FUZZ_CHECK(r[i].end == r[0].end && r[i].plen == r[0].plen && r[i].port == r[0].port);
  FUZZ_CHECK(r[0].end < 0 || Reprs(r[0].g) == got);
  return r[0];
}

// Formats with the u16 formatter of `form` and checks the u32, u64 and u8 formatters write the same text.
std::string format6(const uint16_t g[8], Form form, uint8_t plen, uint16_t port) {
  char t[4][64];
  const Reprs r(g);
#define KX_FORMAT_EACH(sfx, ...)                                  \
  kx_iptostring_ip6_u16##sfx(g, __VA_ARGS__ t[0], sizeof t[0]); \
  kx_iptostring_ip6_u32##sfx(r.w, __VA_ARGS__ t[1], sizeof t[1]); \
  kx_iptostring_ip6_u64##sfx(r.h, __VA_ARGS__ t[2], sizeof t[2]); \
  kx_iptostring_ip6_u8##sfx(r.b, __VA_ARGS__ t[3], sizeof t[3])
  switch (form) {
    case PLAIN: case OPTPLEN: KX_FORMAT_EACH(, ); break;
    case PLEN: KX_FORMAT_EACH(_plen, plen,); break;
    case PORT: KX_FORMAT_EACH(_port, port,); break;
  }
  for (int i = 1; i < 4; i++) FUZZ_CHECK(strcmp(t[i], t[0]) == 0);
  return t[0];
}

// An IPv6 value formatted as text parses back to itself and consumes the text.
void roundtrip6(const uint16_t g[8], Form form, uint8_t plen, uint16_t port) {
  const std::string text = format6(g, form, plen, port);
  Parsed p = parse6(text.c_str(), form, plen);
  FUZZ_CHECK(p.end == (long)text.size());
  FUZZ_CHECK(memcmp(p.g, g, sizeof p.g) == 0);
  if (form == PLEN || form == OPTPLEN) FUZZ_CHECK(p.plen == plen);
  if (form == PORT) FUZZ_CHECK(p.port == port);
}

void roundtrip4(uint32_t addr, uint8_t plen, uint16_t port) {
  char t[64]; uint32_t a; uint8_t l; uint16_t pt;
  kx_iptostring_ip4(addr, t, sizeof t);
  FUZZ_CHECK(kx_stringtoip_ip4(t, &a) == t + strlen(t) && a == addr);
  FUZZ_CHECK(kx_stringtoip_ip4_optplen(t, &a, &l, plen) == t + strlen(t) && a == addr && l == plen);
  kx_iptostring_ip4_plen(addr, plen, t, sizeof t);
  FUZZ_CHECK(kx_stringtoip_ip4_plen(t, &a, &l) == t + strlen(t) && a == addr && l == plen);
  FUZZ_CHECK(kx_stringtoip_ip4_optplen(t, &a, &l, 0) == t + strlen(t) && a == addr && l == plen);
  kx_iptostring_ip4_port(addr, port, t, sizeof t);
  FUZZ_CHECK(kx_stringtoip_ip4_port(t, &a, &pt) == t + strlen(t) && a == addr && pt == port);
}

// A text any IPv4 parser accepted: the accepted part is exactly the canonical
// text of what was read (decimal octets without leading zeros have one form).
void reparse4(const char *text, uint8_t default_plen) {
  char t[64]; uint32_t a; uint8_t l; uint16_t pt;
  auto canonical = [&](const char *e, const char *form) {
    FUZZ_CHECK((size_t)(e - text) == strlen(form) && memcmp(form, text, strlen(form)) == 0);
  };
  if (const char *e = kx_stringtoip_ip4(text, &a)) canonical(e, kx_iptostring_ip4(a, t, sizeof t));
  if (const char *e = kx_stringtoip_ip4_plen(text, &a, &l)) {
    FUZZ_CHECK(l <= 32);
    canonical(e, kx_iptostring_ip4_plen(a, l, t, sizeof t));
  }
  if (const char *e = kx_stringtoip_ip4_optplen(text, &a, &l, default_plen))
    FUZZ_CHECK((l <= 32 || l == default_plen) && e > text);
  if (const char *e = kx_stringtoip_ip4_port(text, &a, &pt)) canonical(e, kx_iptostring_ip4_port(a, pt, t, sizeof t));
}

// A text an IPv6 parser accepted formats to a text that parses to the same value.
void reparse6(const char *text, uint8_t default_plen) {
  const Parsed plain = parse6(text, PLAIN, default_plen);
  for (Form form : {PLAIN, PLEN, OPTPLEN, PORT}) {
    Parsed p = parse6(text, form, default_plen);
    if (p.end < 0) continue;
    FUZZ_CHECK(p.end > 0);
    if (form == PLEN) FUZZ_CHECK(p.plen <= 128);
    // Without a "/n" an optional prefix length is the plain address and the default applies.
    const bool has_plen = p.end != plain.end;
    if (form == OPTPLEN)
      FUZZ_CHECK((has_plen ? p.plen <= 128 : p.plen == default_plen) && plain.end >= 0 && memcmp(p.g, plain.g, sizeof p.g) == 0);
    roundtrip6(p.g, form != OPTPLEN ? form : has_plen ? PLEN : PLAIN, p.plen, p.port);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t mode = in.u8();
  if (mode & 1) {
    // The rest of the input is binary: an address, a prefix length and a port.
    uint16_t g[8];
    for (int i = 0; i < 8; i++) g[i] = (mode & 2) && in.u8() < 128 ? 0 : in.u16();
    const uint8_t plen6 = in.u8() % 129, plen4 = in.u8() % 33;
    const uint16_t port = in.u16();
    for (Form form : {PLAIN, PLEN, OPTPLEN, PORT}) roundtrip6(g, form, plen6, port);
    roundtrip4((uint32_t)g[0] << 16 | g[1], plen4, port);
    return 0;
  }
  // The rest of the input is text.
  const uint8_t default_plen = in.u8();
  const std::string text = in.bytes(256);
  reparse4(text.c_str(), default_plen);
  reparse6(text.c_str(), default_plen);
  return 0;
}
