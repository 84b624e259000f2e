// String utilities: ASCII character classes, case-insensitive comparison,
// bounded copy, tracked duplicates, trimming and tokenising, the field
// splitter, percent escaping, the nibble encoding, number parsing, a UTF-8
// test and hex dumps. Nothing here depends on the platform's locale.
#ifndef KX_STR_H
#define KX_STR_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

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

#ifdef __cplusplus
}
#endif

#endif
