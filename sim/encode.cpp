// kxd-sim: encoders of the server messages. Each record is written by the
// generic record writer (record.h) from the definition's layout, with the
// values the accessor tables below give; the encoders assemble the messages.
#include "encode.h"

#include "record.h"

namespace sim {

namespace {

// The high bit of a rule list's count word: the list is complete.
constexpr uint32_t kListComplete = RULE_LIST_COMPLETE;

kx_msg_t *push(Msgs &out, uint32_t type) {
  out.push_back(new_msg(type));
  return out.back();
}

// A message of `type` holding one record, from the values `s` gives.
template <auto &Table, class T>
void push_record(Msgs &out, uint32_t type, const T &obj) {
  write_record(push(out, type), record_of(type), source<Table>(obj));
}

// ---- session control ----

struct None {};
const None kNone{};

const Accessor<None> kVersionValues[] = {
    {"version", [](const None &, Ix) { return num(kProtocolVersion); }},
    {"server", [](const None &, Ix) { return num(server_value()); }},
    {"first", [](const None &, Ix) { return text(server_name()); }},
    {"second", [](const None &, Ix) { return text(server_build()); }},
};

const Accessor<None> kLoginValues[] = {
    {"result", [](const None &, Ix) { return num(kAuthLevel); }},
    {"features", [](const None &, Ix) { return num(feature_mask()); }},
    {"names", [](const None &, Ix) { Val v; v.texts = xfb_names(); return v; }},
};

const Accessor<None> kFilterCapValues[] = {
    {"filter", [](const None &, Ix at) { return num(view_filters()[at.item].id); }},
    {"name", [](const None &, Ix at) { return text(view_filters()[at.item].name); }},
    {"type", [](const None &, Ix at) { return num(view_filters()[at.item].type); }},
    {"max", [](const None &, Ix at) { return num(view_filters()[at.item].max); }},
};
const Accessor<None> kFieldCapValues[] = {
    {"field", [](const None &, Ix at) { return num(view_fields()[at.item].id); }},
    {"name", [](const None &, Ix at) { return text(view_fields()[at.item].name); }},
    {"display_prefix", [](const None &, Ix at) { return text(view_fields()[at.item].prefix); }},
    {"type", [](const None &, Ix at) { return num(view_fields()[at.item].type); }},
    {"filter", [](const None &, Ix at) { return num(view_fields()[at.item].filter); }},
    {"want_arg", [](const None &, Ix at) { return num(view_fields()[at.item].want_arg); }},
};
const Accessor<None> kViewCapsValues[] = {
    {"filters", [](const None &n, Ix) { return items<kFilterCapValues>(n, view_filters().size()); }},
    {"fields", [](const None &n, Ix) { return items<kFieldCapValues>(n, view_fields().size()); }},
};

// A rule list: (id, name) pairs after the flag word the list gives.
using RuleNames = std::vector<std::pair<uint32_t, std::string>>;
struct RuleList {
  uint32_t flags;
  RuleNames rules;
};
const Accessor<RuleList> kRuleNameValues[] = {
    {"id", [](const RuleList &l, Ix at) { return num(l.rules[at.item].first); }},
    {"name", [](const RuleList &l, Ix at) { return text(l.rules[at.item].second); }},
};
const Accessor<RuleList> kRuleListValues[] = {
    {"flags", [](const RuleList &l, Ix) { return num(l.flags); }},
    {"rules", [](const RuleList &l, Ix) { return items<kRuleNameValues>(l, l.rules.size()); }},
};

}  // namespace

void enc_version(Msgs &out) { push_record<kVersionValues>(out, SRV_VERSION, kNone); }

void enc_login(Msgs &out) {
  push_record<kLoginValues>(out, SRV_AUTHENTICATION_OK, kNone);
  push_record<kLoginValues>(out, SRV_FEATURES, kNone);
  push_record<kLoginValues>(out, SRV_XFB_NAMES, kNone);
  push_record<kViewCapsValues>(out, SRV_VIEW_CAPS, kNone);
  push_record<kRuleListValues>(out, SRV_SHAPING_RULES_INIT, RuleList{kListComplete, shaping_rules()});
}

void enc_eperm(Msgs &out, uint32_t what) {
  static const Accessor<uint32_t> values[] = {{"request", [](const uint32_t &w, Ix) { return num(w); }}};
  push_record<values>(out, SRV_EPERM, what);
}

void enc_not_avail(Msgs &out, const std::string &message) {
  static const Accessor<std::string> values[] = {{"text", [](const std::string &t, Ix) { return text(t); }}};
  push_record<values>(out, SRV_NOT_AVAILABLE, message);
}

namespace {
const Accessor<StrEntry> kStrEntryValues[] = {
    {"number", [](const StrEntry &e, Ix) { return num(e.id); }},
    {"text", [](const StrEntry &e, Ix) { return text(e.text); }},
    {"entry.ignored_u32", [](const StrEntry &e, Ix) { return num(e.word); }},
};
// The entries are written one by one after the table number, each message
// holding at most 100.
const Accessor<StrTable> kStrTableValues[] = {
    {"table", [](const StrTable &t, Ix) { return num(t.id); }},
    {"entries", [](const StrTable &, Ix) { return Val(); }},
};
}  // namespace

// Each table: a begin message with the first entries, entries messages of at
// most 100 entries, an end message.
void enc_strtables(Msgs &out) {
  for (const StrTable &t : strtables()) {
    kx_msg_t *m = push(out, SRV_STRTABLE_BEGIN);
    write_record(m, kLayout_STRTABLE_BEGIN, source<kStrTableValues>(t));  // up to the entries
    size_t i = 0;
    for (const StrEntry &e : t.entries) {
      if (i && i % 100 == 0) m = push(out, SRV_STRTABLE_ENTRIES);
      write_record(m, kLayout_STRTABLE_ENTRY, source<kStrEntryValues>(e));
      i++;
    }
    push(out, SRV_STRTABLE_END);
  }
}

namespace {

// A host record; `mask` the groups an update carries.
struct HostRecord {
  const Host &h;
  uint16_t mask;
};
const Accessor<HostRecord> kHostValues[] = {
    {"hostid", [](const HostRecord &r, Ix) { return num(r.h.id); }},
    {"netobjects", [](const HostRecord &r, Ix) { return nums(r.h.netobjects); }},
    {"addr", [](const HostRecord &r, Ix) { return addr(r.h.addr); }},
    {"name", [](const HostRecord &r, Ix) { return text(r.h.name); }},
    {"mask", [](const HostRecord &r, Ix) { return num(r.mask); }},
    {"speed", [](const HostRecord &r, Ix) { return pair((uint64_t)r.h.speed[0], (uint64_t)r.h.speed[1]); }},
    {"connections", [](const HostRecord &r, Ix) { return pair(r.h.connections[0], r.h.connections[1]); }},
    {"cps", [](const HostRecord &r, Ix) { return pair(r.h.cps[0], r.h.cps[1]); }},
    // quality holds the wire order: the packets, then the issues interleaved
    {"quality_packets", [](const HostRecord &r, Ix) { return pair(r.h.quality[0], r.h.quality[1]); }},
    {"quality_internal_issues", [](const HostRecord &r, Ix) { return pair(r.h.quality[2], r.h.quality[4]); }},
    {"quality_external_issues", [](const HostRecord &r, Ix) { return pair(r.h.quality[3], r.h.quality[5]); }},
    {"kind", [](const HostRecord &r, Ix) { return text(r.h.kind); }},
    {"l4errors", [](const HostRecord &r, Ix) { return num(r.h.l4errors); }},
    {"details", [](const HostRecord &r, Ix at) { return num(r.h.details[at.i]); }},
};

const Accessor<const Host *> kFindReplyValues[] = {
    {"", [](const Host *const &h, Ix) { return end_here(!h); }},
    {"hostid", [](const Host *const &h, Ix) { return num(h->id); }},
};

}  // namespace

void enc_host_add(Batch &b, const Host &h) {
  write_record(b.rec(), kLayout_HOST_ADD_ENTRY, source<kHostValues>(HostRecord{h, HOST_ADD_GROUPS}));
  b.end();
}

void enc_host_update(Batch &b, const Host &h, uint16_t mask) {
  write_record(b.rec(), kLayout_HOST_UPDATE_ENTRY, source<kHostValues>(HostRecord{h, mask}));
  b.end();
}

void enc_host_remove(Msgs &out, uint32_t id) {
  static const Accessor<uint32_t> values[] = {{"hostid", [](const uint32_t &i, Ix) { return num(i); }}};
  push_record<values>(out, SRV_HOST_REMOVE, id);
}

void enc_host_find_reply(Msgs &out, const Host *found) { push_record<kFindReplyValues>(out, SRV_HOST_FIND_REPLY, found); }

namespace {

// What the blocks of one connection record are written from.
struct ConnRecord {
  const Conn &c;
  uint32_t flags;
  const std::vector<uint16_t> *views;
};
using CR = ConnRecord;

// The translated endpoints: the client's address and port changed.
Addr outside(const Conn &c) {
  Addr a = c.caddr;
  a.w[c.caddr.v6 ? 3 : 0] ^= 0x00ff0000u;
  return a;
}

// An option (type, value) of the options block, and a blob of the blobs block.
const std::pair<uint16_t, std::string> kOptions[] = {{1, "abc"}, {2, ""}};
const std::string kBlobs[] = {std::string("\x01\x02", 2), ""};
// The strings block: the third a string field of length 0.
const char *const kStrings[] = {"in", "", nullptr, "out"};

const Accessor<CR> kOptionValues[] = {
    {"option.ignored_u16", [](const CR &, Ix at) { return num(kOptions[at.item].first); }},
    {"option.ignored_value", [](const CR &, Ix at) { return text(kOptions[at.item].second); }},
};
const Accessor<CR> kRowValues[] = {
    {"row.ignored_u8", [](const CR &, Ix) { return num(0); }},
    {"row", [](const CR &r, Ix at) { return num(r.c.sc_rows[at.item]); }},
};

// The values the shaping bytes block carries for each direction, and the
// times, routing and marks blocks'.
const uint32_t kShapingBytes[2][3] = {{1, 2, 3}, {4, 5, 6}};
const uint32_t kTimes[] = {7, 8};

const Accessor<CR> kConnValues[] = {
    {"connid", [](const CR &r, Ix) { return num(r.c.id); }},
    {"record.ignored_u32", [](const CR &r, Ix) { return num(r.c.client); }},  // the daemon's internal reference
    {"flags", [](const CR &r, Ix) { return num(r.flags); }},
    // creation: first the fields clients read past
    {"create.ignored_u8_1", [](const CR &, Ix) { return num(1); }},
    {"create.ignored_u8_2", [](const CR &r, Ix) { return num(r.c.proto == 6 ? 4 : 0); }},
    {"create.ignored_u32_1", [](const CR &r, Ix) { return num(r.c.client); }},
    {"create.ignored_u32_2", [](const CR &r, Ix) { return num(r.c.server); }},
    {"create.ignored_u16_1", [](const CR &, Ix) { return num(1500); }},
    {"create.ignored_u16_2", [](const CR &, Ix) { return num(1500); }},
    {"create.ignored_u32_3", [](const CR &, Ix) { return num(0); }},
    {"create.ignored_u32_4", [](const CR &r, Ix) { return num(r.c.fwrule); }},
    // the marker: one more byte follows on odd ids
    {"create.optional_u8", [](const CR &r, Ix) { return pair(r.c.id % 2, 0x5a); }},
    {"_starttime", [](const CR &r, Ix) { return num(r.c.start); }},
    {"create.family", [](const CR &r, Ix) { return num(r.c.caddr.v6 ? 1 : 0); }},
    {"client", [](const CR &r, Ix) { return addr(r.c.caddr); }},
    {"client_port", [](const CR &r, Ix) { return num(r.c.cport); }},
    {"server", [](const CR &r, Ix) { return addr(r.c.saddr); }},
    {"server_port", [](const CR &r, Ix) { return num(r.c.sport); }},
    {"protocol", [](const CR &r, Ix) { return num(r.c.proto); }},
    {"second.family", [](const CR &r, Ix) { return num(r.c.caddr.v6 ? 1 : 0); }},
    {"second.client", [](const CR &r, Ix) { return addr(outside(r.c)); }},
    {"second.client_port", [](const CR &r, Ix) { return num((uint16_t)(r.c.cport ^ 0x4000)); }},
    {"second.server", [](const CR &r, Ix) { return addr(r.c.saddr); }},
    {"second.server_port", [](const CR &r, Ix) { return num(r.c.sport); }},
    {"second.ignored_u8", [](const CR &, Ix) { return num(1); }},
    {"_service_id", [](const CR &r, Ix) { return num(r.c.service); }},
    {"_base_service_id", [](const CR &r, Ix) { return num(r.c.base_service); }},
    {"options", [](const CR &r, Ix) { return items<kOptionValues>(r, 2); }},
    {"_engineflags", [](const CR &r, Ix) { return num(r.c.engineflags); }},
    {"_xfbflags", [](const CR &r, Ix) { return num(r.c.xfbflags); }},
    {"_deepscan", [](const CR &r, Ix) { return nums(r.c.deepscan); }},
    {"_shaping_prio", [](const CR &r, Ix) { return num(r.c.shaping_prio); }},
    {"_shaping_rule_ids", [](const CR &r, Ix) { return nums(r.c.shaping_rules); }},
    {"_stat_rule_ids", [](const CR &r, Ix) { return nums(r.c.stat_rules); }},
    {"_server_hostname", [](const CR &r, Ix) { return text(r.c.server_hostname); }},
    {"strings.ignored", [](const CR &, Ix at) { return kStrings[at.i] ? text(kStrings[at.i]) : no_text(); }},
    {"_speed", [](const CR &r, Ix) { return pair(r.c.speed[0], r.c.speed[1]); }},
    {"_xfer", [](const CR &r, Ix) { return pair(r.c.xfer[0], r.c.xfer[1]); }},
    {"speed.ignored_u32_1", [](const CR &r, Ix) { return num(r.c.speed[0] / 1400); }},
    {"speed.ignored_u32_2", [](const CR &r, Ix) { return num(r.c.speed[1] / 1400); }},
    {"counters.ignored", [](const CR &, Ix at) { return num(at.i); }},
    {"shaping_bytes.ignored_u16_1", [](const CR &, Ix) { return num(kShapingBytes[0][0]); }},
    {"shaping_bytes.ignored_u32_1", [](const CR &, Ix) { return num(kShapingBytes[0][1]); }},
    {"shaping_bytes.bytes_1", [](const CR &, Ix) { return num(kShapingBytes[0][2]); }},
    {"shaping_bytes.ignored_u16_2", [](const CR &, Ix) { return num(kShapingBytes[1][0]); }},
    {"shaping_bytes.ignored_u32_2", [](const CR &, Ix) { return num(kShapingBytes[1][1]); }},
    {"shaping_bytes.bytes_2", [](const CR &, Ix) { return num(kShapingBytes[1][2]); }},
    {"times.ignored", [](const CR &, Ix at) { return num(kTimes[at.i]); }},
    {"routing.ignored", [](const CR &, Ix) { return num(9); }},
    {"marks.ignored", [](const CR &, Ix at) { return num(at.i + 1); }},
    {"views", [](const CR &r, Ix) { return nums(*r.views); }},
    {"totals.ignored_u32", [](const CR &, Ix) { return num(1); }},
    {"totals.ignored_u64", [](const CR &r, Ix at) { return num(r.c.xfer[at.i % 2]); }},
    {"blobs.ignored", [](const CR &, Ix at) { return text(kBlobs[at.i]); }},
    {"rows", [](const CR &r, Ix) { return items<kRowValues>(r, r.c.sc_rows.size()); }},
};

}  // namespace

void enc_conn(Batch &b, const Conn &c, uint32_t flags, const std::vector<uint16_t> *views) {
  if (c.nat && (flags & CONN_ANY_CREATE)) flags |= CONN_SECOND_ENDPOINT;
  if (views) flags |= CONN_VIEWS;
  write_record(b.rec(), kLayout_CONN_UPDATE_ENTRY, source<kConnValues>(ConnRecord{c, flags, views}));
  b.end();
}

namespace {

const Accessor<Schema> kColumnValues[] = {
    {"kind", [](const Schema &s, Ix at) { return num(s.columns[at.item].kind); }},
    {"name", [](const Schema &s, Ix at) { return text(s.columns[at.item].name); }},
    {"content-type", [](const Schema &s, Ix at) { return text(s.columns[at.item].content_type); }},
};
const Accessor<Schema> kSchemaValues[] = {
    {"form", [](const Schema &s, Ix) { return num(s.name ? SC_SCHEMA_FULL : SC_SCHEMA_ID); }},
    {"id", [](const Schema &s, Ix) { return num(s.id); }},
    {"name", [](const Schema &s, Ix) { return text(s.name); }},
    {"columns", [](const Schema &s, Ix) { return items<kColumnValues>(s, s.columns.size()); }},
};
const Accessor<None> kSchemataValues[] = {
    {"schemata", [](const None &, Ix) {
       Val v;
       for (const Schema &s : schemata()) v.items.push_back(source<kSchemaValues>(s));
       return v;
     }},
};

}  // namespace

void enc_schemata(Msgs &out) { push_record<kSchemataValues>(out, SRV_SESSION_CONTEXT_SCHEMATA, kNone); }

namespace {
struct ScAdd {
  uint64_t rowid;
  const ScRow &row;
};
const Accessor<ScAdd> kScAddValues[] = {
    {"schema", [](const ScAdd &a, Ix) { return num(a.row.schema); }},
    {"row", [](const ScAdd &a, Ix) { return num(a.rowid); }},
    {"data", [](const ScAdd &a, Ix) { return text(a.row.data); }},
};
const Accessor<uint64_t> kScRowValues[] = {{"row", [](const uint64_t &r, Ix) { return num(r); }}};
}  // namespace

void enc_sc_add(Msgs &out, uint64_t rowid, const ScRow &row) {
  push_record<kScAddValues>(out, SRV_SESSION_CONTEXT_ADD, ScAdd{rowid, row});
}

void enc_sc_remove(Msgs &out, const std::vector<uint64_t> &rows) {
  Batch b(SRV_SESSION_CONTEXT_REMOVE, &out);
  for (uint64_t r : rows) {
    write_record(b.rec(), kLayout_SC_ROW_ID, source<kScRowValues>(r));
    b.end();
  }
}

namespace {

const char *const kChannelStats[3] = {"bytes", "packets", "drops"};

const Accessor<World> kStatisticValues[] = {
    {"id", [](const World &, Ix at) { return num(at.item + 1); }},
    {"name", [](const World &, Ix at) { return text(kChannelStats[at.item]); }},
};
const Accessor<World> kChannelInfoValues[] = {
    {"id", [](const World &w, Ix at) { return num(w.channels[at.item].id); }},
    {"type", [](const World &w, Ix at) { return num(w.channels[at.item].type); }},
    {"active", [](const World &w, Ix at) { return num(w.channels[at.item].active ? 1 : 0); }},
    {"name", [](const World &w, Ix at) { return text(w.channels[at.item].name); }},
};
const Accessor<World> kChannelsInfoValues[] = {
    {"statistics", [](const World &w, Ix) { return items<kStatisticValues>(w, 3); }},
    {"channels", [](const World &w, Ix) { return items<kChannelInfoValues>(w, w.channels.size()); }},
};

// A statistic's values: item s of a channel's sample.
const Accessor<Channel> kStatisticValuesValues[] = {
    {"value", [](const Channel &c, Ix at) { return pair(c.stat[at.item][CHAN_TOTAL][0], c.stat[at.item][CHAN_TOTAL][1]); }},
    {"rate", [](const Channel &c, Ix at) { return pair(c.stat[at.item][CHAN_RATE][0], c.stat[at.item][CHAN_RATE][1]); }},
    {"rate_min",
     [](const Channel &c, Ix at) { return pair(c.stat[at.item][CHAN_RATE_MIN][0], c.stat[at.item][CHAN_RATE_MIN][1]); }},
    {"rate_max",
     [](const Channel &c, Ix at) { return pair(c.stat[at.item][CHAN_RATE_MAX][0], c.stat[at.item][CHAN_RATE_MAX][1]); }},
    {"rate_min_last",
     [](const Channel &c, Ix at) { return pair(c.last[at.item][CHAN_LAST_MIN][0], c.last[at.item][CHAN_LAST_MIN][1]); }},
    {"rate_max_last",
     [](const Channel &c, Ix at) { return pair(c.last[at.item][CHAN_LAST_MAX][0], c.last[at.item][CHAN_LAST_MAX][1]); }},
};
const Accessor<Channel> kSampleValues[] = {
    {"id", [](const Channel &c, Ix) { return num(c.id); }},
    {"internal_media", [](const Channel &c, Ix) { return num(c.media[0]); }},
    {"external_media", [](const Channel &c, Ix) { return num(c.media[1]); }},
    {"internal_negotiated_media", [](const Channel &c, Ix) { return num(c.media[2]); }},
    {"external_negotiated_media", [](const Channel &c, Ix) { return num(c.media[3]); }},
    {"internal_negotiated_media_time", [](const Channel &c, Ix) { return num(c.media_time[0]); }},
    {"external_negotiated_media_time", [](const Channel &c, Ix) { return num(c.media_time[1]); }},
    {"statistics", [](const Channel &c, Ix) { return items<kStatisticValuesValues>(c, 3); }},
};
const Accessor<World> kChannelsDataValues[] = {
    {"channels", [](const World &w, Ix) {
       Val v;
       for (const Channel &c : w.channels) v.items.push_back(source<kSampleValues>(c));
       return v;
     }},
};

}  // namespace

void enc_channels_info(Msgs &out, const World &w) { push_record<kChannelsInfoValues>(out, SRV_CHANNEL_STATS_INFO, w); }

void enc_channels_data(Msgs &out, const World &w) { push_record<kChannelsDataValues>(out, SRV_CHANNEL_STATS_DATA, w); }

const std::vector<ShapingCounterField> &shaping_counter_fields() {
  using S = ShapingCounters;
  static const std::vector<ShapingCounterField> t = {
#define KX_SHAPING_DIR_COUNTER(id, key, kind) {key, &S::id, kKindWidth[kind_##kind], kind_##kind == kind_bps},
#define KX_SHAPING_DIR_ABSENT(id, key) {key, nullptr, 0, false},
#include "../protocol/kx_protocol.def"
  };
  return t;
}

namespace {

// A shaping object's update: its name or its counter set.
struct ShapingUpdate {
  const ShapingObject &o;
  uint32_t kind;
};
const Accessor<ShapingUpdate> kShapingValues[] = {
    {"id", [](const ShapingUpdate &u, Ix) { return num(u.o.id); }},
    {"update.ignored_u32", [](const ShapingUpdate &, Ix) { return num(0); }},
    {"kind", [](const ShapingUpdate &u, Ix) { return num(u.kind); }},
    {"name", [](const ShapingUpdate &u, Ix) { return text(u.o.name); }},
    // the leading counters, then each direction's that are on the wire
    {"counters", [](const ShapingUpdate &u, Ix) {
       Val v;
       v.nums = {u.o.copies, u.o.connections};
       for (const ShapingCounters &d : u.o.dir)
         for (const ShapingCounterField &f : shaping_counter_fields())
           if (f.value) v.nums.push_back(d.*f.value);
       return v;
     }},
};

}  // namespace

void enc_shaping_objects(Msgs &out, const World &w) {
  push(out, SRV_SHAPING_OBJECTS_INIT);
  for (const ShapingObject &o : w.shaping)
    push_record<kShapingValues>(out, SRV_SHAPING_OBJECT, ShapingUpdate{o, SHAPING_UPDATE_NAME});
  for (const ShapingObject &o : w.shaping) enc_shaping_counters(out, o);
}

void enc_shaping_counters(Msgs &out, const ShapingObject &o) {
  push_record<kShapingValues>(out, SRV_SHAPING_OBJECT, ShapingUpdate{o, SHAPING_UPDATE_COUNTERS});
}

namespace {

const Accessor<World> kRuleHitsValues[] = {
    {"id", [](const World &w, Ix at) { return num(w.fwrules[at.item].id); }},
    {"hits", [](const World &w, Ix at) { return num(w.fwrules[at.item].hits); }},
    {"hits_rate", [](const World &w, Ix at) { return num(w.fwrules[at.item].hits_rate); }},
};
const Accessor<World> kFwRulesValues[] = {
    {"rules", [](const World &w, Ix) { return items<kRuleHitsValues>(w, w.fwrules.size()); }},
};

const Accessor<FwLogEntry> kFwLogValues[] = {
    {"time", [](const FwLogEntry &e, Ix) { return num(e.time); }},
    {"type", [](const FwLogEntry &e, Ix) { return num(e.client.v6 ? 1 : 0); }},
    {"client", [](const FwLogEntry &e, Ix) { return addr(e.client); }},
    {"server", [](const FwLogEntry &e, Ix) { return addr(e.server); }},
    {"clientport", [](const FwLogEntry &e, Ix) { return num(e.cport); }},
    {"serverport", [](const FwLogEntry &e, Ix) { return num(e.sport); }},
    {"protocol", [](const FwLogEntry &e, Ix) { return num(e.proto); }},
    {"clienthostname", [](const FwLogEntry &e, Ix) { return text(e.clienthost); }},
    {"serverhostname", [](const FwLogEntry &e, Ix) { return text(e.serverhost); }},
    {"service", [](const FwLogEntry &e, Ix) { return text(e.service); }},
    {"rule", [](const FwLogEntry &e, Ix) { return text(e.rule); }},
    {"", [](const FwLogEntry &e, Ix) { return end_here(!e.has_properties); }},
    {"properties", [](const FwLogEntry &e, Ix) { return text(e.properties); }},
};
const Accessor<uint64_t> kFwLogStartValues[] = {{"logentries", [](const uint64_t &n, Ix) { return num(n); }}};

}  // namespace

// The rule count rides in the flag word.
void enc_fw_init(Msgs &out, const World &w) {
  RuleList l{kListComplete | (uint32_t)w.fwrules.size(), {}};
  for (const FwRule &r : w.fwrules) l.rules.emplace_back(r.id, r.name);
  push_record<kRuleListValues>(out, SRV_FW_RULES_INIT, l);
}

void enc_fw_data(Msgs &out, const World &w) { push_record<kFwRulesValues>(out, SRV_FW_RULES, w); }

void enc_fwlog(Msgs &out, const std::vector<const FwLogEntry *> &entries) {
  push_record<kFwLogStartValues>(out, SRV_FWLOG_ENTRY_START, (uint64_t)entries.size());
  for (const FwLogEntry *e : entries) push_record<kFwLogValues>(out, SRV_FWLOG_ENTRY, *e);
  push(out, SRV_FWLOG_ENTRY_END);
}

namespace {

const Accessor<RuleTestResult> kFwRulePairValues[] = {
    {"first", [](const RuleTestResult &r, Ix at) { return num(r.fwrules[at.item].first); }},
    {"second", [](const RuleTestResult &r, Ix at) { return num(r.fwrules[at.item].second); }},
};
const Accessor<RuleTestResult> kShapingPairValues[] = {
    {"first", [](const RuleTestResult &r, Ix at) { return num(r.shaping[at.item].first); }},
    {"second", [](const RuleTestResult &r, Ix at) { return num(r.shaping[at.item].second); }},
};
const Accessor<RuleTestResult> kTestResultValues[] = {
    {"test_id", [](const RuleTestResult &r, Ix) { return num(r.test_id); }},
    {"ruleset_state", [](const RuleTestResult &, Ix) { return num(1); }},  // rule set loaded
    {"rewrite_obj", [](const RuleTestResult &r, Ix) { return num(r.rewrite_obj); }},
    {"monitor_iface", [](const RuleTestResult &r, Ix) { return num(r.monitor_iface); }},
    {"fwrule", [](const RuleTestResult &r, Ix) { return num((uint32_t)r.fwrule); }},
    {"fwrules", [](const RuleTestResult &r, Ix) { return items<kFwRulePairValues>(r, r.fwrules.size()); }},
    {"shapingrules", [](const RuleTestResult &r, Ix) { return items<kShapingPairValues>(r, r.shaping.size()); }},
};

const Accessor<BgpPath> kBgpPathValues[] = {
    {"id", [](const BgpPath &p, Ix) { return num(p.id); }},
    {"elements", [](const BgpPath &p, Ix) { return nums(p.as_path); }},
};
const Accessor<BgpEntry> kBgpEntryValues[] = {
    {"first", [](const BgpEntry &e, Ix) { return num(e.path); }},
    {"prefix", [](const BgpEntry &e, Ix) { Val v; v.prefix = &e.prefix; return v; }},
    {"second", [](const BgpEntry &e, Ix) { return num(e.nexthop); }},
    {"third", [](const BgpEntry &e, Ix) { return num(e.localpref); }},
    {"fourth", [](const BgpEntry &e, Ix) { return num(e.med); }},
};
const Accessor<uint64_t> kCounterValues[] = {{"counter", [](const uint64_t &n, Ix) { return num(n); }}};

}  // namespace

void enc_rule_test_result(Msgs &out, const RuleTestResult &r) {
  push_record<kTestResultValues>(out, SRV_VCRC_TEST_RESULT, r);
}

void enc_bgp(Msgs &out) {
  for (const BgpPath &p : bgp_paths()) push_record<kBgpPathValues>(out, SRV_BGP_DUMP_PATH, p);
  for (const BgpEntry &e : bgp_entries()) push_record<kBgpEntryValues>(out, SRV_BGP_DUMP_ENTRY, e);
  push(out, SRV_BGP_DUMP_DONE);
}

// The counters in two entries messages, so that a client collects across them.
void enc_sysdiag(Msgs &out, const World &w) {
  push(out, SRV_DRDL_SYSDIAG_BEGIN);
  size_t half = w.sysdiag.size() / 2;
  kx_msg_t *m = push(out, SRV_DRDL_SYSDIAG_ENTRIES);
  for (size_t i = 0; i < w.sysdiag.size(); i++) {
    if (i == half) m = push(out, SRV_DRDL_SYSDIAG_ENTRIES);
    write_record(m, kLayout_SYSDIAG_COUNTER, source<kCounterValues>(w.sysdiag[i]));
  }
  push(out, SRV_DRDL_SYSDIAG_END);
}

std::string enc_view_key(uint8_t field, const ViewKeyValue &value) {
  kx_msg_t *k = new_msg(0);
  switch (field) {
    case VFIELD_LOCAL_HOST: put_ipaddr(k, value.addr); break;
    case VFIELD_SERVICE:
    case VFIELD_PROTOCOL: kx_msg_put_uint16(k, (uint16_t)value.num); break;
    case VFIELD_NETOBJECT:
    case VFIELD_PORT: kx_msg_put_uint32(k, value.num); break;
    default: kx_msg_put_uint8(k, (uint8_t)value.num);
  }
  std::string key((const char *)k->data, k->len);
  kx_msg_free(k);
  return key;
}

namespace {

// One operation on a view row; the dropped counters all repeat conns.
struct ViewOp {
  uint8_t op;
  uint8_t field;
  const ViewRow &row;
  uint8_t mask;
};
const Accessor<ViewOp> kViewOpValues[] = {
    {"op", [](const ViewOp &o, Ix) { return num(o.op); }},
    {"row", [](const ViewOp &o, Ix) { return num(o.row.id); }},
    {"second", [](const ViewOp &o, Ix) { return num(o.row.second); }},
    {"field.ignored_u8", [](const ViewOp &, Ix) { return num(0); }},
    {"id", [](const ViewOp &o, Ix) { return num(o.field); }},
    {"value", [](const ViewOp &o, Ix) { return text(o.row.key); }},
    {"mask", [](const ViewOp &o, Ix) { return num(o.mask); }},
    {"conns", [](const ViewOp &o, Ix) { return num(o.row.conns); }},
    {"speed", [](const ViewOp &o, Ix) { return pair(o.row.speed[0], o.row.speed[1]); }},
    {"dropped.ignored", [](const ViewOp &o, Ix) { return num(o.row.conns); }},
    {"rtt", [](const ViewOp &o, Ix) { return pair(o.row.rtt[0], o.row.rtt[1]); }},
    {"cps", [](const ViewOp &o, Ix) { return pair(o.row.cps[0], o.row.cps[1]); }},
    {"text", [](const ViewOp &o, Ix) { return text(o.row.label); }},
};

// An addition is followed by the operation that sets its label.
void put_view_change(Batch &b, uint8_t field, const ViewChange &ch) {
  write_record(b.rec(), kLayout_VIEW_OPERATION, source<kViewOpValues>(ViewOp{ch.op, field, ch.row, ch.mask}));
  b.end();
  if (ch.op == VIEW_OP_ADD) {
    write_record(b.rec(), kLayout_VIEW_OPERATION, source<kViewOpValues>(ViewOp{VIEW_OP_STRING_SET, field, ch.row, 0}));
    b.end();
  }
}

// The header every message of an update starts with; the operations follow.
const Accessor<uint16_t> kViewIdValues[] = {
    {"viewid", [](const uint16_t &v, Ix) { return num(v); }},
    {"ops", [](const uint16_t &, Ix) { return Val(); }},
};

struct AddError {
  uint16_t view;
  const char *error;
};
const Accessor<AddError> kAddErrorValues[] = {
    {"viewid", [](const AddError &e, Ix) { return num(e.view); }},
    {"text", [](const AddError &e, Ix) { return text(e.error); }},
};

}  // namespace

void enc_view_update(Msgs &out, uint16_t view, uint8_t field, const std::vector<ViewChange> &changes,
                     bool announce) {
  Batch b(SRV_VIEW_UPDATE, &out);
  write_record(b.header(), kLayout_VIEW_UPDATE, source<kViewIdValues>(view));
  for (const ViewChange &ch : changes) put_view_change(b, field, ch);
  if (announce && b.empty()) b.end();  // an empty view still tells the client it exists
}

void enc_view_add_error(Msgs &out, uint16_t view, const char *error) {
  push_record<kAddErrorValues>(out, SRV_VIEW_ADD_ERROR, AddError{view, error});
}

}  // namespace sim
