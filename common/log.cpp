// Log thresholds, the log line writer, and bug and badness reports.
#ifdef _WIN32
// C99 formats (KX_PRINTF_FORMAT) whatever the rest of the program uses: MinGW's own printf.
#undef __USE_MINGW_ANSI_STDIO
#define __USE_MINGW_ANSI_STDIO 1
#endif
#include "kx_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kx_msg.h"
#include "kx_str.h"

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

const char *kx_log_facility_name(uint32_t facility) {
  return facility < KX_LOG_NUM_FACILITIES ? kx_log_facility_names[facility] : "?";
}

const char *kx_log_level_name(uint32_t level) {
  return level < KX_LOG_NUM_LEVELS ? kx_log_level_names[level] : "?";
}

void kx_log_v(int facility, uint32_t level, const char *format, va_list ap) {
  // vsnprintf cuts a longer text and always terminates it.
  char text[4096];
  vsnprintf(text, sizeof text, format, ap);
  if (level > kx_log_print_level) return;
  fprintf(stderr, "[%s:%s] %s\n", kx_log_facility_name((uint32_t)facility), kx_log_level_name(level), text);
}

void kx_log(int facility, uint32_t level, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  kx_log_v(facility, level, format, ap);
  va_end(ap);
}

void kx_log_set_level(uint32_t facility, uint32_t level) {
  if (facility < KX_LOG_NUM_FACILITIES && level < KX_LOG_NUM_LEVELS) kx_log_levels[facility] = level;
}

int kx_log_set_all_levels(uint32_t level) {
  if (level >= KX_LOG_NUM_LEVELS) return 0;
  for (uint32_t &threshold : kx_log_levels) threshold = level;
  return 1;
}

int kx_log_find_facility(const char *name) {
  for (int i = 0; i < KX_LOG_NUM_FACILITIES; i++)
    if (kx_strcasecmp(kx_log_facility_names[i], name) == 0) return i;
  return -1;
}

void kx_log_set_print_level(uint32_t level) { kx_log_print_level = level; }

void kx_log_started(void) { KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_INFO, "LOGFILE STARTED"); }

void kx_log_msg_put(kx_msg_t *msg) {
  kx_msg_put_uint16(msg, KX_LOG_NUM_FACILITIES);
  for (int i = 0; i < KX_LOG_NUM_FACILITIES; i++) {
    KX_BUG_ON_AT(KX_LINE_LOG_MSG_FULL, kx_msg_free_bytes (msg) == 0, "Out of space in kx_msg_t");
    kx_msg_put_string(msg, kx_log_facility_names[i]);
    kx_msg_put_uint8(msg, (uint8_t)kx_log_levels[i]);
  }
}

int kx_log_msg_get(kx_msg_t *msg) {
  uint16_t count;
  if (!kx_msg_get_uint16(msg, &count)) {
    KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_ERROR, "Failed to read number of log facilities from kx_msg_t.");
    return 0;
  }
  if (count != KX_LOG_NUM_FACILITIES) {
    KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_WARNING,
           "Mismatch in number of expected log facilities. Got=%u Expected=%u. Continuing with those I got.",
           (unsigned)count, (unsigned)KX_LOG_NUM_FACILITIES);
    if (count == 0) return 1;
  }
  for (uint32_t i = 0; i < count; i++) {
    // Cleared for every entry: a wire name without its zero byte must not
    // pick up bytes of an earlier, longer name.
    char name[64] = {0};
    if (!kx_msg_get_string_len(msg, name, sizeof name, NULL)) {
      KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_ERROR, "Failed to read log facility name.");
      return 0;
    }
    uint8_t level;
    if (!kx_msg_get_uint8(msg, &level)) {
      KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_ERROR, "Failed to read log facility level.");
      return 0;
    }
    if (level >= KX_LOG_NUM_LEVELS) {
      KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_WARNING, "Log level=%u is too high for '%s'.", (unsigned)level, name);
      continue;
    }
    int facility = kx_log_find_facility(name);
    if (facility < 0) {
      KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_WARNING, "Failed to find any log facility named '%s'.", name);
      continue;
    }
    KX_LOG(KX_LOG_FAC_GENERAL, KX_LOG_DEBUG, "Setting loglevel %s for [%s]", kx_log_level_names[level],
           kx_log_facility_names[facility]);
    kx_log_levels[facility] = level;
  }
  return 1;
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
