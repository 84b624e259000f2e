// The (id, name) records (idnames.h).
#include "idnames.h"

namespace kx {

namespace {
// A flags word (its top bit returned as a bool), then (id, name) records
// while a whole id remains.
KX_RECORD_TABLE(kIdNamesHead, SHAPING_RULES_INIT, "flags", "flags");
KX_RECORD_TABLE(kIdName, RULE_NAME);
}  // namespace

Ref read_id_names(Reader &r, void (*store)(PyObject *table, const Ref &id, const Ref &name),
                  Site at) {
  bool flag = (read_number(r, kIdNamesHead, at) & 0x80000000u) != 0;
  Ref table = new_dict(at);
  while (r.has(rows::fixed_width(kIdName_rows[0]))) {
    Ref record[2];
    read_values(r, kIdName, record, at);
    store(table.get(), record[0], record[1]);
  }
  return tuple(table, builtin_truth(flag, at));
}

}  // namespace kx
