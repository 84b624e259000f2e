// Log thresholds, the log line writer, and bug and badness reports.
#include "kx_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

static const char *const kx_log_facility_names[KX_LOG_NUM_FACILITIES] = {
    "Interface", "Memory", "Linklevel", "IPv4", "Host", "TCP", "Connections", "Services",
    "Ruleset", "Firewall", "Shaping", "List", "PPPoE", "DRDL", "General", "Connlog",
    "Proxy", "Backup", "Corvexd", "KXDB", "Client", "Sysdiag", "Config", "Channel",
    "BGP", "Net", "Layer 4", "KXSD", "VBS", "Enterprise", "BCM", "Yukon",
    "Locks", "Virt", "E1K", "Bypass", "Statistics", "Audit Modify", "Divert", "Audit View",
    "E10K", "SNMP", "IPv6", "Shunt", "Mux", "Diameter", "ipfix", "Database Audit Modify",
    "Database Audit View", "Statsfs", "DEBUG", "Trigger", "Deepscan", "Rewrite", "Natsync",
    "VMXNet", "Enrich", "LB", "HTTPD", "KXSCD", "Datacore", "Host Stats", "KXCOMMD",
    "Tunnel", "I40E",
};

static const char *const kx_log_level_names[KX_LOG_NUM_LEVELS] = {
    "Emergency", "Alert", "Critical", "Error", "Warning", "Notice", "Info", "Debug", "Verbose",
};

uint32_t kx_log_levels[KX_LOG_NUM_FACILITIES] = {
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,  // 0..15
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,  // 16..31
    6, 6, 6, 6, 6, 4, 6, 4, 6, 6, 6, 6, 6, 6, 6, 4,  // 32..47: Audit Modify, Audit View, DB Audit Modify
    4, 6, 7, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,  // 48..63: DB Audit View, DEBUG
    6,                                               // 64
};
uint32_t kx_log_print_level = KX_LOG_ALERT;

static void kx_log_v(int facility, uint32_t level, const char *format, va_list ap) {
  char text[4096];
  vsnprintf(text, sizeof text, format, ap);
  if (level > kx_log_print_level) return;
  const char *fac = (facility >= 0 && facility < KX_LOG_NUM_FACILITIES)
                        ? kx_log_facility_names[facility] : "?";
  const char *lvl = level < KX_LOG_NUM_LEVELS ? kx_log_level_names[level] : "?";
  fprintf(stderr, "[%s:%s] %s\n", fac, lvl, text);
}

void kx_log(int facility, uint32_t level, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  kx_log_v(facility, level, format, ap);
  va_end(ap);
}

void kx_bug_hook(void) {}

// Formats "<prefix> at file:line/func(): [<cond>  ]<explanation>" and logs it
// on General when General's threshold lets `level` pass.
static void kx_report(uint32_t level, const char *prefix, const char *file, int line,
                      const char *func, const char *cond, const char *format, va_list ap) {
  if (kx_log_levels[KX_LOG_FAC_GENERAL] < level) return;
  char text[4096];
  vsnprintf(text, sizeof text, format, ap);
  if (cond)
    kx_log(KX_LOG_FAC_GENERAL, level, "%s at %s:%d/%s(): %s  %s", prefix, file, line, func, cond, text);
  else
    kx_log(KX_LOG_FAC_GENERAL, level, "%s at %s:%d/%s(): %s", prefix, file, line, func, text);
}

void kx_bug(const char *file, int line, const char *func, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  kx_report(KX_LOG_CRITICAL, "KX-BUG", file, line, func, nullptr, format, ap);
  va_end(ap);
  kx_bug_hook();
  abort();
}

void kx_bug_cond(const char *file, int line, const char *func, const char *cond,
                 const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  kx_report(KX_LOG_CRITICAL, "KX-BUG", file, line, func, cond, format, ap);
  va_end(ap);
  kx_bug_hook();
  abort();
}

void kx_badness(const char *file, int line, const char *func, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  kx_report(KX_LOG_WARNING, "KX-BADNESS", file, line, func, nullptr, format, ap);
  va_end(ap);
}

void kx_badness_cond(const char *file, int line, const char *func, const char *cond,
                     const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  kx_report(KX_LOG_WARNING, "KX-BADNESS", file, line, func, cond, format, ap);
  va_end(ap);
}
