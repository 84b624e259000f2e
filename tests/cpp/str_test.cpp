// String utilities: exact encodings and texts (comparison, copies, trimming,
// tokens, the splitter, round trips and numbers are the fuzz target's).
#include "kxtest.h"

std::string take(void *p) {
  std::string s = p ? (const char *)p : "(null)";
  kx_free(p);
  return s;
}

TEST(StrTest, ClassesAndCopies) {
  const std::pair<int, unsigned> classes[] = {
      {'A', KX_CTYPE_UPPER | KX_CTYPE_XLETTER}, {'g', KX_CTYPE_LOWER}, {'9', KX_CTYPE_DIGIT},
      {' ', KX_CTYPE_SPACE | KX_CTYPE_BLANK}, {'\t', KX_CTYPE_CNTRL | KX_CTYPE_SPACE}, {127, KX_CTYPE_CNTRL},
      {'`', KX_CTYPE_PUNCT}, {0xe9, 0}};
  for (auto &c : classes) EXPECT_EQ(c.second, kx_ctype[c.first]) << c.first;
  EXPECT_EQ(32, std::count_if(kx_ctype, kx_ctype + 256, [](uint8_t b) { return b & KX_CTYPE_PUNCT; }));
  EXPECT_EQ("(null)", take(kx_strdup("s", nullptr)));
  void *f = kx_strdup_format("s", "%s=%d", "x", 42);
  EXPECT_EQ(5u, kx_malloc_size(f)) << "exactly the needed size";
  EXPECT_EQ("x=42", take(f));
}

TEST(StrTest, EscapingAndNibbles) {
  const std::pair<std::string, std::string> cases[] = {
      {"ab/c", "ab%2Fc"}, {"a b%c", "a%20b%25c"}, {",~\"\x7f\xc3", ",~\"\x7f\xc3"}, {"?{}|", "%3F%7B%7D%7C"}};
  for (auto &c : cases) {
    std::vector<char> esc(3 * c.first.size() + 1);
    kx_str_escape(esc.data(), c.first.data(), (uint32_t)c.first.size());
    EXPECT_EQ(c.second, esc.data());
  }
  char out[8];
  EXPECT_EQ(3, kx_str_unescape(out, "%2f%2Fx%41", 4)) << "stops at size - 1";
  EXPECT_STREQ("//x", out);
  EXPECT_EQ(-1, kx_str_unescape(out, "ab%4", sizeof out));
  EXPECT_EQ(-1, kx_str_unescape(out, "%G0", sizeof out));
  const uint8_t bytes[] = {0x1F, 0x00, 0xA5};
  EXPECT_EQ("?1005:", take(kx_str_nibbles("nib", bytes, 3)));
  EXPECT_EQ("1400", take(kx_str_nibbles_string("nib", "A")));
  EXPECT_EQ("00", take(kx_str_nibbles_string("nib", nullptr)));
  for (const char *bad : {"?10", "1@", "a1"}) EXPECT_EQ(nullptr, kx_str_from_nibbles("nib", bad)) << bad;
  // Characters below '0' decode to the low bits of their offset (found by
  // fuzzing: the high nibble was a left shift of a negative number).
  void *back = kx_str_from_nibbles("nib", " !\x02\xc8");
  EXPECT_EQ("\xf0\xd2", std::string(back ? (const char *)back : "", back ? 2 : 0));
  EXPECT_EQ(2u, kx_malloc_size(back)) << "exactly the bytes decoded";
  kx_free(back);
}

TEST(StrTest, Utf8) {
  const std::pair<const char *, int> cases[] = {
      {"plain", 1},          {"\xc3\xa9", 1},         {"\xc0\x80", 0},         {"\xed\xa0\x80", 1},
      {"\xe0\x9f\xbf", 0},   {"\xe0\xa0\x80", 1},     {"\xf0\x8f\xbf\xbf", 0}, {"\xf0\x90\x80\x80", 1},
      {"\xf8\x88\x80\x80\x80", 0}, {"\x80", 0},       {"a\xe2\x82", 0},        {"\xc3\x28", 0}};
  for (auto &c : cases) EXPECT_EQ(c.second, kx_str_is_utf8(c.first)) << testing::PrintToString(c.first);
}

// The text column starts at column 52 on every line.
std::string dump_line(std::string hex, const std::string &text) { return hex.append(52 - hex.size(), ' ') + text; }

TEST(StrTest, HexDump) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"", {}},
      {std::string("AB\0", 3), {dump_line("00000000: 4142 00", "AB.")}},
      {"0123456789abcdefXYZ\n\xff",
       {"00000000: 3031 3233 3435 3637  3839 6162 6364 6566  01234567 89abcdef",
        dump_line("00000010: 5859 5a0a ff", "XYZ..")}},
      {"012345678", {dump_line("00000000: 3031 3233 3435 3637  38", "01234567 8")}},
  };
  for (auto &c : cases) {
    std::vector<std::string> lines;
    kx_str_hexdump(c.first.data(), (int)c.first.size(),
                   [](const char *line, void *arg) { ((std::vector<std::string> *)arg)->push_back(line); }, &lines);
    EXPECT_EQ(c.second, lines);
  }
  kx_log_print_level = KX_LOG_VERBOSE;
  kx_log_levels[KX_LOG_FAC_NET] = 0;  // the dump has no facility gate
  EXPECT_EQ("[Net:Debug] " + dump_line("00000000: 4142", "AB\n"), stderr_of([] { kx_log_hexdump(KX_LOG_FAC_NET, KX_LOG_DEBUG, "AB", 2); }));
}
