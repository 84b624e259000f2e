// Logging, bug reports and badness reports of the support library.
#ifndef KX_LOG_H
#define KX_LOG_H

#include "kx_report_lines.h"
#include <stdarg.h>
#include <stdint.h>

/* The printf-style functions of the library take C99 formats (%zu, %lld) on
 * every platform. GCC reads the plain `printf` archetype on Windows as the
 * Microsoft runtime's formats, which lack %zu; the library itself formats with
 * MinGW's C99 printf there (common/log.cpp and common/str.cpp select it), so
 * callers' formats are checked as GNU ones. */
#if defined(__MINGW32__) && !defined(__clang__)
#define KX_PRINTF_FORMAT gnu_printf
#else
#define KX_PRINTF_FORMAT printf
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum kx_log_level {
  KX_LOG_EMERGENCY = 0,
  KX_LOG_ALERT = 1,
  KX_LOG_CRITICAL = 2,
  KX_LOG_ERROR = 3,
  KX_LOG_WARNING = 4,
  KX_LOG_NOTICE = 5,
  KX_LOG_INFO = 6,
  KX_LOG_DEBUG = 7,
  KX_LOG_VERBOSE = 8,
};
#define KX_LOG_NUM_LEVELS 9

/* Log facilities, indexed as in the facility-levels payload. The support
 * library itself logs on General and Memory. */
enum kx_log_facility {
  KX_LOG_FAC_INTERFACE = 0,
  KX_LOG_FAC_MEMORY = 1,
  KX_LOG_FAC_LINKLEVEL = 2,
  KX_LOG_FAC_IPV4 = 3,
  KX_LOG_FAC_HOST = 4,
  KX_LOG_FAC_TCP = 5,
  KX_LOG_FAC_CONNECTIONS = 6,
  KX_LOG_FAC_SERVICES = 7,
  KX_LOG_FAC_RULESET = 8,
  KX_LOG_FAC_FIREWALL = 9,
  KX_LOG_FAC_SHAPING = 10,
  KX_LOG_FAC_LIST = 11,
  KX_LOG_FAC_PPPOE = 12,
  KX_LOG_FAC_DRDL = 13,
  KX_LOG_FAC_GENERAL = 14,
  KX_LOG_FAC_CONNLOG = 15,
  KX_LOG_FAC_PROXY = 16,
  KX_LOG_FAC_BACKUP = 17,
  KX_LOG_FAC_CORVEXD = 18,
  KX_LOG_FAC_KXDB = 19,
  KX_LOG_FAC_CLIENT = 20,
  KX_LOG_FAC_SYSDIAG = 21,
  KX_LOG_FAC_CONFIG = 22,
  KX_LOG_FAC_CHANNEL = 23,
  KX_LOG_FAC_BGP = 24,
  KX_LOG_FAC_NET = 25,
  KX_LOG_FAC_LAYER4 = 26,
  KX_LOG_FAC_KXSD = 27,
  KX_LOG_FAC_VBS = 28,
  KX_LOG_FAC_ENTERPRISE = 29,
  KX_LOG_FAC_BCM = 30,
  KX_LOG_FAC_YUKON = 31,
  KX_LOG_FAC_LOCKS = 32,
  KX_LOG_FAC_VIRT = 33,
  KX_LOG_FAC_E1K = 34,
  KX_LOG_FAC_BYPASS = 35,
  KX_LOG_FAC_STATISTICS = 36,
  KX_LOG_FAC_AUDIT_MODIFY = 37,
  KX_LOG_FAC_DIVERT = 38,
  KX_LOG_FAC_AUDIT_VIEW = 39,
  KX_LOG_FAC_E10K = 40,
  KX_LOG_FAC_SNMP = 41,
  KX_LOG_FAC_IPV6 = 42,
  KX_LOG_FAC_SHUNT = 43,
  KX_LOG_FAC_MUX = 44,
  KX_LOG_FAC_DIAMETER = 45,
  KX_LOG_FAC_IPFIX = 46,
  KX_LOG_FAC_DB_AUDIT_MODIFY = 47,
  KX_LOG_FAC_DB_AUDIT_VIEW = 48,
  KX_LOG_FAC_STATSFS = 49,
  KX_LOG_FAC_DEBUG = 50,
  KX_LOG_FAC_TRIGGER = 51,
  KX_LOG_FAC_DEEPSCAN = 52,
  KX_LOG_FAC_REWRITE = 53,
  KX_LOG_FAC_NATSYNC = 54,
  KX_LOG_FAC_VMXNET = 55,
  KX_LOG_FAC_ENRICH = 56,
  KX_LOG_FAC_LB = 57,
  KX_LOG_FAC_HTTPD = 58,
  KX_LOG_FAC_KXSCD = 59,
  KX_LOG_FAC_DATACORE = 60,
  KX_LOG_FAC_HOST_STATS = 61,
  KX_LOG_FAC_KXCOMMD = 62,
  KX_LOG_FAC_TUNNEL = 63,
  KX_LOG_FAC_I40E = 64,
};
#define KX_LOG_NUM_FACILITIES 65

/* Per-facility thresholds and the process-wide print threshold. */
extern uint32_t kx_log_levels[KX_LOG_NUM_FACILITIES];
extern uint32_t kx_log_print_level;

/* Writes "[<facility>:<level>] <text>\n" to standard error when `level` is not
 * above the print threshold. The text is cut to 4095 bytes. Callers gate on
 * the facility threshold first (KX_LOG does). */
void kx_log(int facility, uint32_t level, const char *format, ...)
    __attribute__((format(KX_PRINTF_FORMAT, 3, 4)));
void kx_log_v(int facility, uint32_t level, const char *format, va_list ap)
    __attribute__((format(KX_PRINTF_FORMAT, 3, 0)));

/* Names of the tables; "?" for an index outside them. */
const char *kx_log_facility_name(uint32_t facility);
const char *kx_log_level_name(uint32_t level);

/* Sets one facility's threshold; ignored unless facility < 65 and level < 9. */
void kx_log_set_level(uint32_t facility, uint32_t level);
/* Sets every threshold to `level`; returns 0 (changing nothing) when level > 8. */
int kx_log_set_all_levels(uint32_t level);
/* Index of the facility named `name` (ASCII case ignored), or -1. */
int kx_log_find_facility(const char *name);
void kx_log_set_print_level(uint32_t level);
/* Logs "LOGFILE STARTED" on General at Info. */
void kx_log_started(void);

/* Facility-levels payload: u16 count, then per facility its name as a string
 * field and its threshold as a u8. kx_log_msg_get applies the thresholds it
 * reads; it returns 0 when the payload is short (earlier entries stay applied). */
struct kx_msg;
void kx_log_msg_put(struct kx_msg *msg);
int kx_log_msg_get(struct kx_msg *msg);

/* Logs through kx_log only when the facility's threshold lets the level pass. */
#define KX_LOG(facility, level, ...)                                  \
  do {                                                                \
    if (kx_log_levels[(facility)] >= (uint32_t)(level))               \
      kx_log((facility), (level), __VA_ARGS__);                       \
  } while (0)

/* Bug report: "KX-BUG at file:line/func(): <text>" on General/Critical
 * (subject to the thresholds), then kx_bug_hook() and abort(). */
void kx_bug(const char *file, int line, const char *func, const char *format, ...)
    __attribute__((format(KX_PRINTF_FORMAT, 4, 5), noreturn));
/* Badness report: "KX-BADNESS at file:line/func(): <text>" on General/Warning. */
void kx_badness(const char *file, int line, const char *func, const char *format, ...)
    __attribute__((format(KX_PRINTF_FORMAT, 4, 5)));
/* The same with a failed condition: the text is "<cond>  <explanation>". */
void kx_bug_cond(const char *file, int line, const char *func, const char *cond,
                 const char *format, ...) __attribute__((format(KX_PRINTF_FORMAT, 5, 6), noreturn));
void kx_badness_cond(const char *file, int line, const char *func, const char *cond,
                     const char *format, ...) __attribute__((format(KX_PRINTF_FORMAT, 5, 6)));
/* Called right before the abort of every bug report; does nothing. */
void kx_bug_hook(void);

#ifdef __cplusplus
}
#endif

/* Plain reports at the call site. */
/* Reports whose line is part of the library's documented output name that
 * line (`at`) instead of wherever the check stands in the source today. */
#define KX_BUG_AT(at, ...) kx_bug(__FILE__, (at), __func__, __VA_ARGS__)
#define KX_BADNESS_AT(at, ...) kx_badness(__FILE__, (at), __func__, __VA_ARGS__)
#define KX_BUG_ON_AT(at, cond, ...)                                               \
  do {                                                                            \
    if (__builtin_expect(!!(cond), 0))                                            \
      kx_bug_cond(__FILE__, (at), __func__, #cond, "" __VA_ARGS__);               \
  } while (0)
#define KX_BADNESS_ON_AT(at, cond, ...)                                           \
  do {                                                                            \
    if (__builtin_expect(!!(cond), 0))                                            \
      kx_badness_cond(__FILE__, (at), __func__, #cond, "" __VA_ARGS__);           \
  } while (0)

#define KX_BUG(...) kx_bug(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define KX_BADNESS(...) kx_badness(__FILE__, __LINE__, __func__, __VA_ARGS__)

/* Checks an invariant: when `cond` holds, the report reads "<cond text>  <explanation>". */
#define KX_BUG_ON(cond, ...)                                                      \
  do {                                                                            \
    if (__builtin_expect(!!(cond), 0))                                            \
      kx_bug_cond(__FILE__, __LINE__, __func__, #cond, "" __VA_ARGS__);          \
  } while (0)

#define KX_BADNESS_ON(cond, ...)                                                  \
  do {                                                                            \
    if (__builtin_expect(!!(cond), 0))                                            \
      kx_badness_cond(__FILE__, __LINE__, __func__, #cond, "" __VA_ARGS__);      \
  } while (0)

#endif
