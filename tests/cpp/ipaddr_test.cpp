// Address text forms, parsers and the ipaddr / ipaddrplen wire primitives.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kx_ipaddr.h"
#include "kx_msg.h"

namespace {

using Groups = std::array<uint16_t, 8>;
using Bytes = std::vector<uint8_t>;

// The three other representations of eight groups, built independently of
// the library's own conversions.
struct Reprs {
  uint32_t w[4];
  uint64_t h[2];
  uint8_t b[16];
  explicit Reprs(const Groups &g) {
    for (int i = 0; i < 4; i++) w[i] = (uint32_t)g[2 * i] << 16 | g[2 * i + 1];
    h[0] = (uint64_t)w[0] << 32 | w[1];
    h[1] = (uint64_t)w[2] << 32 | w[3];
    for (int i = 0; i < 8; i++) {
      b[2 * i] = (uint8_t)(g[i] >> 8);
      b[2 * i + 1] = (uint8_t)g[i];
    }
  }
};

std::string ip6_text(const Groups &g) {
  char buf[128];
  return kx_iptostring_ip6_u16(g.data(), buf, sizeof buf);
}

// ---- text forms ----

TEST(IpText, Ip6CompressionInEveryRepresentation) {
  struct Case { Groups g; const char *text; };
  const Case cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
      {{1, 0, 0, 0, 0, 0, 0, 0}, "1::"},
      {{1, 0, 0, 2, 0, 0, 0, 3}, "1:0:0:2::3"},         // the longer run wins
      {{1, 0, 0, 2, 0, 0, 3, 4}, "1::2:0:0:3:4"},       // tie: the first run wins
      {{0, 0, 1, 0, 0, 2, 3, 4}, "::1:0:0:2:3:4"},
      {{1, 0, 2, 0, 3, 0, 4, 0}, "1:0:2:0:3:0:4:0"},    // single zero groups stay
      {{1, 0, 2, 3, 4, 5, 6, 7}, "1:0:2:3:4:5:6:7"},
      {{1, 2, 3, 4, 5, 6, 7, 0}, "1:2:3:4:5:6:7:0"},
      {{1, 2, 3, 4, 5, 6, 0, 0}, "1:2:3:4:5:6::"},      // trailing run
      {{0, 0, 1, 0, 0, 0, 0, 0}, "0:0:1::"},
      {{0, 0, 0, 0, 0, 0xffff, 0x0a00, 1}, "::ffff:a00:1"},  // never a dotted tail
      {{0x2001, 0xdb8, 0, 0, 0, 0, 0, 0x1}, "2001:db8::1"},
      {{0xabcd, 0xef, 0x10, 0x100, 0x1000, 0xf00f, 0xa, 0xb}, "abcd:ef:10:100:1000:f00f:a:b"},
      {{0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff},
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Reprs r(c.g);
    std::string t = c.text, plen = t + "/64", port = "[" + t + "]:8080";
    char buf[128];
    EXPECT_EQ(kx_iptostring_ip6_u16(c.g.data(), buf, 46), t);
    EXPECT_EQ(kx_iptostring_ip6_u32(r.w, buf, 46), t);
    EXPECT_EQ(kx_iptostring_ip6_u64(r.h, buf, 46), t);
    EXPECT_EQ(kx_iptostring_ip6_u8(r.b, buf, 46), t);
    EXPECT_EQ(kx_iptostring_ip6_u16_plen(c.g.data(), 64, buf, 50), plen);
    EXPECT_EQ(kx_iptostring_ip6_u32_plen(r.w, 64, buf, 50), plen);
    EXPECT_EQ(kx_iptostring_ip6_u64_plen(r.h, 64, buf, 50), plen);
    EXPECT_EQ(kx_iptostring_ip6_u8_plen(r.b, 64, buf, 50), plen);
    EXPECT_EQ(kx_iptostring_ip6_u16_port(c.g.data(), 8080, buf, 54), port);
    EXPECT_EQ(kx_iptostring_ip6_u32_port(r.w, 8080, buf, 54), port);
    EXPECT_EQ(kx_iptostring_ip6_u64_port(r.h, 8080, buf, 54), port);
    EXPECT_EQ(kx_iptostring_ip6_u8_port(r.b, 8080, buf, 54), port);
  }
}

TEST(IpText, Ip4FormsAndPrefixPortBounds) {
  char buf[128];
  struct Case { uint32_t addr; const char *text; };
  const Case cases[] = {
      {0, "0.0.0.0"}, {0x0a000001, "10.0.0.1"}, {0xc0a80a64, "192.168.10.100"}, {0xffffffff, "255.255.255.255"},
  };
  for (const Case &c : cases) {
    std::string t = c.text;
    EXPECT_EQ(kx_iptostring_ip4(c.addr, buf, 16), t);
    EXPECT_EQ(kx_iptostring_ip4_plen(c.addr, 0, buf, 19), t + "/0");
    EXPECT_EQ(kx_iptostring_ip4_plen(c.addr, 32, buf, 19), t + "/32");
    EXPECT_EQ(kx_iptostring_ip4_port(c.addr, 0, buf, 22), t + ":0");
    EXPECT_EQ(kx_iptostring_ip4_port(c.addr, 65535, buf, 22), t + ":65535");
  }
  Groups all = {0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff};
  EXPECT_EQ(kx_iptostring_ip6_u16_plen(all.data(), 128, buf, 50), ip6_text(all) + "/128");
  EXPECT_EQ(kx_iptostring_ip6_u16_port(all.data(), 65535, buf, 54), "[" + ip6_text(all) + "]:65535");
}

// ---- parsers ----

enum Kind { PLAIN, PLEN, OPTPLEN, PORT };

struct ParseCase {
  Kind kind;
  const char *text;
  bool ok;
  Groups g;         // IPv6 groups; IPv4 uses g[0]:g[1] as the address
  unsigned extra;   // prefix or port
  const char *rest; // text left after the accepted part
};

const char *parse_ip4(const ParseCase &c, uint32_t *a, unsigned *extra) {
  uint8_t plen = 0;
  uint16_t port = 0;
  const char *end = c.kind == PLAIN ? kx_stringtoip_ip4(c.text, a)
                    : c.kind == PLEN ? kx_stringtoip_ip4_plen(c.text, a, &plen)
                    : c.kind == OPTPLEN ? kx_stringtoip_ip4_optplen(c.text, a, &plen, 32)
                                        : kx_stringtoip_ip4_port(c.text, a, &port);
  *extra = c.kind == PORT ? port : plen;
  return end;
}

TEST(IpParse, Ip4) {
  const ParseCase cases[] = {
      {PLAIN, "10.0.0.1", true, {0x0a00, 1}, 0, ""},
      {PLAIN, "0.0.0.0", true, {0, 0}, 0, ""},
      {PLAIN, "255.255.255.255", true, {0xffff, 0xffff}, 0, ""},
      {PLAIN, "10.0.0.1:80", true, {0x0a00, 1}, 0, ":80"},
      {PLAIN, "10.0.0.1 and more", true, {0x0a00, 1}, 0, " and more"},
      {PLAIN, "1.2.3.4/8", true, {0x0102, 0x0304}, 0, "/8"},
      {PLAIN, "256.1.1.1", false, {}, 0, ""},
      {PLAIN, "1.2.3", false, {}, 0, ""},
      {PLAIN, "1..2.3.4", false, {}, 0, ""},
      {PLAIN, "01.2.3.4", false, {}, 0, ""},
      {PLAIN, "1.2.3.00", false, {}, 0, ""},
      {PLAIN, "1.2.3.4.", false, {}, 0, ""},
      {PLAIN, "1.2.3.4.5", false, {}, 0, ""},
      {PLAIN, "1.2.3.1000", false, {}, 0, ""},
      {PLAIN, ".1.2.3.4", false, {}, 0, ""},
      {PLAIN, "", false, {}, 0, ""},
      {PLAIN, "1:2::3", false, {}, 0, ""},
      {PLEN, "10.1.2.3/8", true, {0x0a01, 0x0203}, 8, ""},
      {PLEN, "1.2.3.4/0", true, {0x0102, 0x0304}, 0, ""},
      {PLEN, "1.2.3.4/32x", true, {0x0102, 0x0304}, 32, "x"},
      {PLEN, "1.2.3.4/33", false, {}, 0, ""},
      {PLEN, "1.2.3.4/08", false, {}, 0, ""},
      {PLEN, "1.2.3.4/", false, {}, 0, ""},
      {PLEN, "1.2.3.4/1234", false, {}, 0, ""},
      {PLEN, "1.2.3.4", false, {}, 0, ""},
      {OPTPLEN, "1.2.3.4", true, {0x0102, 0x0304}, 32, ""},
      {OPTPLEN, "1.2.3.4/24", true, {0x0102, 0x0304}, 24, ""},
      {OPTPLEN, "10.0.0.1:80", true, {0x0a00, 1}, 32, ":80"},
      {OPTPLEN, "10.0.0.0/33", false, {}, 0, ""},
      {OPTPLEN, "1.2.3.4/", false, {}, 0, ""},
      {PORT, "1.2.3.4:80", true, {0x0102, 0x0304}, 80, ""},
      {PORT, "1.2.3.4:0", true, {0x0102, 0x0304}, 0, ""},
      {PORT, "1.2.3.4:65535/", true, {0x0102, 0x0304}, 65535, "/"},
      {PORT, "1.2.3.4:65536", false, {}, 0, ""},
      {PORT, "1.2.3.4:080", false, {}, 0, ""},
      {PORT, "1.2.3.4:123456", false, {}, 0, ""},
      {PORT, "1.2.3.4:", false, {}, 0, ""},
      {PORT, "1.2.3.4", false, {}, 0, ""},
  };
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " kind " + std::to_string(c.kind));
    uint32_t a = 0;
    unsigned extra = 0;
    const char *end = parse_ip4(c, &a, &extra);
    if (!c.ok) {
      EXPECT_EQ(end, nullptr);
      continue;
    }
    ASSERT_NE(end, nullptr);
    EXPECT_STREQ(end, c.rest);
    EXPECT_EQ(a, (uint32_t)c.g[0] << 16 | c.g[1]);
    EXPECT_EQ(extra, c.extra);
  }
}

// Parses with one representation's parser; the result is given back as groups.
template <class T>
const char *parse_ip6_as(const ParseCase &c, T *a, unsigned *extra);

#define KX_PARSE_AS(T, sfx)                                                                        \
  template <>                                                                                      \
  const char *parse_ip6_as<T>(const ParseCase &c, T *a, unsigned *extra) {                         \
    uint8_t plen = 0;                                                                              \
    uint16_t port = 0;                                                                             \
    const char *end = c.kind == PLAIN ? kx_stringtoip_ip6_##sfx(c.text, a)                         \
                      : c.kind == PLEN ? kx_stringtoip_ip6_##sfx##_plen(c.text, a, &plen)          \
                      : c.kind == OPTPLEN ? kx_stringtoip_ip6_##sfx##_optplen(c.text, a, &plen, 128) \
                                          : kx_stringtoip_ip6_##sfx##_port(c.text, a, &port);      \
    *extra = c.kind == PORT ? port : plen;                                                         \
    return end;                                                                                    \
  }
KX_PARSE_AS(uint16_t, u16)
KX_PARSE_AS(uint32_t, u32)
KX_PARSE_AS(uint64_t, u64)
KX_PARSE_AS(uint8_t, u8)

TEST(IpParse, Ip6InEveryRepresentation) {
  const ParseCase cases[] = {
      {PLAIN, "::", true, {}, 0, ""},
      {PLAIN, "::1", true, {0, 0, 0, 0, 0, 0, 0, 1}, 0, ""},
      {PLAIN, "1::", true, {1}, 0, ""},
      {PLAIN, "1:2:3:4:5:6:7:8", true, {1, 2, 3, 4, 5, 6, 7, 8}, 0, ""},
      {PLAIN, "1:2:3::5:6:7:8", true, {1, 2, 3, 0, 5, 6, 7, 8}, 0, ""},
      {PLAIN, "::1:2:3:4:5:6:7", true, {0, 1, 2, 3, 4, 5, 6, 7}, 0, ""},
      {PLAIN, "1:2:3:4:5:6:7::", true, {1, 2, 3, 4, 5, 6, 7, 0}, 0, ""},
      {PLAIN, "ABCD:ef01::0001:F", true, {0xabcd, 0xef01, 0, 0, 0, 0, 1, 0xf}, 0, ""},
      {PLAIN, "fe80::1%eth0", true, {0xfe80, 0, 0, 0, 0, 0, 0, 1}, 0, "%eth0"},
      {PLAIN, "::ffff:10.0.0.1", true, {0, 0, 0, 0, 0, 0, 0xffff, 0x10}, 0, ".0.0.1"},
      {PLAIN, "::/64", true, {}, 0, "/64"},
      {PLAIN, "1:2:3:4::5:6:7:8", false, {}, 0, ""},  // "::" needs an omitted group
      {PLAIN, "::1:2:3:4:5:6:7:8", false, {}, 0, ""},
      {PLAIN, "1:2:3:4:5:6:7:8::", false, {}, 0, ""},
      {PLAIN, "1:2:3:4:5:6:7", false, {}, 0, ""},
      {PLAIN, "1:2:3:4:5:6:7:8:9", false, {}, 0, ""},
      {PLAIN, "12345::", false, {}, 0, ""},
      {PLAIN, "1::2::3", false, {}, 0, ""},
      {PLAIN, ":::", false, {}, 0, ""},
      {PLAIN, "1:::2", false, {}, 0, ""},
      {PLAIN, "1:2:3:4:5:6:7:8:", false, {}, 0, ""},
      {PLAIN, "1::2:", false, {}, 0, ""},
      {PLAIN, ":1::", false, {}, 0, ""},
      {PLAIN, "gggg::1", false, {}, 0, ""},
      {PLAIN, "1.2.3.4", false, {}, 0, ""},
      {PLAIN, "", false, {}, 0, ""},
      {PLEN, "fe80::1/64", true, {0xfe80, 0, 0, 0, 0, 0, 0, 1}, 64, ""},
      {PLEN, "::/0", true, {}, 0, ""},
      {PLEN, "::1/128", true, {0, 0, 0, 0, 0, 0, 0, 1}, 128, ""},
      {PLEN, "::1/129", false, {}, 0, ""},
      {PLEN, "::1/0128", false, {}, 0, ""},
      {PLEN, "::1/", false, {}, 0, ""},
      {PLEN, "::1", false, {}, 0, ""},
      {OPTPLEN, "::1", true, {0, 0, 0, 0, 0, 0, 0, 1}, 128, ""},
      {OPTPLEN, "fe80::/10 x", true, {0xfe80}, 10, " x"},
      {OPTPLEN, "::ffff:10.0.0.1", true, {0, 0, 0, 0, 0, 0, 0xffff, 0x10}, 128, ".0.0.1"},
      {OPTPLEN, "::1/129", false, {}, 0, ""},
      {OPTPLEN, "1:2:3:4::5:6:7:8/64", false, {}, 0, ""},
      {PORT, "[::1]:80", true, {0, 0, 0, 0, 0, 0, 0, 1}, 80, ""},
      {PORT, "[1:2:3:4:5:6:7:8]:65535", true, {1, 2, 3, 4, 5, 6, 7, 8}, 65535, ""},
      {PORT, "[::]:0/", true, {}, 0, "/"},
      {PORT, "::1:80", false, {}, 0, ""},
      {PORT, "[::1]", false, {}, 0, ""},
      {PORT, "[::1]:", false, {}, 0, ""},
      {PORT, "[::1]80", false, {}, 0, ""},
      {PORT, "[::1:80", false, {}, 0, ""},
      {PORT, "[::1]:65536", false, {}, 0, ""},
      {PORT, "[::1]:01", false, {}, 0, ""},
  };
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " kind " + std::to_string(c.kind));
    Groups g;
    g.fill(0x5555);
    uint32_t w[4];
    uint64_t h[2];
    uint8_t b[16];
    unsigned e16, e32, e64, e8;
    const char *end = parse_ip6_as<uint16_t>(c, g.data(), &e16);
    // Every representation accepts the same text up to the same place.
    EXPECT_EQ(parse_ip6_as<uint32_t>(c, w, &e32), end);
    EXPECT_EQ(parse_ip6_as<uint64_t>(c, h, &e64), end);
    EXPECT_EQ(parse_ip6_as<uint8_t>(c, b, &e8), end);
    if (!c.ok) {
      EXPECT_EQ(end, nullptr);
      continue;
    }
    ASSERT_NE(end, nullptr);
    EXPECT_STREQ(end, c.rest);
    EXPECT_EQ(g, c.g);
    Reprs want(c.g);
    EXPECT_EQ(0, memcmp(w, want.w, sizeof w));
    EXPECT_EQ(0, memcmp(h, want.h, sizeof h));
    EXPECT_EQ(0, memcmp(b, want.b, sizeof b));
    for (unsigned e : {e16, e32, e64, e8}) EXPECT_EQ(e, c.extra);
  }
}

TEST(IpParse, TextRoundTrips) {
  struct Case { const char *in; const char *out; };
  const Case cases[] = {
      {"0:0:0:0:0:0:0:1", "::1"},       {"ABCD::", "abcd::"},       {"0000:0:0::0", "::"},
      {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"}, {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"::ffff:a00:1", "::ffff:a00:1"}, {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"},
  };
  for (const Case &c : cases) {
    Groups g;
    ASSERT_NE(kx_stringtoip_ip6_u16(c.in, g.data()), nullptr) << c.in;
    EXPECT_EQ(ip6_text(g), c.out) << c.in;
  }
  // Random addresses, zero groups frequent so that runs of every length
  // and position occur: groups -> text -> groups is the identity, and the
  // text ends exactly where the parser stops.
  std::mt19937 rng(12345);
  for (int i = 0; i < 20000; i++) {
    Groups g;
    for (auto &x : g) x = rng() % 3 ? 0 : (uint16_t)rng();
    std::string t = ip6_text(g);
    Groups back;
    const char *end = kx_stringtoip_ip6_u16(t.c_str(), back.data());
    ASSERT_NE(end, nullptr) << t;
    EXPECT_EQ(*end, 0) << t;
    ASSERT_EQ(back, g) << t;
    ASSERT_EQ(t.find(":::"), std::string::npos) << t;
    uint32_t a = (uint32_t)rng(), back4;
    char buf[16];
    ASSERT_NE(kx_stringtoip_ip4(kx_iptostring_ip4(a, buf, sizeof buf), &back4), nullptr);
    ASSERT_EQ(back4, a);
  }
}

// ---- wire forms ----

std::unique_ptr<kx_msg_t> msg_of(const Bytes &payload) {
  std::unique_ptr<kx_msg_t> m(new kx_msg_t());
  kx_msg_init(m.get(), 0);
  if (!payload.empty()) memcpy(m->data, payload.data(), payload.size());
  m->len = (uint16_t)payload.size();
  return m;
}

Bytes with_tail(Bytes head, int zeros, uint8_t last) {
  head.insert(head.end(), zeros, 0);
  head.push_back(last);
  return head;
}

TEST(IpWire, ReadIpaddrplen) {
  struct Case { Bytes wire; bool ok; const char *text; uint16_t pos; };
  const Case cases[] = {
      {{0}, true, "0.0.0.0/0", 1},
      {{24, 0x0a, 1, 2, 0x99}, true, "10.1.2.0/24", 4},
      {{9, 0x0a, 0xff}, true, "10.255.0.0/9", 3},  // bits beyond the prefix travel unmasked
      {{32, 10, 0, 0, 1}, true, "10.0.0.1/32", 5},
      {{33}, true, "::/0", 1},
      {{97, 0xfe, 0x80, 0, 0, 0, 0, 0, 0}, true, "fe80::/64", 9},
      {with_tail({161}, 15, 1), true, "::1/128", 17},
      {{24, 0x0a, 1}, false, nullptr, 1},
      {with_tail({161}, 14, 1), false, nullptr, 1},
      {{162, 1, 2, 3}, false, nullptr, 1},
      {{255}, false, nullptr, 1},
      {{}, false, nullptr, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("code " + std::to_string(c.wire.empty() ? -1 : c.wire[0]));
    auto m = msg_of(c.wire);
    kx_ipaddrplen_t ip;
    memset(&ip, 0x55, sizeof ip);
    EXPECT_EQ(kx_msg_get_ipaddrplen(m.get(), &ip), c.ok);
    EXPECT_EQ(m->pos, c.pos);
    char buf[128];
    if (c.ok) {
      EXPECT_STREQ(kx_ipaddrplen_tostring(&ip, buf, sizeof buf), c.text);
    }
  }
}

TEST(IpWire, ReadIpaddr) {
  struct Case { Bytes wire; bool ok; const char *text; uint16_t pos; };
  const Case cases[] = {
      {{0, 10, 0, 0, 1, 7}, true, "10.0.0.1", 5},
      {with_tail({1, 0x20, 0x01, 0x0d, 0xb8}, 11, 1), true, "2001:db8::1", 17},
      {{0, 10, 0, 0}, false, nullptr, 1},
      {with_tail({1}, 11, 1), false, nullptr, 13},  // the three whole words stay consumed
      {{2, 10, 0, 0, 1}, false, nullptr, 1},
      {{}, false, nullptr, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("bytes " + std::to_string(c.wire.size()));
    auto m = msg_of(c.wire);
    kx_ipaddr_t ip;
    memset(&ip, 0x55, sizeof ip);
    EXPECT_EQ(kx_msg_get_ipaddr(m.get(), &ip), c.ok);
    EXPECT_EQ(m->pos, c.pos);
    char buf[128];
    if (c.ok) {
      EXPECT_STREQ(kx_ipaddr_tostring(&ip, buf, sizeof buf), c.text);
    }
  }
}

TEST(IpWire, WriteIpaddrplenAndReadBack) {
  struct Case { const char *text; Bytes wire; };
  const Case cases[] = {
      {"10.1.2.3/8", {8, 0x0a}},
      {"10.1.2.3", {32, 10, 1, 2, 3}},
      {"0.0.0.0/0", {0}},
      {"10.255.1.2/9", {9, 0x0a, 0xff}},
      {"::1", with_tail({161}, 15, 1)},
      {"fe80::1/64", {97, 0xfe, 0x80, 0, 0, 0, 0, 0, 0}},
      {"::/0", {33}},
      {"1:2:3:4:5:6:7:8/127", {160, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    // The parsers the module's address writer uses, with their defaults.
    kx_ipaddrplen_t ip = {};
    if (kx_stringtoip_ip4_optplen(c.text, &ip.address[0], &ip.plen, 32)) {
      ip.ip_type = KX_IPADDR_TYPE_V4;
    } else {
      ASSERT_NE(kx_stringtoip_ip6_u32_optplen(c.text, ip.address, &ip.plen, 128), nullptr);
      ip.ip_type = KX_IPADDR_TYPE_V6;
    }
    auto m = msg_of({});
    ASSERT_EQ(kx_msg_put_ipaddrplen(m.get(), &ip), m->data);
    EXPECT_EQ(Bytes(m->data, m->data + m->len), c.wire);
    kx_ipaddrplen_t back;
    ASSERT_EQ(kx_msg_get_ipaddrplen(m.get(), &back), 1);
    EXPECT_EQ(back.ip_type, ip.ip_type);
    EXPECT_EQ(back.plen, ip.plen);
    EXPECT_EQ(m->pos, m->len);
  }
}

TEST(IpWire, WriteIpaddrplenIsAllOrNothing) {
  kx_ipaddrplen_t v4 = {KX_IPADDR_TYPE_V4, {0x0a000001, 0, 0, 0}, 32};
  kx_ipaddrplen_t v6 = {KX_IPADDR_TYPE_V6, {1, 2, 3, 4}, 128};
  struct Case { const kx_ipaddrplen_t *ip; uint16_t len; bool fits; };
  const Case cases[] = {
      {&v4, 32763, true}, {&v4, 32764, false}, {&v4, 32767, false},
      {&v6, 32751, true}, {&v6, 32752, false}, {&v6, 32767, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.len));
    auto m = msg_of({});
    m->len = c.len;
    void *r = kx_msg_put_ipaddrplen(m.get(), c.ip);
    EXPECT_EQ(r, c.fits ? (void *)(m->data + c.len) : nullptr);
    EXPECT_EQ(m->len, c.fits ? 32768 : c.len) << "a code byte without its address was written";
  }
}

// ---- bug reports ----

void loud() {
  kx_log_print_level = KX_LOG_VERBOSE;
  kx_log_levels[KX_LOG_FAC_GENERAL] = KX_LOG_VERBOSE;
}

TEST(IpDeathTest, BugReports) {
  struct Case { const char *what; std::function<void()> call; const char *report; };
  static char buf[128];
  static const uint32_t words[4] = {0, 0, 0, 1};
  const Case cases[] = {
      {"ip4 size", [] { kx_iptostring_ip4(1, buf, 15); },
       "common/iptostring.cpp:[0-9]+/kx_iptostring_ip4\\(\\): bufsize < \\(sizeof \"111\\.222\\.333\\.444\"\\)  \n"},
      {"ip4 plen", [] { kx_iptostring_ip4_plen(1, 33, buf, 19); }, "/kx_iptostring_ip4_plen\\(\\): plen > 32  \n"},
      {"ip6 size via u32", [] { kx_iptostring_ip6_u32(words, buf, 45); },
       "/kx_iptostring_ip6_u16\\(\\): bufsize < \\(sizeof \"1111:2222:3333:4444:5555:6666:255\\.255\\.255\\.255\"\\)  \n"},
      {"ip6 port size", [] { kx_iptostring_ip6_u8_port((const uint8_t *)words, 1, buf, 53); },
       "/kx_iptostring_ip6_u16_port\\(\\): bufsize < \\(sizeof \"\\[1111:.*\\]:65535\"\\)  \n"},
      {"ip6 plen", [] { kx_iptostring_ip6_u64_plen((const uint64_t *)words, 129, buf, 50); },
       "/kx_iptostring_ip6_u16_plen\\(\\): plen > 128  \n"},
      {"unknown type", [] { kx_ipaddr_t ip = {2, {0, 0, 0, 0}}; kx_ipaddr_tostring(&ip, buf, 128); },
       "/kx_ipaddr_tostring\\(\\): Unknown IP type\n"},
      {"put plen 33", [] { kx_ipaddrplen_t ip = {KX_IPADDR_TYPE_V4, {0, 0, 0, 0}, 33}; kx_msg_put_ipaddrplen(msg_of({}).get(), &ip); },
       "include/kx_msg.h:[0-9]+/kx_msg_put_ipaddrplen\\(\\): ip->plen > 32  \n"},
      {"put plen 129", [] { kx_ipaddrplen_t ip = {KX_IPADDR_TYPE_V6, {0, 0, 0, 0}, 129}; kx_msg_put_ipaddrplen(msg_of({}).get(), &ip); },
       "include/kx_msg.h:[0-9]+/kx_msg_put_ipaddrplen\\(\\): ip->plen > 128  \n"},
      {"get null", [] { kx_ipaddr_t ip; kx_msg_get_ipaddr(nullptr, &ip); },
       "include/kx_msg.h:[0-9]+/kx_msg_get_ipaddr\\(\\): msg == \\(\\(void \\*\\)0\\)  \n"},
      {"get plen null", [] { kx_ipaddrplen_t ip; kx_msg_get_ipaddrplen(nullptr, &ip); },
       "include/kx_msg.h:[0-9]+/kx_msg_get_ipaddrplen\\(\\): msg == \\(\\(void \\*\\)0\\)  \n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_DEATH({ loud(); c.call(); }, std::string("\\[General:Critical\\] KX-BUG at .*") + c.report);
  }
}

}  // namespace
