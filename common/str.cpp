// String utilities.
#ifdef _WIN32
// C99 formats (KX_PRINTF_FORMAT) whatever the rest of the program uses: MinGW's own printf.
#undef __USE_MINGW_ANSI_STDIO
#define __USE_MINGW_ANSI_STDIO 1
#endif
#include "kx_str.h"

#include <stdio.h>
#include <string.h>

#include "kx_log.h"
#include "kx_malloc.h"

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

uint32_t kx_strlcpy(char *dst, const char *src, int size) {
  size_t len = strlen(src);
  if (size > 0) {
    size_t n = len < (size_t)size - 1 ? len : (size_t)size - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
  }
  return (uint32_t)len;
}

char *kx_strdup(const char *name, const char *s) {
  if (!s) return nullptr;
  size_t n = strlen(s) + 1;
  char *copy = (char *)kx_malloc(name, n);
  memcpy(copy, s, n);
  return copy;
}

char *kx_strdup_vformat(const char *name, const char *fmt, va_list ap) {
  KX_BUG_ON_AT(KX_LINE_STRDUP_NO_FORMAT, fmt == ((void *)0));
  va_list again;
  va_copy(again, ap);
  char buf[1024];
  int len = vsnprintf(buf, sizeof buf, fmt, ap);
  KX_BUG_ON_AT(KX_LINE_STRDUP_BAD_FORMAT, len < 0);
  char *s = (char *)kx_malloc(name, (size_t)len + 1);
  if ((size_t)len < sizeof buf) {
    memcpy(s, buf, (size_t)len + 1);
  } else {
    int rlen = vsnprintf(s, (size_t)len + 1, fmt, again);
    KX_BUG_ON_AT(KX_LINE_STRDUP_LENGTH_CHANGED, rlen != len);
  }
  va_end(again);
  return s;
}

char *kx_strdup_format(const char *name, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char *s = kx_strdup_vformat(name, fmt, ap);
  va_end(ap);
  return s;
}

uint32_t kx_strcount(const char *s, char c) {
  uint32_t n = 0;
  for (; *s; s++) n += *s == c;
  return n;
}

char *kx_strtrim(char *s, const char *set) {
  char *start = s + strspn(s, set);
  char *end = start + strlen(start);
  while (end > start && strchr(set, end[-1])) end--;
  *end = 0;
  return start;
}

char *kx_strtok(char **cursor, const char *delims) {
  char *p = *cursor;
  if (!p) return nullptr;
  p += strspn(p, delims);
  if (!*p) {
    *cursor = p;
    return nullptr;
  }
  char *token = p;
  p += strcspn(p, delims);
  if (*p) *p++ = 0;
  *cursor = p;
  return token;
}

char *kx_strtok_start(char *s, char **cursor, const char *delims) {
  *cursor = s;
  return kx_strtok(cursor, delims);
}

// ---- splitter ----

static void kx_strsplit_put_back(kx_strsplit_t *sp) {
  for (int i = 0; i < sp->nrestore; i++) *sp->restore[i] = sp->sep;
  sp->nrestore = 0;
}

// Loads the window that starts at field `index` (scan_idx <= index <= last).
static void kx_strsplit_split(kx_strsplit_t *sp, int index) {
  kx_strsplit_put_back(sp);
  char *p = sp->scan;
  for (int k = sp->scan_idx; k < index; k++) p = strchr(p, sp->sep) + 1;
  sp->fields[index % KX_STRSPLIT_WINDOW] = p;
  sp->first = index;
  int j = index;
  int restore_idx = 0;
  while (j < sp->last && j - index < KX_STRSPLIT_WINDOW - 1) {
    char *s = strchr(sp->fields[j % KX_STRSPLIT_WINDOW], sp->sep);
    if (!s) break;
    KX_BUG_ON_AT(KX_LINE_STRSPLIT_TOO_MANY, restore_idx >= 50 + 1);
    *s = 0;
    sp->restore[restore_idx++] = s;
    sp->fields[++j % KX_STRSPLIT_WINDOW] = s + 1;
  }
  sp->nrestore = restore_idx;
  if (j < sp->last) {
    // Field j is located but still runs on to the next separator: it starts
    // the next window.
    sp->held = j - 1;
    sp->scan = sp->fields[j % KX_STRSPLIT_WINDOW];
    sp->scan_idx = j;
  } else {
    sp->held = j;
    sp->scan_idx = sp->last + 1;
  }
}

int kx_strsplit_init(char *s, kx_strsplit_t *sp, char sep, int max) {
  memset(sp, 0, sizeof *sp);
  if (!s) return 0;
  int count = (int)kx_strcount(s, sep);
  if (max > 0 && count > max - 1) count = max - 1;
  sp->str = s;
  sp->sep = sep;
  sp->last = count;
  sp->scan = s;
  sp->scan_idx = 0;
  sp->held = -1;
  kx_strsplit_split(sp, 0);
  return count + 1;
}

char *kx_strsplit_get(kx_strsplit_t *sp, int index) {
  if (!sp->str || index < sp->first || index > sp->last) return nullptr;
  if (index > sp->held) kx_strsplit_split(sp, index);
  return sp->fields[index % KX_STRSPLIT_WINDOW];
}

void kx_strsplit_restore(kx_strsplit_t *sp) {
  kx_strsplit_put_back(sp);
  // The current window is cut again on the next get.
  if (sp->held >= sp->first) {
    sp->scan = sp->fields[sp->first % KX_STRSPLIT_WINDOW];
    sp->scan_idx = sp->first;
    sp->held = sp->first - 1;
  }
}

// ---- encodings ----

static const char kx_hex_upper[] = "0123456789ABCDEF";

static int kx_hex_value(int c) {
  if (kx_isdigit(c)) return c - '0';
  return kx_tolower(c) - 'a' + 10;
}

void kx_str_escape(char *dst, const void *bytes, uint32_t count) {
  static const char escaped[] = " !?#$%&'()*+-./:;<=>?@[\\]^_`{|}";
  const uint8_t *b = (const uint8_t *)bytes;
  for (uint32_t i = 0; i < count; i++) {
    if (b[i] && strchr(escaped, b[i])) {
      *dst++ = '%';
      *dst++ = kx_hex_upper[b[i] >> 4];
      *dst++ = kx_hex_upper[b[i] & 15];
    } else {
      *dst++ = (char)b[i];
    }
  }
  *dst = 0;
}

int kx_str_unescape(char *dst, const char *src, uint32_t size) {
  if (size == 0) return 0;
  uint32_t n = 0;
  for (; *src && n < size - 1; n++) {
    if (*src != '%') {
      dst[n] = *src++;
      continue;
    }
    if (!kx_isxdigit((uint8_t)src[1]) || !kx_isxdigit((uint8_t)src[2])) {
      dst[n] = 0;
      return -1;
    }
    dst[n] = (char)(kx_hex_value((uint8_t)src[1]) << 4 | kx_hex_value((uint8_t)src[2]));
    src += 3;
  }
  dst[n] = 0;
  return (int)n;
}

char *kx_str_nibbles(const char *name, const void *bytes, uint32_t count) {
  const uint8_t *b = (const uint8_t *)bytes;
  char *out = (char *)kx_malloc(name, 2 * (size_t)count + 1);
  for (uint32_t i = 0; i < count; i++) {
    out[2 * i] = (char)('0' + (b[i] & 15));
    out[2 * i + 1] = (char)('0' + (b[i] >> 4));
  }
  out[2 * (size_t)count] = 0;
  return out;
}

char *kx_str_nibbles_string(const char *name, const char *s) {
  return s ? kx_str_nibbles(name, s, (uint32_t)strlen(s) + 1) : kx_str_nibbles(name, "", 1);
}

void *kx_str_from_nibbles(const char *name, const char *text) {
  size_t len = strlen(text);
  if (len % 2) return nullptr;
  uint8_t *out = (uint8_t *)kx_malloc(name, len / 2);
  for (size_t i = 0; i < len / 2; i++) {
    uint8_t lo = (uint8_t)text[2 * i], hi = (uint8_t)text[2 * i + 1];
    if ((lo >= '@' && lo <= 127) || (hi >= '@' && hi <= 127)) {
      kx_free(out);
      return nullptr;
    }
    // Characters below '0' and above 127 decode to the low bits of their
    // offset from '0'; unsigned arithmetic, so a negative offset shifts safely.
    out[i] = (uint8_t)((unsigned)(lo - '0') | (unsigned)(hi - '0') << 4);
  }
  return out;
}

// ---- numbers ----

static int kx_digit_value(int c) {
  if (kx_isdigit(c)) return c - '0';
  if (kx_isxdigit(c)) return kx_hex_value(c);
  return -1;
}

// Parses in 64 bits; narrower results are the low bits, which wrap exactly
// as a narrower accumulator would.
static uint64_t kx_parse_number(const char *s, char **end, uint32_t base, bool is_signed) {
  const char *p = s;
  bool negative = is_signed && *p == '-';
  if (negative) p++;
  const bool prefix = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
  if (base == 16 && prefix) {
    p += 2;  // optional: "0x" alone is an empty number
  } else if (base == 0 && prefix && kx_isxdigit((uint8_t)p[2])) {
    p += 2;
    base = 16;
  } else if (base == 0) {
    base = p[0] == '0' ? 8 : 10;
  }
  const char *digits = p;
  uint64_t value = 0;
  for (int d; (d = kx_digit_value((uint8_t)*p)) >= 0 && (uint32_t)d < base; p++) value = value * base + (uint32_t)d;
  if (p == digits) {
    if (end) *end = const_cast<char *>(s);
    return 0;
  }
  if (end) *end = const_cast<char *>(p);
  return negative ? 0 - value : value;
}

uint32_t kx_strtou32(const char *s, char **end, uint32_t base) {
  return (uint32_t)kx_parse_number(s, end, base, false);
}

int32_t kx_strtoi32(const char *s, char **end, uint32_t base) {
  return (int32_t)(uint32_t)kx_parse_number(s, end, base, true);
}

uint64_t kx_strtou64(const char *s, char **end, uint32_t base) { return kx_parse_number(s, end, base, false); }

int64_t kx_strtoi64(const char *s, char **end, uint32_t base) {
  return (int64_t)kx_parse_number(s, end, base, true);
}

int kx_str_is_utf8(const char *s) {
  const uint8_t *p = (const uint8_t *)s;
  while (*p) {
    uint8_t c = *p;
    if (c < 0x80) {
      p++;
      continue;
    }
    int extra;
    uint32_t v;
    if (c >= 0xC0 && c <= 0xDF) {
      extra = 1;
      v = c & 0x1f;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      v = c & 0x0f;
    } else if (c >= 0xF0 && c <= 0xF7) {
      extra = 3;
      v = c & 0x07;
    } else {
      return 0;
    }
    // A zero byte fails the continuation test, so nothing past the end is read.
    for (int i = 1; i <= extra; i++) {
      if ((p[i] & 0xC0) != 0x80) return 0;
      v = v << 6 | (p[i] & 0x3f);
    }
    if (v < 0x80 || (extra >= 2 && v < 0x800) || (extra == 3 && v <= 0xFFFF)) return 0;
    p += extra + 1;
  }
  return 1;
}

// ---- hex dumps ----

void kx_str_hexdump(const void *bytes, int count, kx_str_hexdump_fn fn, void *arg) {
  static const char hex[] = "0123456789abcdef";
  const uint8_t *b = (const uint8_t *)bytes;
  for (int off = 0; off < count; off += 16) {
    int k = count - off < 16 ? count - off : 16;
    char line[96];
    int n = snprintf(line, sizeof line, "%08x: ", (unsigned)off);
    for (int i = 0; i < 16; i++) {
      line[n++] = i < k ? hex[b[off + i] >> 4] : ' ';
      line[n++] = i < k ? hex[b[off + i] & 15] : ' ';
      if (i & 1) line[n++] = ' ';
      if (i == 7) line[n++] = ' ';
    }
    line[n++] = ' ';
    for (int i = 0; i < k; i++) {
      uint8_t c = b[off + i];
      line[n++] = c >= 32 && c <= 126 ? (char)c : '.';
      if (i == 7 && k > 8) line[n++] = ' ';
    }
    line[n] = 0;
    fn(line, arg);
  }
}

struct kx_hexdump_log_target {
  uint32_t facility, level;
};

static void kx_hexdump_log_line(const char *line, void *arg) {
  const kx_hexdump_log_target *t = (const kx_hexdump_log_target *)arg;
  kx_log((int)t->facility, t->level, "%s", line);
}

void kx_log_hexdump(uint32_t facility, uint32_t level, const void *bytes, uint32_t count) {
  kx_hexdump_log_target target = {facility, level};
  kx_str_hexdump(bytes, (int)count, kx_hexdump_log_line, &target);
}
