// String utilities: ASCII character classes, case-insensitive comparison,
// bounded copy, tracked duplicates, trimming and tokenising, the field
// splitter, percent escaping, the nibble encoding, number parsing, a UTF-8
// test and hex dumps. Nothing here depends on the platform's locale.
#ifndef KX_STR_H
#define KX_STR_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "kx_log.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- character classes (ASCII only; bytes 128..255 have no class) ---- */

#define KX_CTYPE_UPPER 0x01u
#define KX_CTYPE_LOWER 0x02u
#define KX_CTYPE_DIGIT 0x04u
#define KX_CTYPE_CNTRL 0x08u
#define KX_CTYPE_PUNCT 0x10u
#define KX_CTYPE_SPACE 0x20u
#define KX_CTYPE_XLETTER 0x40u /* A-F, a-f */
#define KX_CTYPE_BLANK 0x80u

extern const uint8_t kx_ctype[256];

static inline int kx_isupper(int c) { return (kx_ctype[(uint8_t)c] & KX_CTYPE_UPPER) != 0; }
static inline int kx_islower(int c) { return (kx_ctype[(uint8_t)c] & KX_CTYPE_LOWER) != 0; }
static inline int kx_isalpha(int c) { return (kx_ctype[(uint8_t)c] & (KX_CTYPE_UPPER | KX_CTYPE_LOWER)) != 0; }
static inline int kx_isdigit(int c) { return (kx_ctype[(uint8_t)c] & KX_CTYPE_DIGIT) != 0; }
static inline int kx_isalnum(int c) {
  return (kx_ctype[(uint8_t)c] & (KX_CTYPE_UPPER | KX_CTYPE_LOWER | KX_CTYPE_DIGIT)) != 0;
}
static inline int kx_isxdigit(int c) { return (kx_ctype[(uint8_t)c] & (KX_CTYPE_DIGIT | KX_CTYPE_XLETTER)) != 0; }
static inline int kx_iscntrl(int c) { return (kx_ctype[(uint8_t)c] & KX_CTYPE_CNTRL) != 0; }
static inline int kx_ispunct(int c) { return (kx_ctype[(uint8_t)c] & KX_CTYPE_PUNCT) != 0; }
static inline int kx_isspace(int c) { return (kx_ctype[(uint8_t)c] & KX_CTYPE_SPACE) != 0; }
static inline int kx_isblank(int c) { return (kx_ctype[(uint8_t)c] & KX_CTYPE_BLANK) != 0; }
static inline int kx_tolower(int c) { return kx_isupper(c) ? c - 'A' + 'a' : c; }
static inline int kx_toupper(int c) { return kx_islower(c) ? c - 'a' + 'A' : c; }

/* ---- comparison ---- */

void kx_strlower(char *s);
/* 0 when equal ignoring ASCII case, else the difference of the first
 * differing lowered bytes (a shorter string compares lower). */
int kx_strcasecmp(const char *a, const char *b);
/* The same over at most n bytes; 0 as soon as either string ends. */
int kx_strncasecmp(const char *a, const char *b, int n);

/* ---- copies and duplicates ---- */

/* Copies at most size - 1 bytes and terminates (size <= 0 writes nothing);
 * returns the length of src. */
uint32_t kx_strlcpy(char *dst, const char *src, int size);
/* Tracked copies (free with kx_free); kx_strdup returns null for null. */
char *kx_strdup(const char *name, const char *s);
char *kx_strdup_vformat(const char *name, const char *fmt, va_list ap) __attribute__((format(KX_PRINTF_FORMAT, 2, 0)));
char *kx_strdup_format(const char *name, const char *fmt, ...) __attribute__((format(KX_PRINTF_FORMAT, 2, 3)));

/* ---- scanning ---- */

uint32_t kx_strcount(const char *s, char c);
/* Strips characters of `set` from both ends in place; returns the first kept character. */
char *kx_strtrim(char *s, const char *set);
/* Next token of *cursor separated by `delims`, or null; the token is
 * terminated in place and the cursor moves past it. */
char *kx_strtok(char **cursor, const char *delims);
char *kx_strtok_start(char *s, char **cursor, const char *delims);

/* ---- the splitter ----
 * Splits a string in place at a separator character and hands out fields by
 * index through a window of at most 50 consecutive fields. Fields come in
 * increasing windows: once the window has moved past a field it cannot be
 * fetched again. kx_strsplit_restore puts the separators back. */
#define KX_STRSPLIT_WINDOW 50

typedef struct kx_strsplit {
  char *str;
  char sep;
  int last;       /* index of the last field */
  char *scan;     /* start of field scan_idx, the first located field not yet available */
  int scan_idx;
  char *fields[KX_STRSPLIT_WINDOW]; /* field starts by index modulo 50 */
  int first;      /* fields first..held are available */
  int held;
  char *restore[KX_STRSPLIT_WINDOW + 1]; /* separators overwritten with zero bytes */
  int nrestore;
} kx_strsplit_t;

/* Returns the number of fields (separators + 1), 0 for a null string. With
 * max != 0 at most max fields are made; the last holds the rest of the string. */
int kx_strsplit_init(char *s, kx_strsplit_t *sp, char sep, int max);
char *kx_strsplit_get(kx_strsplit_t *sp, int index);
void kx_strsplit_restore(kx_strsplit_t *sp);

/* ---- encodings ---- */

/* Writes each byte of " !?#$%&'()*+-./:;<=>?@[\]^_`{|}" as %XX, every other
 * byte as it is, and terminates: dst holds 3 * count + 1 bytes. */
void kx_str_escape(char *dst, const void *bytes, uint32_t count);
/* Decodes %XX escapes into at most size - 1 bytes and terminates; returns the
 * bytes written, or -1 at a '%' without two hex digits. Size 0 writes nothing. */
int kx_str_unescape(char *dst, const char *src, uint32_t size);
/* Nibble text: each byte as '0' + low nibble, then '0' + high nibble. */
char *kx_str_nibbles(const char *name, const void *bytes, uint32_t count);
/* Nibble text of the string with its zero byte (null: one zero byte). */
char *kx_str_nibbles_string(const char *name, const char *s);
/* Decodes nibble text into a block of strlen(text) / 2 bytes; null for an odd
 * length or a character from '@' to 127. */
void *kx_str_from_nibbles(const char *name, const char *text);

/* ---- numbers ----
 * Base 0: 16 after 0x/0X and a hex digit, 8 after a leading 0, else 10.
 * Base 16 skips a 0x/0X prefix. Parsing stops at the first non-digit (*end
 * points there; at s when there are no digits). Values wrap at their width.
 * The signed forms accept a leading '-'. */
uint32_t kx_strtou32(const char *s, char **end, uint32_t base);
int32_t kx_strtoi32(const char *s, char **end, uint32_t base);
uint64_t kx_strtou64(const char *s, char **end, uint32_t base);
int64_t kx_strtoi64(const char *s, char **end, uint32_t base);

/* 1 when the string is well-formed UTF-8 (no overlong forms). */
int kx_str_is_utf8(const char *s);

/* ---- hex dumps ----
 * 16 bytes a line: "%08x: ", hex in two-byte groups, the text column. */
typedef void (*kx_str_hexdump_fn)(const char *line, void *arg);
void kx_str_hexdump(const void *bytes, int count, kx_str_hexdump_fn fn, void *arg);
/* Logs each dump line through kx_log (no facility gate). */
void kx_log_hexdump(uint32_t facility, uint32_t level, const void *bytes, uint32_t count);

#ifdef __cplusplus
}
#endif

#endif
