// kxd-sim: firewall log queries and rule tests.
#include "rules.h"

#include <algorithm>

namespace sim {

std::vector<const FwLogEntry *> fwlog_select(const std::vector<FwLogEntry> &log, const FwLogQuery &q) {
  std::vector<const FwLogEntry *> hits;
  for (size_t i = 0; i < log.size(); i++) {
    const FwLogEntry &en = log[i];
    int64_t off = (int64_t)(log.size() - 1 - i);
    bool in = q.qtype == FWLOG_BY_SEQ    ? ((int64_t)en.seq >= q.from && (int64_t)en.seq <= q.to)
              : q.qtype == FWLOG_BY_TIME ? ((int64_t)en.time >= q.from && (int64_t)en.time <= q.to)
              : q.qtype == FWLOG_BY_OFFSET ? (off >= q.from && (q.to < 0 || off <= q.to))
                                           : false;
    if (in) hits.push_back(&en);
  }
  if (!q.no_reverse) std::reverse(hits.begin(), hits.end());
  return hits;
}

const std::vector<Criterion> &rule_test_criteria() {
  static const std::vector<Criterion> t = {
#define KX_CRITERION(NAME, bit, key, kind, order) {#key, bit, kind_##kind, kind_list, nullptr},
#define KX_CRITERION_LIST(NAME, bit, key, count, LAYOUT, order) {#key, bit, kind_list, kind_##count, kLayout_##LAYOUT},
#include "../protocol/kx_protocol.def"
  };
  return t;
}

namespace {

uint32_t value_or(const RuleTest &t, const char *key, uint32_t none) {
  auto it = t.values.find(key);
  return it != t.values.end() ? it->second : none;
}

}  // namespace

// The firewall rules are looked at in order, each listed with 1 when it
// matched; the first match decides. Shaping rules follow from the service and
// the XFB criterion.
RuleTestResult rule_test(const World &w, const RuleTest &t) {
  RuleTestResult r;
  r.test_id = t.test_id;
  r.rewrite_obj = value_or(t, "channelin", 0);
  r.monitor_iface = value_or(t, "vlanin", 0xffffffffu);
  for (const FwRule &rule : w.fwrules) {
    bool proto_ok = !rule.proto || (t.values.count("protocol") && t.values.at("protocol") == rule.proto);
    bool port_ok = !rule.port || (t.values.count("serverport") && t.values.at("serverport") == rule.port);
    r.fwrules.push_back({rule.id, proto_ok && port_ok ? 1u : 0u});
    if (proto_ok && port_ok) {
      r.fwrule = (int32_t)rule.id;
      break;
    }
  }
  if (t.service == "sip") r.shaping.push_back({1, 101});
  if (t.service == "bittorrent") r.shaping.push_back({10, 104});
  if (t.values.count("xfb")) r.shaping.push_back({2, 102});
  return r;
}

}  // namespace sim
