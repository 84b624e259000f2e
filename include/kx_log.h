// Logging, bug reports and badness reports of the support library.
#ifndef KX_LOG_H
#define KX_LOG_H

#include <stdint.h>

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

/* Facilities the support library itself logs on. */
#define KX_LOG_FAC_MEMORY 1
#define KX_LOG_FAC_GENERAL 14
#define KX_LOG_NUM_FACILITIES 65

/* Per-facility thresholds and the process-wide print threshold. */
extern uint32_t kx_log_levels[KX_LOG_NUM_FACILITIES];
extern uint32_t kx_log_print_level;

void kx_log(int facility, uint32_t level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* Logs through kx_log only when the facility's threshold lets the level pass. */
#define KX_LOG(facility, level, ...)                                  \
  do {                                                                \
    if (kx_log_levels[(facility)] >= (uint32_t)(level))               \
      kx_log((facility), (level), __VA_ARGS__);                       \
  } while (0)

/* Bug report: "KX-BUG at file:line/func(): <text>" on General/Critical
 * (subject to the thresholds), then kx_bug_hook() and abort(). */
void kx_bug(const char *file, int line, const char *func, const char *format, ...)
    __attribute__((format(printf, 4, 5), noreturn));
/* Badness report: "KX-BADNESS at file:line/func(): <text>" on General/Warning. */
void kx_badness(const char *file, int line, const char *func, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
/* The same with a failed condition: the text is "<cond>  <explanation>". */
void kx_bug_cond(const char *file, int line, const char *func, const char *cond,
                 const char *format, ...) __attribute__((format(printf, 5, 6), noreturn));
void kx_badness_cond(const char *file, int line, const char *func, const char *cond,
                     const char *format, ...) __attribute__((format(printf, 5, 6)));
/* Called right before the abort of every bug report; does nothing. */
void kx_bug_hook(void);

#ifdef __cplusplus
}
#endif

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
