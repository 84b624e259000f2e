// The string utilities against plain reference versions (UTF-8 checks and
// hex dumps have exact tables in tests/cpp/str_test.cpp).
#include "fuzz_harness.h"

int sign(int v) { return (v > 0) - (v < 0); }

int ref_lower(int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

int ref_casecmp(const std::string &a, const std::string &b) {
  for (size_t i = 0;; i++) {
    int ca = ref_lower((uint8_t)a.c_str()[i]), cb = ref_lower((uint8_t)b.c_str()[i]);
    if (ca != cb || ca == 0) return ca - cb;
  }
}

std::vector<std::string> ref_split(const std::string &s, char sep, int max) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t at; (at = s.find(sep, start)) != std::string::npos && (max <= 0 || (int)out.size() < max - 1); start = at + 1)
    out.push_back(s.substr(start, at - start));
  out.push_back(s.substr(start));
  return out;
}

// Digits of base-0/16 numbers as the header describes them, wrapping at 64 bits.
uint64_t ref_number(const char *s, size_t *used, uint32_t base, bool is_signed) {
  const bool neg = is_signed && *s == '-';
  const char *p = s + neg;
  const bool prefix = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
  auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
  };
  if (base == 0) base = prefix && digit(p[2]) < 16 ? 16 : p[0] == '0' ? 8 : 10;
  if (base == 16 && prefix) p += 2;
  const char *d = p;
  uint64_t v = 0;
  for (; digit(*p) < (int)base; p++) v = v * base + (uint64_t)digit(*p);
  *used = p == d ? 0 : (size_t)(p - s);  // no digits: nothing used, and zero
  return neg ? 0 - v : v;
}

FUZZ_SETUP()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t choice = in.u8();
  const char sep = (char)in.u8();
  const int small = (int)(in.u8() % 70) - 2;
  const std::string bytes = in.bytes(in.left());
  const std::string text(bytes.c_str());  // up to the first zero byte
  const std::string half = text.substr(0, text.size() / 2), rest = text.substr(text.size() / 2);

  switch (choice % 8) {
    case 0: {  // copies and counts
      char dst[80];
      memset(dst, 0x5a, sizeof dst);
      FUZZ_CHECK(kx_strlcpy(dst, text.c_str(), small) == text.size());
      const size_t k = std::min(text.size(), (size_t)std::max(small, 1) - 1);
      FUZZ_CHECK(small <= 0 || (memcmp(dst, text.data(), k) == 0 && dst[k] == 0));
      FUZZ_CHECK((uint8_t)dst[small > 0 ? small : 0] == 0x5a);
      FUZZ_CHECK(kx_strcount(text.c_str(), sep) == (uint32_t)std::count(text.begin(), text.end(), sep));
      char *dup = kx_strdup("fuzz_str", text.c_str());
      FUZZ_CHECK(strcmp(dup, text.c_str()) == 0);
      kx_free(dup);
      char *f = kx_strdup_format("fuzz_str", "%s|%s|%d", text.c_str(), text.c_str(), small);
      FUZZ_CHECK(f == text + "|" + text + "|" + std::to_string(small));
      kx_free(f);
      break;
    }
    case 1: {  // comparison
      FUZZ_CHECK(sign(kx_strcasecmp(half.c_str(), rest.c_str())) == sign(ref_casecmp(half, rest)));
      // Up to n bytes, and a text that ends first compares equal.
      int expect = 0;
      for (int i = 0; i < small && half.c_str()[i] && rest.c_str()[i] && !expect; i++)
        expect = ref_lower((uint8_t)half[i]) - ref_lower((uint8_t)rest[i]);
      FUZZ_CHECK(sign(kx_strncasecmp(half.c_str(), rest.c_str(), small)) == sign(expect));
      std::string low = text;
      kx_strlower(&low[0]);
      for (size_t i = 0; i < text.size(); i++) FUZZ_CHECK((uint8_t)low[i] == ref_lower((uint8_t)text[i]));
      break;
    }
    case 2: {  // trimming and tokens, with the first few bytes as the set
      const std::string set = half.substr(0, 3);
      std::string s = rest;
      const char *t = kx_strtrim(&s[0], set.c_str());
      const size_t b = rest.find_first_not_of(set);
      const std::string want = b == std::string::npos ? "" : rest.substr(b, rest.find_last_not_of(set) - b + 1);
      FUZZ_CHECK(t == want);
      std::string s2 = rest;
      char *cursor;
      std::vector<std::string> got;
      for (char *tok = kx_strtok_start(&s2[0], &cursor, set.c_str()); tok; tok = kx_strtok(&cursor, set.c_str()))
        got.push_back(tok);  // never empty: the runs below are not
      std::vector<std::string> ref;  // the runs of bytes outside the set
      for (size_t b = rest.find_first_not_of(set), e; b != std::string::npos; b = rest.find_first_not_of(set, e))
        ref.push_back(rest.substr(b, (e = rest.find_first_of(set, b)) - b));
      FUZZ_CHECK(got == ref);
      break;
    }
    case 3: {  // the splitter: fields fetched in increasing order, some skipped
      if (sep == 0) break;
      const int max = small < 0 ? 0 : small;
      const std::vector<std::string> ref = ref_split(text, sep, max);
      std::string s = text;
      kx_strsplit_t sp;
      FUZZ_CHECK(kx_strsplit_init(&s[0], &sp, sep, max) == (int)ref.size());
      bool again = false;
      for (int i = 0, step = 1; i < (int)ref.size(); i += step) {
        const char *f = kx_strsplit_get(&sp, i);
        FUZZ_CHECK(f && f == ref[(size_t)i]);
        step = text.empty() ? 1 : 1 + (uint8_t)text[(size_t)i % text.size()] % 7;
        again = step == 7 && !again;
        if (again) {  // the separators go back; the same field is fetched again
          kx_strsplit_restore(&sp);
          FUZZ_CHECK(s == text);
          step = 0;
        }
      }
      FUZZ_CHECK(kx_strsplit_get(&sp, (int)ref.size()) == nullptr);
      kx_strsplit_restore(&sp);
      FUZZ_CHECK(s == text);
      break;
    }
    case 4: {  // percent escaping round trip, and unescaping anything
      std::string esc(3 * text.size() + 1, '\0');
      kx_str_escape(&esc[0], text.data(), (uint32_t)text.size());
      std::string back(text.size() + 1, '\x5a');
      FUZZ_CHECK(kx_str_unescape(&back[0], esc.c_str(), (uint32_t)back.size()) == (int)text.size());
      FUZZ_CHECK(strcmp(back.c_str(), text.c_str()) == 0);
      std::vector<char> out((size_t)(small > 0 ? small : 0) + 1, '\x5a');
      int r = kx_str_unescape(out.data(), text.c_str(), (uint32_t)(out.size() - 1));
      FUZZ_CHECK(r >= -1 && r < (int)out.size() && out.back() == '\x5a');
      break;
    }
    case 5: {  // nibble text round trip over all bytes, and decoding anything
      char *nib = kx_str_nibbles("fuzz_str", bytes.data(), (uint32_t)bytes.size());
      FUZZ_CHECK(strlen(nib) == 2 * bytes.size());
      uint8_t *back = (uint8_t *)kx_str_from_nibbles("fuzz_str", nib);
      FUZZ_CHECK(back && memcmp(back, bytes.data(), bytes.size()) == 0);
      kx_free(back);
      kx_free(nib);
      void *any = kx_str_from_nibbles("fuzz_str", text.c_str());
      FUZZ_CHECK(!any || text.size() % 2 == 0);
      kx_free(any);
      break;
    }
    case 6: case 7: {  // numbers
      const uint32_t base = choice & 0x10 ? 16 : choice & 0x20 ? 0 : 2 + (uint8_t)sep % 15;
      size_t used;
      char *end;
      const char *s = text.c_str();
      uint64_t want = ref_number(s, &used, base, false);
      FUZZ_CHECK(kx_strtou64(s, &end, base) == want && end == s + used);
      FUZZ_CHECK(kx_strtou32(s, &end, base) == (uint32_t)want && end == s + used);
      want = ref_number(s, &used, base, true);
      FUZZ_CHECK(kx_strtoi64(s, &end, base) == (int64_t)want && end == s + used);
      FUZZ_CHECK(kx_strtoi32(s, &end, base) == (int32_t)(uint32_t)want && end == s + used);
      break;
    }
  }
  return 0;
}
