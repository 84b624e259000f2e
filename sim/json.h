// kxd-sim: JSON text for the state dump and the request records. Values are
// passed around as ready JSON text; the helpers below make that text.
#ifndef KXD_SIM_JSON_H
#define KXD_SIM_JSON_H

#include <stdint.h>

#include <string>

namespace sim {

std::string json_str(const std::string &s);       // a quoted, escaped string
std::string json_hex(const std::string &bytes);   // bytes as a quoted hex string
inline std::string json_num(uint64_t v) { return std::to_string(v); }
inline std::string json_int(int64_t v) { return std::to_string(v); }
inline std::string json_bool(bool v) { return v ? "true" : "false"; }
inline std::string json_pair(uint64_t a, uint64_t b) { return "[" + json_num(a) + ", " + json_num(b) + "]"; }

// A JSON list of f(item) for every item.
template <class C, class F>
std::string json_list(const C &items, F f) {
  std::string o = "[";
  bool first = true;
  for (const auto &i : items) {
    o += (first ? "" : ", ") + f(i);
    first = false;
  }
  return o + "]";
}

template <class C>
std::string json_nums(const C &items) {
  return json_list(items, [](uint64_t v) { return json_num(v); });
}

// "key": value members joined into an object.
class JsonObject {
 public:
  JsonObject &add(const std::string &key, const std::string &value) {
    o_ += (o_.empty() ? "" : ", ") + json_str(key) + ": " + value;
    return *this;
  }
  std::string str() const { return "{" + o_ + "}"; }
  std::string members() const { return o_; }  // without the braces

 private:
  std::string o_;
};

// An object keyed by the decimal id of each (id, item) pair, valued f(item).
template <class M, class F>
std::string json_by_id(const M &items, F f) {
  JsonObject j;
  for (const auto &kv : items) j.add(json_num(kv.first), f(kv.second));
  return j.str();
}

}  // namespace sim

#endif
