// Address text forms and parsers: exact texts and values (round trips, the u32 / u64 / u8 representations, the
// canonical form of accepted IPv4 texts and the ipaddr / ipaddrplen wire forms are the fuzz targets').
#include <array>

#include "kxtest.h"

using Groups = std::array<uint16_t, 8>;

TEST(IpText, Ip6CompressionInEveryForm) {
  struct Case { Groups g; const char *text; };
  const Case cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
      {{1, 0, 0, 0, 0, 0, 0, 0}, "1::"},
      {{1, 0, 0, 2, 0, 0, 0, 3}, "1:0:0:2::3"},    // the longer run wins
      {{1, 0, 0, 2, 0, 0, 3, 4}, "1::2:0:0:3:4"},  // of equal runs the first
      {{1, 0, 2, 0, 3, 0, 4, 0}, "1:0:2:0:3:0:4:0"},
      {{0, 0, 0, 0, 0, 0xffff, 0x0a00, 1}, "::ffff:a00:1"},  // never a dotted tail
      {{0xabcd, 0xef, 0x10, 0x100, 0x1000, 0xf00f, 0xa, 0xb}, "abcd:ef:10:100:1000:f00f:a:b"},
      {{0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  char buf[128];
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    // Each at its minimum buffer size.
    EXPECT_STREQ(c.text, kx_iptostring_ip6_u16(c.g.data(), buf, 46));
    EXPECT_EQ(std::string(c.text) + "/128", kx_iptostring_ip6_u16_plen(c.g.data(), 128, buf, 50));
    EXPECT_EQ("[" + std::string(c.text) + "]:65535", kx_iptostring_ip6_u16_port(c.g.data(), 65535, buf, 54));
  }
  EXPECT_STREQ("10.0.0.1", kx_iptostring_ip4(0x0a000001, buf, 16));
  EXPECT_STREQ("255.255.255.255/32", kx_iptostring_ip4_plen(0xffffffff, 32, buf, 19));
  EXPECT_STREQ("255.255.255.255:65535", kx_iptostring_ip4_port(0xffffffff, 65535, buf, 22));
  const kx_ipaddrplen_t v4 = {KX_IPADDR_TYPE_V4, {0x0a010200}, 24};  // the other forms are the Python tests'
  EXPECT_STREQ("10.1.2.0", kx_ipaddr_tostring((const kx_ipaddr_t *)&v4, buf, sizeof buf));  // the same leading fields
}

// Kinds of parse: the form, plus V6 for the IPv6 parsers.
enum Kind { PLAIN, PLEN, OPTPLEN, PORT, V6 };

struct ParseCase {
  int kind;
  const char *text;
  bool ok;
  Groups g{};              // IPv6 groups; IPv4 uses g[0]:g[1] as the address
  unsigned extra = 0;      // prefix or port
  const char *rest = "";   // text left after the accepted part
};

TEST(IpParse, EveryForm) {
  // IPv4: what may follow an address (texts that are not canonical are the
  // fuzz target's); IPv6: values of every spelling, and what is refused.
  const ParseCase cases[] = {
      {PLAIN, "10.0.0.1:80", true, {0x0a00, 1}, 0, ":80"},
      {PLAIN, "255.255.255.255 x", true, {0xffff, 0xffff}, 0, " x"},
      {PLAIN, "1.2.3.4.5", false}, {PLAIN, "1.2.3.1000", false},
      {PLEN, "1.2.3.4/32x", true, {0x0102, 0x0304}, 32, "x"},
      {OPTPLEN, "1.2.3.4", true, {0x0102, 0x0304}, 32, ""},
      {OPTPLEN, "1.2.3.4/0", true, {0x0102, 0x0304}, 0, ""},
      {OPTPLEN, "10.0.0.0/33", false}, {PLEN, "1.2.3.4/320", false},
      {PORT, "1.2.3.4:65535/", true, {0x0102, 0x0304}, 65535, "/"},
      {PORT, "1.2.3.4:65536", false},
      {V6 + PLAIN, "::", true, {}, 0, ""},
      {V6 + PLAIN, "1::", true, {1}, 0, ""},
      {V6 + PLAIN, "1:2:3:4:5:6:7:8", true, {1, 2, 3, 4, 5, 6, 7, 8}, 0, ""},
      {V6 + PLAIN, "1:2:3::5:6:7:8", true, {1, 2, 3, 0, 5, 6, 7, 8}, 0, ""},
      {V6 + PLAIN, "::1:2:3:4:5:6:7", true, {0, 1, 2, 3, 4, 5, 6, 7}, 0, ""},
      {V6 + PLAIN, "ABCD:ef01::0001:F", true, {0xabcd, 0xef01, 0, 0, 0, 0, 1, 0xf}, 0, ""},
      {V6 + PLAIN, "::ffff:10.0.0.1", true, {0, 0, 0, 0, 0, 0, 0xffff, 0x10}, 0, ".0.0.1"},
      {V6 + PLAIN, "1:2:3:4::5:6:7:8", false},  // "::" with eight explicit groups
      {V6 + PLAIN, "1:2:3:4:5:6:7", false}, {V6 + PLAIN, "1:2:3:4:5:6:7:8:9", false}, {V6 + PLAIN, "12345::", false},
      {V6 + PLAIN, "1::2::3", false}, {V6 + PLAIN, "1:::2", false}, {V6 + PLAIN, "1:2:3:4:5:6:7:8:", false},
      {V6 + PLAIN, ":1::", false}, {V6 + PLAIN, "gggg::1", false}, {V6 + PLAIN, "", false},
      {V6 + PLEN, "fe80::1/64", true, {0xfe80, 0, 0, 0, 0, 0, 0, 1}, 64, ""},
      {V6 + PLEN, "::1/129", false}, {V6 + PLEN, "::1/0128", false}, {V6 + PLEN, "::1", false},
      {V6 + OPTPLEN, "::1", true, {0, 0, 0, 0, 0, 0, 0, 1}, 128, ""},
      {V6 + OPTPLEN, "fe80::/10 x", true, {0xfe80}, 10, " x"},
      {V6 + PORT, "[1:2:3:4:5:6:7:8]:65535", true, {1, 2, 3, 4, 5, 6, 7, 8}, 65535, ""},
      {V6 + PORT, "[::]:0/", true, {}, 0, "/"},
      {V6 + PORT, "::1:80", false}, {V6 + PORT, "[::1]80", false}, {V6 + PORT, "[::1]:65536", false},
  };
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " kind " + std::to_string(c.kind));
    Groups g{};
    uint32_t a = 0;
    uint8_t plen = 0;
    uint16_t port = 0;
    const char *end = c.kind == PLAIN ? kx_stringtoip_ip4(c.text, &a)
                      : c.kind == PLEN ? kx_stringtoip_ip4_plen(c.text, &a, &plen)
                      : c.kind == OPTPLEN ? kx_stringtoip_ip4_optplen(c.text, &a, &plen, 32)
                      : c.kind == PORT ? kx_stringtoip_ip4_port(c.text, &a, &port)
                      : c.kind == V6 + PLAIN ? kx_stringtoip_ip6_u16(c.text, g.data())
                      : c.kind == V6 + PLEN ? kx_stringtoip_ip6_u16_plen(c.text, g.data(), &plen)
                      : c.kind == V6 + OPTPLEN ? kx_stringtoip_ip6_u16_optplen(c.text, g.data(), &plen, 128)
                                               : kx_stringtoip_ip6_u16_port(c.text, g.data(), &port);
    if (c.kind < V6) g = {(uint16_t)(a >> 16), (uint16_t)a};
    ASSERT_EQ(c.ok, end != nullptr);
    if (!c.ok) continue;
    EXPECT_STREQ(c.rest, end);
    EXPECT_EQ(c.g, g);
    EXPECT_EQ(c.extra, c.kind % V6 == PORT ? port : plen);
  }
}
