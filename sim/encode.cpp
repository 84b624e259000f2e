// kxd-sim: encoders of the server messages.
#include "encode.h"

namespace sim {

namespace {

// The high bit of a rule list's count word: the list is complete.
constexpr uint32_t kListComplete = 0x80000000u;

kx_msg_t *push(Msgs &out, uint32_t type) {
  out.push_back(new_msg(type));
  return out.back();
}

}  // namespace

void enc_version(Msgs &out) {
  kx_msg_t *m = push(out, SRV_VERSION);
  kx_msg_put_uint16(m, kProtocolVersion);
  kx_msg_put_uint64(m, server_value());
  kx_msg_put_string(m, server_name());
  kx_msg_put_string(m, server_build());
}

void enc_login(Msgs &out) {
  kx_msg_put_uint8(push(out, SRV_AUTHENTICATION_OK), kAuthLevel);
  kx_msg_put_uint64(push(out, SRV_FEATURES), feature_mask());

  kx_msg_t *m = push(out, SRV_XFB_NAMES);
  kx_msg_put_uint8(m, (uint8_t)xfb_names().size());
  for (const std::string &n : xfb_names()) kx_msg_put_string(m, n.c_str());

  m = push(out, SRV_VIEW_CAPS);
  kx_msg_put_uint8(m, (uint8_t)view_filters().size());
  for (const ViewFilterCap &f : view_filters()) {
    kx_msg_put_uint8(m, f.id);
    kx_msg_put_string(m, f.name);
    kx_msg_put_uint8(m, f.type);
    kx_msg_put_uint16(m, f.max);
  }
  kx_msg_put_uint8(m, (uint8_t)view_fields().size());
  for (const ViewFieldCap &f : view_fields()) {
    kx_msg_put_uint8(m, f.id);
    kx_msg_put_string(m, f.name);
    kx_msg_put_string(m, f.prefix);
    kx_msg_put_uint8(m, f.type);
    kx_msg_put_uint8(m, f.filter);
    kx_msg_put_uint8(m, f.want_arg);
  }

  m = push(out, SRV_SHAPING_RULES_INIT);
  kx_msg_put_uint32(m, kListComplete);
  for (const auto &r : shaping_rules()) {
    kx_msg_put_uint32(m, r.first);
    kx_msg_put_string(m, r.second.c_str());
  }
}

void enc_eperm(Msgs &out, uint32_t what) { kx_msg_put_uint32(push(out, SRV_EPERM), what); }

void enc_not_avail(Msgs &out, const std::string &text) { kx_msg_put_string(push(out, SRV_NOT_AVAILABLE), text.c_str()); }

// Each table: a begin message with the first entries, entries messages of at
// most 100 entries, an end message.
void enc_strtables(Msgs &out) {
  for (const StrTable &t : strtables()) {
    kx_msg_t *m = push(out, SRV_STRTABLE_BEGIN);
    kx_msg_put_uint32(m, t.id);
    size_t i = 0;
    for (const StrEntry &e : t.entries) {
      if (i && i % 100 == 0) m = push(out, SRV_STRTABLE_ENTRIES);
      kx_msg_put_uint32(m, e.id);
      kx_msg_put_string(m, e.text.c_str());
      kx_msg_put_uint32(m, e.word);
      i++;
    }
    push(out, SRV_STRTABLE_END);
  }
}

namespace {

// The groups of a host record selected by `mask`, in their wire order.
void put_host_groups(kx_msg_t *m, const Host &h, uint16_t mask) {
  if (mask & HOST_SPEED) {
    kx_msg_put_uint64(m, (uint64_t)h.speed[0]);
    kx_msg_put_uint64(m, (uint64_t)h.speed[1]);
  }
  if (mask & HOST_CONNECTIONS) {
    kx_msg_put_uint32(m, h.connections[0]);
    kx_msg_put_uint32(m, h.connections[1]);
  }
  if (mask & HOST_CPS) {
    kx_msg_put_uint32(m, h.cps[0]);
    kx_msg_put_uint32(m, h.cps[1]);
  }
  if (mask & HOST_QUALITY)
    for (uint32_t q : h.quality) kx_msg_put_uint32(m, q);
  if (mask & HOST_DETAILS) {
    kx_msg_put_string(m, h.kind.c_str());
    kx_msg_put_uint32(m, h.l4errors);  // present from protocol 0x4084 on
    for (uint32_t d : h.details) kx_msg_put_uint32(m, d);
  }
  if (mask & HOST_NETOBJECTS) {
    kx_msg_put_uint32(m, (uint32_t)h.netobjects.size());
    for (uint32_t o : h.netobjects) kx_msg_put_uint32(m, o);
  }
}

}  // namespace

void enc_host_add(Batch &b, const Host &h) {
  kx_msg_t *m = b.rec();
  kx_msg_put_uint32(m, h.id);
  kx_msg_put_uint32(m, (uint32_t)h.netobjects.size());
  for (uint32_t o : h.netobjects) kx_msg_put_uint32(m, o);
  put_ipaddr(m, h.addr);
  kx_msg_put_string(m, h.name.c_str());
  put_host_groups(m, h, HOST_ADD_GROUPS);
  b.end();
}

void enc_host_update(Batch &b, const Host &h, uint16_t mask) {
  kx_msg_t *m = b.rec();
  kx_msg_put_uint32(m, h.id);
  kx_msg_put_uint16(m, mask);
  put_host_groups(m, h, mask);
  b.end();
}

void enc_host_remove(Msgs &out, uint32_t id) { kx_msg_put_uint32(push(out, SRV_HOST_REMOVE), id); }

void enc_host_find_reply(Msgs &out, const Host *found) {
  kx_msg_t *m = push(out, SRV_HOST_FIND_REPLY);
  if (found) kx_msg_put_uint32(m, found->id);
}

namespace {

// What the blocks of one connection record are written from.
struct ConnRecord {
  const Conn &c;
  uint32_t flags;
  const std::vector<uint16_t> *views;
};

void put_translated(kx_msg_t *m, const Conn &c) {
  kx_msg_put_uint8(m, c.caddr.v6 ? 1 : 0);
  Addr outside = c.caddr;
  outside.w[c.caddr.v6 ? 3 : 0] ^= 0x00ff0000u;
  put_addr(m, outside);
  kx_msg_put_uint16(m, (uint16_t)(c.cport ^ 0x4000));
  put_addr(m, c.saddr);
  kx_msg_put_uint16(m, c.sport);
  kx_msg_put_uint8(m, 1);
}

void put_create(kx_msg_t *m, const ConnRecord &r) {
  const Conn &c = r.c;
  kx_msg_put_uint8(m, 1);
  kx_msg_put_uint8(m, c.proto == 6 ? 4 : 0);
  kx_msg_put_uint32(m, c.client);
  kx_msg_put_uint32(m, c.server);
  kx_msg_put_uint16(m, 1500);
  kx_msg_put_uint16(m, 1500);
  kx_msg_put_uint32(m, 0);
  kx_msg_put_uint32(m, c.fwrule);
  kx_msg_put_uint8(m, c.id % 2);  // marker: one more byte follows on odd ids
  if (c.id % 2) kx_msg_put_uint8(m, 0x5a);
  kx_msg_put_uint32(m, c.start);
  kx_msg_put_uint8(m, c.caddr.v6 ? 1 : 0);
  put_addr(m, c.caddr);
  kx_msg_put_uint16(m, c.cport);
  put_addr(m, c.saddr);
  kx_msg_put_uint16(m, c.sport);
  kx_msg_put_uint8(m, c.proto);
  if (r.flags & CONN_SECOND_ENDPOINT) put_translated(m, c);
}

void put_service(kx_msg_t *m, const ConnRecord &r) {
  kx_msg_put_uint16(m, r.c.service);
  kx_msg_put_uint16(m, r.c.base_service);
}

void put_options(kx_msg_t *m, const ConnRecord &) {
  kx_msg_put_uint16(m, 2);
  kx_msg_put_uint16(m, 1);
  kx_msg_put_uint16(m, 3);
  kx_msg_put_data(m, "abc", 3);
  kx_msg_put_uint16(m, 2);
  kx_msg_put_uint16(m, 0);
}

void put_engine_flags(kx_msg_t *m, const ConnRecord &r) { kx_msg_put_uint32(m, r.c.engineflags); }
void put_xfb_flags(kx_msg_t *m, const ConnRecord &r) { kx_msg_put_uint32(m, r.c.xfbflags); }

void put_deepscan(kx_msg_t *m, const ConnRecord &r) {
  kx_msg_put_uint32(m, (uint32_t)r.c.deepscan.size());
  for (uint16_t d : r.c.deepscan) kx_msg_put_uint16(m, d);
}

void put_shaping(kx_msg_t *m, const ConnRecord &r) {
  kx_msg_put_uint8(m, r.c.shaping_prio);
  kx_msg_put_uint16(m, (uint16_t)r.c.shaping_rules.size());
  for (uint32_t id : r.c.shaping_rules) kx_msg_put_uint32(m, id);
}

void put_stat_rules(kx_msg_t *m, const ConnRecord &r) {
  kx_msg_put_uint16(m, (uint16_t)r.c.stat_rules.size());
  for (uint32_t id : r.c.stat_rules) kx_msg_put_uint32(m, id);
}

void put_hostname(kx_msg_t *m, const ConnRecord &r) { kx_msg_put_string(m, r.c.server_hostname.c_str()); }

void put_strings(kx_msg_t *m, const ConnRecord &) {
  kx_msg_put_string(m, "in");
  kx_msg_put_string(m, "");
  kx_msg_put_uint32(m, 0);  // a string field of length 0
  kx_msg_put_string(m, "out");
}

void put_speed(kx_msg_t *m, const ConnRecord &r) {
  const Conn &c = r.c;
  kx_msg_put_uint32(m, c.speed[0]);
  kx_msg_put_uint32(m, c.speed[1]);
  kx_msg_put_uint64(m, c.xfer[0]);
  kx_msg_put_uint64(m, c.xfer[1]);
  kx_msg_put_uint32(m, c.speed[0] / 1400);
  kx_msg_put_uint32(m, c.speed[1] / 1400);
}

void put_counters(kx_msg_t *m, const ConnRecord &) {
  for (int i = 0; i < 6; i++) kx_msg_put_uint32(m, (uint32_t)i);
}

// The protocol is at least 0x5002: both u64 are present.
void put_shaping_bytes(kx_msg_t *m, const ConnRecord &) {
  kx_msg_put_uint16(m, 1);
  kx_msg_put_uint32(m, 2);
  kx_msg_put_uint64(m, 3);
  kx_msg_put_uint16(m, 4);
  kx_msg_put_uint32(m, 5);
  kx_msg_put_uint64(m, 6);
}

void put_times(kx_msg_t *m, const ConnRecord &) {
  kx_msg_put_uint32(m, 7);
  kx_msg_put_uint32(m, 8);
}

void put_routing(kx_msg_t *m, const ConnRecord &) {
  for (int i = 0; i < 4; i++) kx_msg_put_uint32(m, 9);
}

void put_marks(kx_msg_t *m, const ConnRecord &) {
  kx_msg_put_uint8(m, 1);
  kx_msg_put_uint8(m, 2);
}

void put_views(kx_msg_t *m, const ConnRecord &r) {
  kx_msg_put_uint16(m, (uint16_t)r.views->size());
  for (uint16_t v : *r.views) kx_msg_put_uint16(m, v);
}

void put_totals(kx_msg_t *m, const ConnRecord &r) {
  kx_msg_put_uint32(m, 1);
  for (int i = 0; i < 4; i++) kx_msg_put_uint64(m, r.c.xfer[i % 2]);
}

void put_blobs(kx_msg_t *m, const ConnRecord &) {
  kx_msg_put_uint16(m, 2);
  kx_msg_put_data(m, "\x01\x02", 2);
  kx_msg_put_uint16(m, 0);
}

void put_rows(kx_msg_t *m, const ConnRecord &r) {
  kx_msg_put_uint8(m, (uint8_t)r.c.sc_rows.size());
  for (uint64_t row : r.c.sc_rows) {
    kx_msg_put_uint8(m, 0);
    kx_msg_put_uint64(m, row);
  }
}

// A removal carries nothing after the flags.
void put_remove(kx_msg_t *, const ConnRecord &) {}

// The blocks of a connection record in the definition's order, each with the flags that announce it.
const struct {
  uint32_t flags;
  void (*put)(kx_msg_t *, const ConnRecord &);
} kConnBlocks[] = {
#define KX_CONN_BLOCK(name, FLAG, ALSO, RECORD) {CONN_##FLAG | CONN_##ALSO, put_##name},
#include "../protocol/kx_protocol.def"
};

}  // namespace

void enc_conn(Batch &b, const Conn &c, uint32_t flags, const std::vector<uint16_t> *views) {
  if (c.nat && (flags & CONN_ANY_CREATE)) flags |= CONN_SECOND_ENDPOINT;
  if (views) flags |= CONN_VIEWS;
  kx_msg_t *m = b.rec();
  kx_msg_put_uint32(m, c.id);
  kx_msg_put_uint32(m, c.client);  // the daemon's internal reference; clients skip it
  kx_msg_put_uint32(m, flags);
  const ConnRecord r = {c, flags, views};
  for (const auto &block : kConnBlocks)
    if (flags & block.flags) block.put(m, r);
  b.end();
}

void enc_schemata(Msgs &out) {
  kx_msg_t *m = push(out, SRV_SESSION_CONTEXT_SCHEMATA);
  kx_msg_put_uint8(m, (uint8_t)schemata().size());
  for (const Schema &s : schemata()) {
    kx_msg_put_uint8(m, s.name ? 1 : 2);
    kx_msg_put_uint8(m, s.id);
    if (!s.name) continue;
    kx_msg_put_string(m, s.name);
    kx_msg_put_uint8(m, (uint8_t)s.columns.size());
    for (const SchemaColumn &c : s.columns) {
      kx_msg_put_uint8(m, c.kind);
      kx_msg_put_string(m, c.name);
      kx_msg_put_string(m, c.content_type);
    }
  }
}

void enc_sc_add(Msgs &out, uint64_t rowid, const ScRow &row) {
  kx_msg_t *m = push(out, SRV_SESSION_CONTEXT_ADD);
  kx_msg_put_uint8(m, row.schema);
  kx_msg_put_uint64(m, rowid);
  kx_msg_put_uint16(m, (uint16_t)row.data.size());
  kx_msg_put_data(m, row.data.data(), (uint32_t)row.data.size());
}

void enc_sc_remove(Msgs &out, const std::vector<uint64_t> &rows) {
  Batch b(SRV_SESSION_CONTEXT_REMOVE, &out);
  for (uint64_t r : rows) {
    kx_msg_put_uint64(b.rec(), r);
    b.end();
  }
}

static const char *const kChannelStats[3] = {"bytes", "packets", "drops"};

void enc_channels_info(Msgs &out, const World &w) {
  kx_msg_t *m = push(out, SRV_CHANNEL_STATS_INFO);
  kx_msg_put_uint32(m, 3);
  for (uint32_t i = 0; i < 3; i++) {
    kx_msg_put_uint32(m, i + 1);
    kx_msg_put_string(m, kChannelStats[i]);
  }
  kx_msg_put_uint32(m, (uint32_t)w.channels.size());
  for (const Channel &c : w.channels) {
    kx_msg_put_uint32(m, c.id);
    kx_msg_put_uint8(m, c.type);
    kx_msg_put_uint8(m, c.active ? 1 : 0);
    kx_msg_put_string(m, c.name.c_str());
  }
}

void enc_channels_data(Msgs &out, const World &w) {
  kx_msg_t *m = push(out, SRV_CHANNEL_STATS_DATA);
  kx_msg_put_uint32(m, (uint32_t)w.channels.size());
  for (const Channel &c : w.channels) {
    kx_msg_put_uint32(m, c.id);
    for (uint8_t b : c.media) kx_msg_put_uint8(m, b);
    kx_msg_put_uint32(m, c.media_time[0]);
    kx_msg_put_uint32(m, c.media_time[1]);
    for (uint32_t s = 0; s < 3; s++) {
      for (uint32_t k = 0; k < 4; k++) {
        kx_msg_put_uint64(m, c.stat[s][k][0]);
        kx_msg_put_uint64(m, c.stat[s][k][1]);
      }
      for (uint32_t k = 0; k < 2; k++) {
        kx_msg_put_uint32(m, c.last[s][k][0]);
        kx_msg_put_uint32(m, c.last[s][k][1]);
      }
    }
  }
}

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

void enc_shaping_name(Msgs &out, const ShapingObject &o) {
  kx_msg_t *m = push(out, SRV_SHAPING_OBJECT);
  kx_msg_put_uint32(m, o.id);
  kx_msg_put_uint32(m, 0);
  kx_msg_put_uint32(m, 1);
  kx_msg_put_string(m, o.name.c_str());
}

}  // namespace

void enc_shaping_objects(Msgs &out, const World &w) {
  push(out, SRV_SHAPING_OBJECTS_INIT);
  for (const ShapingObject &o : w.shaping) enc_shaping_name(out, o);
  for (const ShapingObject &o : w.shaping) enc_shaping_counters(out, o);
}

void enc_shaping_counters(Msgs &out, const ShapingObject &o) {
  kx_msg_t *m = push(out, SRV_SHAPING_OBJECT);
  kx_msg_put_uint32(m, o.id);
  kx_msg_put_uint32(m, 0);
  kx_msg_put_uint32(m, 2);
  kx_msg_put_uint32(m, o.copies);
  kx_msg_put_uint32(m, o.connections);
  for (const ShapingCounters &d : o.dir) {
    for (const ShapingCounterField &f : shaping_counter_fields()) {
      uint64_t v = f.value ? d.*f.value : 0;
      if (f.width == 8) kx_msg_put_uint64(m, v);
      if (f.width == 4) kx_msg_put_uint32(m, (uint32_t)v);
      if (f.width == 2) kx_msg_put_uint16(m, (uint16_t)v);
    }
  }
}

void enc_fw_init(Msgs &out, const World &w) {
  kx_msg_t *m = push(out, SRV_FW_RULES_INIT);
  kx_msg_put_uint32(m, kListComplete | (uint32_t)w.fwrules.size());
  for (const FwRule &r : w.fwrules) {
    kx_msg_put_uint32(m, r.id);
    kx_msg_put_string(m, r.name.c_str());
  }
}

void enc_fw_data(Msgs &out, const World &w) {
  kx_msg_t *m = push(out, SRV_FW_RULES);
  kx_msg_put_uint32(m, (uint32_t)w.fwrules.size());
  for (const FwRule &r : w.fwrules) {
    kx_msg_put_uint32(m, r.id);
    kx_msg_put_uint64(m, r.hits);
    kx_msg_put_uint64(m, r.hits_rate);
  }
}

void enc_fwlog(Msgs &out, const std::vector<const FwLogEntry *> &entries) {
  kx_msg_put_uint64(push(out, SRV_FWLOG_ENTRY_START), entries.size());
  for (const FwLogEntry *e : entries) {
    kx_msg_t *m = push(out, SRV_FWLOG_ENTRY);
    kx_msg_put_uint32(m, e->time);
    kx_msg_put_uint8(m, e->client.v6 ? 1 : 0);
    put_addr(m, e->client);
    put_addr(m, e->server);
    kx_msg_put_uint16(m, e->cport);
    kx_msg_put_uint16(m, e->sport);
    kx_msg_put_uint8(m, e->proto);
    kx_msg_put_string(m, e->clienthost.c_str());
    kx_msg_put_string(m, e->serverhost.c_str());
    kx_msg_put_string(m, e->service.c_str());
    kx_msg_put_string(m, e->rule.c_str());
    if (e->has_properties) kx_msg_put_string(m, e->properties.c_str());
  }
  push(out, SRV_FWLOG_ENTRY_END);
}

void enc_rule_test_result(Msgs &out, const RuleTestResult &r) {
  kx_msg_t *m = push(out, SRV_VCRC_TEST_RESULT);
  kx_msg_put_uint32(m, r.test_id);
  kx_msg_put_uint8(m, 1);  // rule set loaded
  kx_msg_put_uint32(m, r.rewrite_obj);
  kx_msg_put_uint32(m, r.monitor_iface);
  kx_msg_put_uint32(m, (uint32_t)r.fwrule);
  for (const auto *list : {&r.fwrules, &r.shaping}) {
    kx_msg_put_uint32(m, (uint32_t)list->size());
    for (const auto &p : *list) {
      kx_msg_put_uint32(m, p.first);
      kx_msg_put_uint32(m, p.second);
    }
  }
}

void enc_bgp(Msgs &out) {
  for (const BgpPath &p : bgp_paths()) {
    kx_msg_t *m = push(out, SRV_BGP_DUMP_PATH);
    kx_msg_put_uint32(m, p.id);
    kx_msg_put_uint8(m, (uint8_t)p.as_path.size());
    for (uint32_t as : p.as_path) kx_msg_put_uint32(m, as);
  }
  for (const BgpEntry &e : bgp_entries()) {
    kx_msg_t *m = push(out, SRV_BGP_DUMP_ENTRY);
    kx_msg_put_uint32(m, e.path);
    kx_msg_put_ipaddrplen(m, &e.prefix);
    kx_msg_put_uint32(m, e.nexthop);
    kx_msg_put_uint32(m, e.localpref);
    kx_msg_put_uint32(m, e.med);
  }
  push(out, SRV_BGP_DUMP_DONE);
}

// The counters in two entries messages, so that a client collects across them.
void enc_sysdiag(Msgs &out, const World &w) {
  push(out, SRV_DRDL_SYSDIAG_BEGIN);
  size_t half = w.sysdiag.size() / 2;
  kx_msg_t *m = push(out, SRV_DRDL_SYSDIAG_ENTRIES);
  for (size_t i = 0; i < w.sysdiag.size(); i++) {
    if (i == half) m = push(out, SRV_DRDL_SYSDIAG_ENTRIES);
    kx_msg_put_uint64(m, w.sysdiag[i]);
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

// The data groups of `mask`, in bit order.
void put_view_groups(kx_msg_t *m, const ViewRow &n, uint8_t mask) {
  kx_msg_put_uint8(m, mask);
  if (mask & VIEW_DATA_CONNS) kx_msg_put_uint32(m, n.conns);
  if (mask & VIEW_DATA_SPEED) {
    kx_msg_put_uint64(m, n.speed[0]);
    kx_msg_put_uint64(m, n.speed[1]);
  }
  if (mask & VIEW_DATA_DROPPED)
    for (int i = 0; i < 6; i++) kx_msg_put_uint32(m, n.conns);
  if (mask & VIEW_DATA_RTT) {
    kx_msg_put_uint32(m, n.rtt[0]);
    kx_msg_put_uint32(m, n.rtt[1]);
  }
  if (mask & VIEW_DATA_CPS) {
    kx_msg_put_uint32(m, n.cps[0]);
    kx_msg_put_uint32(m, n.cps[1]);
  }
}

void put_view_change(Batch &b, uint8_t field, const ViewChange &ch) {
  kx_msg_t *m = b.rec();
  kx_msg_put_uint8(m, ch.op);
  kx_msg_put_uint32(m, ch.row.id);
  if (ch.op == VIEW_OP_ADD) {
    kx_msg_put_uint32(m, ch.row.second);
    kx_msg_put_uint8(m, 0);
    kx_msg_put_uint8(m, field);
    kx_msg_put_data(m, ch.row.key.data(), (uint32_t)ch.row.key.size());
  }
  if (ch.op != VIEW_OP_REMOVE) put_view_groups(m, ch.row, ch.mask);
  b.end();
  if (ch.op == VIEW_OP_ADD) {
    kx_msg_put_uint8(b.rec(), VIEW_OP_STRING_SET);
    kx_msg_put_uint32(b.rec(), ch.row.id);
    kx_msg_put_string(b.rec(), ch.row.label.c_str());
    b.end();
  }
}

}  // namespace

void enc_view_update(Msgs &out, uint16_t view, uint8_t field, const std::vector<ViewChange> &changes,
                     bool announce) {
  Batch b(SRV_VIEW_UPDATE, &out);
  kx_msg_put_uint16(b.header(), view);
  for (const ViewChange &ch : changes) put_view_change(b, field, ch);
  if (announce && b.empty()) b.end();  // an empty view still tells the client it exists
}

void enc_view_add_error(Msgs &out, uint16_t view, const char *error) {
  kx_msg_t *m = push(out, SRV_VIEW_ADD_ERROR);
  kx_msg_put_uint16(m, view);
  kx_msg_put_string(m, error);
}

}  // namespace sim
