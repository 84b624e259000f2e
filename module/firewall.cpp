// KXdv17_0 firewall area: the rule subscription with its hit counters, and
// the firewall log (query, clear, decoding of its entries).
#include "idnames.h"

using kx::Reader;
using kx::Ref;
using kx::Request;

namespace {

KX_NAME(dict);
KX_NAME(name);
KX_NAME(hits);
KX_NAME(hits_rate);
KX_NAME(logentries);

using kx::Kind;

// One log entry before its optional trailing properties text.
KX_RECORD_TABLE(kLogEntry, FWLOG_ENTRY, "time", "rule");

void store_rule(PyObject *table, const Ref &id, const Ref &name) {
  Ref rule = kx::new_dict();
  kx::setitem(rule.get(), n_name, name.get());
  kx::setitem(table, id.get(), rule.get());
}

}  // namespace

// ---- firewall rules ------------------------------------------------------------------

KX_EMPTY_REQUEST(fwrulesShow, FWRULES_SHOW);
KX_EMPTY_REQUEST(fwrulesHide, FWRULES_HIDE);

// A header word (its top bit is the flag), then rule id and name pairs up to
// the end of the message: {id: {"name": name}}. 1 to 3 bytes left where an id
// would start are ignored.
KX_FUNCTION(handleFWRulesInit, "m") {
  Reader r(arg[0]);
  return kx::read_id_names(r, store_rule);
}

namespace {
KX_RECORD_COUNT(kRuleCount, FW_RULES, "rules");
KX_RECORD_TABLE(kRuleHits, FW_RULE_HITS);
KX_RECORD_TABLE(kEntryStart, FWLOG_ENTRY_START);
// The optional text closing a log entry.
KX_RECORD_TABLE(kProperties, FWLOG_ENTRY, "properties", "properties");
}  // namespace

// A u32 count of (rule id, hits, hits rate) entries, written into the rule
// dicts of `rules`; entries written before a failure stay written.
KX_FUNCTION(handleFWRulesData, "m", "rules") {
  Reader r(arg[0]);
  PyObject *rules = arg[1];
  for (uint64_t n = kx::read_number(r, kRuleCount); n; n--) {
    enum { id, hits, rate, count };
    Ref v[count];
    kx::read_values(r, kRuleHits, v);
    // rules[id] is looked up again for each key: a mapping whose items
    // change on access sees both lookups.
    kx::setitem(kx::getitem(rules, v[id].get()).get(), n_hits, v[hits].get());
    kx::setitem(kx::getitem(rules, v[id].get()).get(), n_hits_rate, v[rate].get());
  }
  return kx::py_none();
}

// ---- firewall log -----------------------------------------------------------------------

// Query type (low 8 bits), the two bounds sign-extended to 64 bits, and the
// truth values of `clear` and `no_reverse`. The three numbers are converted
// before the request is made.
KX_FUNCTION(fwlog_query, "io", "qtype", "s", "e", "clear", "no_reverse") {
  int32_t qtype = kx::as_long32(arg[1]);
  int32_t first = kx::as_long32(arg[2]);
  int32_t second = kx::as_long32(arg[3]);
  Request q(kxp::CLI_FWLOG_QUERY);
  q.write_fields(kxp::kRequest_FWLOG_QUERY, {static_cast<uint64_t>(static_cast<int64_t>(qtype)),
                                             static_cast<uint64_t>(static_cast<int64_t>(first)),
                                             static_cast<uint64_t>(static_cast<int64_t>(second)),
                                             kx::truth(arg[4]) ? 1u : 0u, kx::truth(arg[5]) ? 1u : 0u});
  q.send(arg[0]);
  return kx::py_none();
}

KX_EMPTY_REQUEST(fwlog_clear, FWLOG_CLEAR);

KX_FUNCTION(handleFWEntryStart, "m") {
  Reader r(arg[0]);
  Ref count = kx::read_value(r, kEntryStart);
  Ref start = kx::new_dict();
  kx::setitem(start.get(), n_logentries, count.get());
  return start;
}

// One log entry; each field is stored as soon as it is read. The trailing
// "properties" string is optional: the key is set only when the whole field
// is present. A field that is there but short is consumed as far as the
// string read gets before it fails.
KX_FUNCTION(handleFWEntry, "m") {
  Reader r(arg[0]);
  Ref entry = KX_CALL(kx::builtin(n_dict).get());
  kx::read_items(r, entry.get(), kLogEntry);
  if (r.has_whole_string())
    kx::read_items(r, entry.get(), kProperties);
  else
    r.try_skip_string(kProperties_rows[0].arg);
  return entry;
}

const kx::Method kx_methods_firewall[] = {
    KX_METHOD(fwrulesShow, 50),
    KX_METHOD(fwrulesHide, 51),
    KX_METHOD(handleFWRulesInit, 52),
    KX_METHOD(handleFWRulesData, 53),
    KX_METHOD(fwlog_query, 46),
    KX_METHOD(fwlog_clear, 45),
    KX_METHOD(handleFWEntryStart, 47),
    KX_METHOD(handleFWEntry, 48),
    KX_METHODS_END,
};
