// kxd-sim: JSON string escaping.
#include "json.h"

#include <stdio.h>

namespace sim {

std::string json_str(const std::string &s) {
  std::string o = "\"";
  for (unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      o += '\\';
      o += (char)ch;
    } else if (ch < 0x20 || ch >= 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", ch);
      o += esc;
    } else {
      o += (char)ch;
    }
  }
  return o + "\"";
}

std::string json_hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string o = "\"";
  for (unsigned char ch : bytes) {
    o += digits[ch >> 4];
    o += digits[ch & 15];
  }
  return o + "\"";
}

}  // namespace sim
