// kxd-sim: firewall log queries and rule tests, evaluated against the world.
#ifndef KXD_SIM_RULES_H
#define KXD_SIM_RULES_H

#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "world.h"

namespace sim {

// How a firewall log query selects entries.
enum : uint8_t {
  FWLOG_BY_SEQ = FWLOG_QTYPE_ID,
  FWLOG_BY_TIME = FWLOG_QTYPE_FROMTO,
  FWLOG_BY_OFFSET = FWLOG_QTYPE_OFFSETS,
};

struct FwLogQuery {
  uint8_t qtype = 0;
  int64_t from = 0, to = 0;  // by offset from the newest entry, to < 0 reaches the oldest
  uint8_t clear = 0, no_reverse = 0;
};

// The entries a query selects, newest first unless no_reverse.
std::vector<const FwLogEntry *> fwlog_select(const std::deque<FwLogEntry> &log, const FwLogQuery &q);

// How one rule-test criterion is carried: a field of a wire kind (an ip4 is
// shown as a dotted quad), or kind_list: a count of kind `count`, then that
// many records of `layout` (the properties, (name, value) pairs).
struct Criterion {
  const char *key;
  uint8_t bit;  // in the request's criteria mask
  WireKind kind;
  WireKind count;
  const LayoutRow *layout;
};

// The criteria in the order the request carries them (not bit order).
const std::vector<Criterion> &rule_test_criteria();

struct RuleTest {
  uint32_t test_id = 0, mask = 0;
  std::map<std::string, uint32_t> values;  // every criterion given; 0 for the text ones
  std::string service;
  std::vector<std::pair<std::string, std::string>> properties;
};

struct RuleTestResult {
  uint32_t test_id = 0;
  uint32_t rewrite_obj = 0, monitor_iface = 0;
  int32_t fwrule = -1;                                   // the deciding rule, -1 for none
  std::vector<std::pair<uint32_t, uint32_t>> fwrules;    // (rule id, 1 when it matched), in the order looked at
  std::vector<std::pair<uint32_t, uint32_t>> shaping;    // (rule id, object id)
};

RuleTestResult rule_test(const World &w, const RuleTest &t);

}  // namespace sim

#endif
