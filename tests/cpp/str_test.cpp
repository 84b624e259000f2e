// String utilities.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kx_log.h"
#include "kx_malloc.h"
#include "kx_str.h"

namespace {

// Frees a tracked string when the test ends.
struct Tracked {
  explicit Tracked(void *p) : p(p) {}
  ~Tracked() { kx_free(p); }
  const char *str() const { return (const char *)p; }
  void *p;
};

TEST(StrTest, CharacterClasses) {
  struct Case {
    int c;
    unsigned bits;
  } cases[] = {
      {'A', KX_CTYPE_UPPER | KX_CTYPE_XLETTER}, {'G', KX_CTYPE_UPPER}, {'f', KX_CTYPE_LOWER | KX_CTYPE_XLETTER},
      {'z', KX_CTYPE_LOWER},  {'0', KX_CTYPE_DIGIT}, {'9', KX_CTYPE_DIGIT},
      {' ', KX_CTYPE_SPACE | KX_CTYPE_BLANK}, {'\t', KX_CTYPE_CNTRL | KX_CTYPE_SPACE}, {'\n', KX_CTYPE_CNTRL | KX_CTYPE_SPACE},
      {0, KX_CTYPE_CNTRL}, {127, KX_CTYPE_CNTRL}, {'~', KX_CTYPE_PUNCT}, {'@', KX_CTYPE_PUNCT},
      {'`', KX_CTYPE_PUNCT}, {0x80, 0}, {0xe9, 0}, {0xff, 0},
  };
  for (const Case &c : cases) EXPECT_EQ(c.bits, kx_ctype[c.c]) << c.c;
  int punct = 0;
  for (int c = 0; c < 256; c++) punct += kx_ispunct(c);
  EXPECT_EQ(32, punct);
  EXPECT_EQ('a', kx_tolower('A'));
  EXPECT_EQ(0xC9, kx_tolower(0xC9)) << "no locale: only ASCII letters change";
}

TEST(StrTest, Comparison) {
  struct Case {
    const char *a, *b;
    int n;  // -1: kx_strcasecmp
    int sign;
  } cases[] = {
      {"Memory", "MEMORY", -1, 0}, {"abc", "abd", -1, -1}, {"ab", "abc", -1, -1}, {"b", "A", -1, 1},
      {"", "", -1, 0},             {"Mem", "Memory", 10, 0}, {"abcX", "ABCy", 3, 0}, {"abcX", "ABCy", 4, -1},
      {"x", "y", 0, 0},            {"\xe9", "\xc9", -1, 1},
  };
  for (const Case &c : cases) {
    int r = c.n < 0 ? kx_strcasecmp(c.a, c.b) : kx_strncasecmp(c.a, c.b, c.n);
    EXPECT_EQ(c.sign, (r > 0) - (r < 0)) << c.a << " " << c.b << " " << c.n;
  }
  char s[] = "MiXeD 12";
  kx_strlower(s);
  EXPECT_STREQ("mixed 12", s);
}

TEST(StrTest, CopiesAndDuplicates) {
  struct Case {
    const char *src;
    int size;
    const char *out;
  } cases[] = {{"0123456789", 4, "012"}, {"abc", 4, "abc"}, {"abc", 1, ""}, {"", 5, ""}};
  for (const Case &c : cases) {
    char buf[16];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(strlen(c.src), kx_strlcpy(buf, c.src, c.size));
    EXPECT_STREQ(c.out, buf);
  }
  char untouched[2] = {'Q', 0};
  EXPECT_EQ(3u, kx_strlcpy(untouched, "abc", 0));
  EXPECT_EQ('Q', untouched[0]);

  EXPECT_EQ(nullptr, kx_strdup("str", nullptr));
  Tracked d(kx_strdup("str-test", "hello"));
  EXPECT_STREQ("hello", d.str());
  EXPECT_EQ(6u, kx_malloc_size(d.p));
  Tracked f(kx_strdup_format("str-test", "%s=%d", "x", 42));
  EXPECT_STREQ("x=42", f.str());
  EXPECT_EQ(5u, kx_malloc_size(f.p)) << "exactly the needed size";
  std::string big(3000, 'q');
  Tracked g(kx_strdup_format("str-test", "<%s>", big.c_str()));
  EXPECT_EQ("<" + big + ">", g.str());
  EXPECT_EQ(3003u, kx_malloc_size(g.p));
}

TEST(StrTest, TrimCountTokens) {
  char a[] = "  ab  ";
  EXPECT_STREQ("ab", kx_strtrim(a, " "));
  char b[] = "xxyxx";
  EXPECT_STREQ("", kx_strtrim(b, "xy"));
  char c[] = "-a-b-";
  EXPECT_STREQ("a-b", kx_strtrim(c, "-"));
  EXPECT_EQ(3u, kx_strcount("a,b,,", ','));

  char s[] = ",,one,,two;three,";
  char *cur;
  std::vector<std::string> tokens;
  for (char *t = kx_strtok_start(s, &cur, ",;"); t; t = kx_strtok(&cur, ",;")) tokens.push_back(t);
  EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), tokens);
  EXPECT_EQ(nullptr, kx_strtok(&cur, ",;"));
  char empty[] = ";;";
  EXPECT_EQ(nullptr, kx_strtok_start(empty, &cur, ";"));
}

std::vector<std::string> model_split(const std::string &s, char sep, int max) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    if (at == std::string::npos || (max > 0 && (int)out.size() == max - 1)) break;
    out.push_back(s.substr(start, at - start));
    start = at + 1;
  }
  out.push_back(s.substr(start));
  return out;
}

TEST(StrTest, SplitterAgainstModel) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; round++) {
    int nfields = 1 + (int)(rng() % 180);
    std::string s;
    for (int i = 0; i < nfields; i++) {
      if (i) s += ':';
      s += std::string(rng() % 3, 'a' + i % 26) + std::to_string(i);
    }
    int max = rng() % 3 ? 0 : 1 + (int)(rng() % 200);
    std::vector<std::string> model = model_split(s, ':', max);
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back(0);
    kx_strsplit_t sp;
    ASSERT_EQ((int)model.size(), kx_strsplit_init(buf.data(), &sp, ':', max));
    // Walk forward in random strides; earlier windows are gone afterwards.
    int i = 0;
    while (i < (int)model.size()) {
      char *f = kx_strsplit_get(&sp, i);
      ASSERT_NE(nullptr, f) << round << " field " << i;
      ASSERT_EQ(model[i], f) << round << " field " << i;
      int step = rng() % 4 ? 1 : 1 + (int)(rng() % 70);
      i += step;
    }
    EXPECT_EQ(nullptr, kx_strsplit_get(&sp, (int)model.size()));
    EXPECT_EQ(nullptr, kx_strsplit_get(&sp, -1));
    kx_strsplit_restore(&sp);
    EXPECT_EQ(s, buf.data());
  }
}

TEST(StrTest, SplitterWindows) {
  std::string s;
  for (int i = 0; i < 120; i++) s += (i ? "," : "") + std::to_string(i);
  std::vector<char> buf(s.begin(), s.end());
  buf.push_back(0);
  kx_strsplit_t sp;
  ASSERT_EQ(120, kx_strsplit_init(buf.data(), &sp, ',', 0));
  EXPECT_STREQ("48", kx_strsplit_get(&sp, 48));
  EXPECT_STREQ("0", kx_strsplit_get(&sp, 0)) << "still in the first window";
  EXPECT_STREQ("49", kx_strsplit_get(&sp, 49));
  EXPECT_EQ(nullptr, kx_strsplit_get(&sp, 0)) << "the window moved on";
  EXPECT_STREQ("100", kx_strsplit_get(&sp, 100));
  EXPECT_STREQ("119", kx_strsplit_get(&sp, 119)) << "a window reaches the last field";
  EXPECT_STREQ("101", kx_strsplit_get(&sp, 101));
  kx_strsplit_restore(&sp);
  EXPECT_EQ(s, buf.data());
  EXPECT_STREQ("101", kx_strsplit_get(&sp, 101)) << "restore keeps the window's fields reachable";
  EXPECT_EQ(nullptr, kx_strsplit_get(&sp, 99));
  kx_strsplit_restore(&sp);
  EXPECT_EQ(s, buf.data());
  EXPECT_EQ(0, kx_strsplit_init(nullptr, &sp, ',', 0));
  EXPECT_EQ(nullptr, kx_strsplit_get(&sp, 0));
}

TEST(StrTest, Escaping) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"ab/c", "ab%2Fc"},
      {"a b%c", "a%20b%25c"},
      {",~\"", ",~\""},
      {"\x7f\xc3", "\x7f\xc3"},
      {"?{}|", "%3F%7B%7D%7C"},
  };
  for (const Case &c : cases) {
    std::vector<char> esc(3 * c.in.size() + 1, 'Z');
    kx_str_escape(esc.data(), c.in.data(), (uint32_t)c.in.size());
    EXPECT_EQ(c.out, esc.data());
    char back[64];
    EXPECT_EQ((int)c.in.size(), kx_str_unescape(back, esc.data(), sizeof back));
    EXPECT_EQ(c.in, back);
  }
  char out[8];
  EXPECT_EQ(3, kx_str_unescape(out, "%2f%2Fx%41", 4)) << "stops at size - 1";
  EXPECT_STREQ("//x", out);
  EXPECT_EQ(-1, kx_str_unescape(out, "ab%4", sizeof out));
  EXPECT_EQ(-1, kx_str_unescape(out, "%G0", sizeof out));
  EXPECT_EQ(0, kx_str_unescape(out, "", sizeof out));
  EXPECT_STREQ("", out);
  out[0] = 'Q';
  EXPECT_EQ(0, kx_str_unescape(out, "abc", 0));
  EXPECT_EQ('Q', out[0]) << "size 0 writes nothing";
}

TEST(StrTest, Nibbles) {
  const uint8_t bytes[] = {0x1F, 0x00, 0xA5};
  Tracked n(kx_str_nibbles("nib", bytes, 3));
  EXPECT_STREQ("?1005:", n.str());
  Tracked s(kx_str_nibbles_string("nib", "A"));
  EXPECT_STREQ("1400", s.str());
  Tracked z(kx_str_nibbles_string("nib", nullptr));
  EXPECT_STREQ("00", z.str());
  Tracked back(kx_str_from_nibbles("nib", "?1005:"));
  ASSERT_NE(nullptr, back.p);
  EXPECT_EQ(0, memcmp(bytes, back.p, 3));
  EXPECT_EQ(3u, kx_malloc_size(back.p));
  EXPECT_EQ(nullptr, kx_str_from_nibbles("nib", "?10"));
  EXPECT_EQ(nullptr, kx_str_from_nibbles("nib", "1@"));
  EXPECT_EQ(nullptr, kx_str_from_nibbles("nib", "a1"));
  Tracked empty(kx_str_from_nibbles("nib", ""));
  EXPECT_NE(nullptr, empty.p);
}

TEST(StrTest, NumberParsing) {
  struct Case {
    const char *s;
    uint32_t base;
    uint64_t u64;
    int64_t i64;
    size_t end;
  } cases[] = {
      {"0x1f", 0, 31, 31, 4},        {"017", 0, 15, 15, 3},      {"12ab", 10, 12, 12, 2},
      {"0x", 0, 0, 0, 1},            {"0xg", 16, 0, 0, 1},       {"0X1F", 16, 31, 31, 4},
      {"ff", 16, 255, 255, 2},       {"FFz", 16, 255, 255, 2},  {"", 10, 0, 0, 0},
      {"abc", 10, 0, 0, 0},          {"-12", 10, 0, -12, 3},     {"-", 10, 0, 0, 0},
      {"089", 0, 0, 0, 1},           {"101", 2, 5, 5, 3},        {"18446744073709551617", 10, 1, 1, 20},
      {"-0x10", 0, 0, -16, 5},       {" 5", 10, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.s);
    char *end = nullptr;
    bool unsigned_ok = c.s[0] != '-';
    if (unsigned_ok) {
      EXPECT_EQ(c.u64, kx_strtou64(c.s, &end, c.base));
      EXPECT_EQ(c.end, (size_t)(end - c.s));
      EXPECT_EQ((uint32_t)c.u64, kx_strtou32(c.s, &end, c.base));
    } else {
      EXPECT_EQ(0u, kx_strtou64(c.s, &end, c.base));
      EXPECT_EQ(c.s, end);
    }
    EXPECT_EQ(c.i64, kx_strtoi64(c.s, &end, c.base));
    EXPECT_EQ(c.end, (size_t)(end - c.s));
    EXPECT_EQ((int32_t)c.i64, kx_strtoi32(c.s, nullptr, c.base));
  }
  EXPECT_EQ(1u, kx_strtou32("4294967297", nullptr, 10)) << "wraps at 32 bits";
  EXPECT_EQ(-1, kx_strtoi32("4294967295", nullptr, 10));
}

TEST(StrTest, Utf8) {
  struct Case {
    const char *s;
    int ok;
  } cases[] = {
      {"plain", 1},          {"\xc3\xa9", 1},         {"\xc0\x80", 0},          {"\xed\xa0\x80", 1},
      {"\xe0\x9f\xbf", 0},   {"\xe0\xa0\x80", 1},     {"\xf0\x8f\xbf\xbf", 0},  {"\xf0\x90\x80\x80", 1},
      {"\xf4\x90\x80\x80", 1}, {"\xf8\x88\x80\x80\x80", 0}, {"\x80", 0},       {"\xc3", 0},
      {"a\xe2\x82", 0},      {"\xc3\x28", 0},         {"", 1},
  };
  for (const Case &c : cases) EXPECT_EQ(c.ok, kx_str_is_utf8(c.s)) << testing::PrintToString(c.s);
}

void collect_line(const char *line, void *arg) { static_cast<std::vector<std::string> *>(arg)->push_back(line); }

// The text column starts at column 52 on every line.
std::string dump_line(std::string hex, const std::string &text) {
  hex.resize(52, ' ');
  return hex + text;
}

TEST(StrTest, HexDump) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {std::string("AB\0", 3), {dump_line("00000000: 4142 00", "AB.")}},
      {"0123456789abcdef",
       {"00000000: 3031 3233 3435 3637  3839 6162 6364 6566  01234567 89abcdef"}},
      {"0123456789abcdefXYZ\n\xff",
       {"00000000: 3031 3233 3435 3637  3839 6162 6364 6566  01234567 89abcdef",
        dump_line("00000010: 5859 5a0a ff", "XYZ..")}},
      {"012345678", {dump_line("00000000: 3031 3233 3435 3637  38", "01234567 8")}},
  };
  for (const Case &c : cases) {
    std::vector<std::string> lines;
    kx_str_hexdump(c.bytes.data(), (int)c.bytes.size(), collect_line, &lines);
    EXPECT_EQ(c.lines, lines);
  }
  kx_log_print_level = KX_LOG_VERBOSE;
  kx_log_levels[KX_LOG_FAC_NET] = 0;  // the dump has no facility gate
  testing::internal::CaptureStderr();
  kx_log_hexdump(KX_LOG_FAC_NET, KX_LOG_DEBUG, "AB", 2);
  EXPECT_EQ("[Net:Debug] " + dump_line("00000000: 4142", "AB\n"),
            testing::internal::GetCapturedStderr());
  kx_log_print_level = KX_LOG_ALERT;
  kx_log_levels[KX_LOG_FAC_NET] = KX_LOG_INFO;
}

char *format_with(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char *s = kx_strdup_vformat("x", fmt, ap);
  va_end(ap);
  return s;
}

TEST(StrTest, FormatBugReports) {
  kx_log_print_level = KX_LOG_VERBOSE;
  EXPECT_DEATH(format_with(nullptr),
               "KX-BUG at common/str.cpp:25/kx_strdup_vformat\\(\\): fmt == \\(\\(void \\*\\)0\\)  \n");
  kx_log_print_level = KX_LOG_ALERT;
}

}  // namespace
