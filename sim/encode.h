// kxd-sim: the server side of every message: encoders for what the daemon
// sends. They are written independently of the client module, so that the
// end-to-end test compares two implementations of each layout.
#ifndef KXD_SIM_ENCODE_H
#define KXD_SIM_ENCODE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "catalogue.h"
#include "proto.h"
#include "rules.h"
#include "views.h"
#include "world.h"

namespace sim {

// One counter of a shaping object: its dump key, where it is kept and its
// width on the wire (0: not on the wire, always 0 in the dump).
struct ShapingCounterField {
  const char *key;
  uint64_t ShapingCounters::*value;
  uint8_t width;
  bool bits;  // a byte rate the client shows in bits
};
// In wire order; each direction carries the same list.
const std::vector<ShapingCounterField> &shaping_counter_fields();

void enc_version(Msgs &out);
void enc_login(Msgs &out);  // authentication result, features, XFB names, view caps, shaping rules
void enc_eperm(Msgs &out, uint32_t what);
void enc_not_avail(Msgs &out, const std::string &text);
void enc_strtables(Msgs &out);
void enc_host_add(Batch &b, const Host &h);
void enc_host_update(Batch &b, const Host &h, uint16_t mask);
void enc_host_remove(Msgs &out, uint32_t id);
void enc_host_find_reply(Msgs &out, const Host *found);  // an empty reply when nothing was found
// One connection record; `views` (may be null) are the view ids for the CONN_VIEWS block.
void enc_conn(Batch &b, const Conn &c, uint32_t flags, const std::vector<uint16_t> *views);
void enc_schemata(Msgs &out);
void enc_sc_add(Msgs &out, uint64_t rowid, const ScRow &row);
void enc_sc_remove(Msgs &out, const std::vector<uint64_t> &rows);
void enc_channels_info(Msgs &out, const World &w);
void enc_channels_data(Msgs &out, const World &w);
void enc_shaping_objects(Msgs &out, const World &w);  // the init message, every name, every counter set
void enc_shaping_counters(Msgs &out, const ShapingObject &o);
void enc_fw_init(Msgs &out, const World &w);
void enc_fw_data(Msgs &out, const World &w);
void enc_fwlog(Msgs &out, const std::vector<const FwLogEntry *> &entries);
void enc_rule_test_result(Msgs &out, const RuleTestResult &r);
void enc_bgp(Msgs &out);
void enc_sysdiag(Msgs &out, const World &w);
// The bytes of a view key: the value of `field` as the wire carries it.
std::string enc_view_key(uint8_t field, const ViewKeyValue &value);
// One view update: removals, additions (with their labels) and updates, in
// the order given; `announce` sends an empty update when there is nothing.
void enc_view_update(Msgs &out, uint16_t view, uint8_t field, const std::vector<ViewChange> &changes,
                     bool announce);
void enc_view_add_error(Msgs &out, uint16_t view, const char *error);

}  // namespace sim

#endif
