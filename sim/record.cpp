// kxd-sim: the generic record writer.
#include "record.h"

namespace sim {

Val num(uint64_t n) {
  Val v;
  v.n = n;
  return v;
}
Val pair(uint64_t a, uint64_t b) {
  Val v;
  v.n = a;
  v.n2 = b;
  return v;
}
Val text(const std::string &s) {
  Val v;
  v.bytes = s;
  return v;
}
Val no_text() {
  Val v;
  v.no_text = true;
  return v;
}
Val bytes(const void *data, size_t size) {
  Val v;
  v.bytes.assign(static_cast<const char *>(data), size);
  return v;
}
Val addr(const Addr &a) {
  Val v;
  v.addr = a;
  return v;
}
Val end_here(bool end) {
  Val v;
  v.end = end;
  return v;
}

namespace {

using namespace kxp;

// The kinds of the shaping counter set in wire order (kind_list: not on the wire).
const WireKind kCounterKinds[] = {
#define KX_SHAPING_COUNTER(id, key, kind) kind_##kind,
#include "../protocol/kx_protocol.def"
#define KX_SHAPING_DIR_COUNTER(id, key, kind) kind_##kind,
#define KX_SHAPING_DIR_ABSENT(id, key) kind_list,
#include "../protocol/kx_protocol.def"
#define KX_SHAPING_DIR_COUNTER(id, key, kind) kind_##kind,
#define KX_SHAPING_DIR_ABSENT(id, key) kind_list,
#include "../protocol/kx_protocol.def"
};

const GroupRow *family_rows(uint32_t family, size_t *n) {
  switch (family) {
    case family_CONN_BLOCK: *n = sizeof kGroups_CONN_BLOCK / sizeof kGroups_CONN_BLOCK[0]; return kGroups_CONN_BLOCK;
    case family_HOST_GROUP: *n = sizeof kGroups_HOST_GROUP / sizeof kGroups_HOST_GROUP[0]; return kGroups_HOST_GROUP;
    default: *n = sizeof kGroups_VIEW_DATA / sizeof kGroups_VIEW_DATA[0]; return kGroups_VIEW_DATA;
  }
}

Val get(const Source &s, const char *name, size_t i = 0) {
  Val v;
  KX_BUG_ON(!s.get(s, name, i, v), "no accessor for record field %s", name);
  return v;
}

void put_data(kx_msg_t *m, const std::string &b) { kx_msg_put_data(m, b.data(), (uint32_t)b.size()); }

void put(kx_msg_t *m, WireKind kind, uint64_t n) {
  switch (kKindWidth[kind]) {
    case 1: kx_msg_put_uint8(m, (uint8_t)n); return;
    case 2: kx_msg_put_uint16(m, (uint16_t)n); return;
    case 4: kx_msg_put_uint32(m, (uint32_t)n); return;
    case 8: kx_msg_put_uint64(m, n); return;
    default: KX_BUG_ON(true, "kind %d is not a number", kind);
  }
}

void put(kx_msg_t *m, WireKind kind, const Val &v) {
  switch (kind) {
    case kind_string:
      if (v.no_text)
        kx_msg_put_uint32(m, 0);
      else
        kx_msg_put_string(m, v.bytes.c_str());
      return;
    case kind_blob:
      kx_msg_put_uint32(m, (uint32_t)v.bytes.size());
      put_data(m, v.bytes);
      return;
    case kind_blob16:
      kx_msg_put_uint16(m, (uint16_t)v.bytes.size());
      put_data(m, v.bytes);
      return;
    case kind_field_value: put_data(m, v.bytes); return;
    case kind_addr: put_addr(m, v.addr); return;
    case kind_ipaddr: put_ipaddr(m, v.addr); return;
    case kind_ipaddrplen: kx_msg_put_ipaddrplen(m, v.prefix); return;
    default: put(m, kind, v.n);
  }
}

void put_list(kx_msg_t *m, const LayoutRow &r, const Val &v) {
  size_t count = r.item ? v.items.size() : r.item_kind == kind_string ? v.texts.size() : v.nums.size();
  if (r.how == how_list && r.count != kind_rest) put(m, r.count, count);
  for (size_t i = 0; i < count; i++) {
    if (r.item)
      write_record(m, r.item, v.items[i]);
    else if (r.item_kind == kind_string)
      kx_msg_put_string(m, v.texts[i].c_str());
    else
      put(m, r.item_kind, v.nums[i]);
  }
}

// Writes rows up to the end row or a KX_MAY_END where the source ends the
// payload; false in that case.
bool write_rows(kx_msg_t *m, const LayoutRow *rows, const Source &s) {
  bool matched = false;  // by a case of the current run of KX_CASE rows
  for (const LayoutRow *r = rows; r->name; r++) {
    switch (r->how) {
      case how_field: put(m, r->kind, get(s, r->name)); break;
      case how_skip:
        for (uint32_t i = 0; i < r->n; i++) put(m, r->kind, get(s, r->name, i));
        break;
      case how_skip_since:
        if (kProtocolVersion >= r->n) put(m, r->kind, get(s, r->name));
        break;
      case how_skip_flagged: {
        Val v = get(s, r->name);
        kx_msg_put_uint8(m, (uint8_t)v.n);
        if (v.n) put(m, r->kind, v.n2);
        break;
      }
      case how_pair: {
        Val v = get(s, r->name);
        put(m, r->kind, v.n);
        put(m, r->kind, v.n2);
        break;
      }
      case how_woven: {
        Val a = get(s, r->name), b = get(s, r->text);
        for (uint64_t n : {a.n, b.n, a.n2, b.n2}) put(m, r->kind, n);
        break;
      }
      case how_absent: break;
      case how_counters: {
        Val v = get(s, r->name);
        size_t j = 0;
        for (WireKind k : kCounterKinds)
          if (k != kind_list) put(m, k, v.nums.at(j++));
        break;
      }
      case how_inline:
        if (!write_rows(m, r->item, s)) return false;
        break;
      case how_case:
      case how_case_else: {
        if (r == rows || (r[-1].how != how_case && r[-1].how != how_case_else)) matched = false;
        bool take = r->how == how_case ? !matched && get(s, r->name).n == r->n : !matched;
        if (take) {
          matched = true;
          if (!write_rows(m, r->item, s)) return false;
        }
        break;
      }
      case how_when:
        if (get(s, r->name).n & r->n)
          if (!write_rows(m, r->item, s)) return false;
        break;
      case how_groups:
      case how_host_add_groups: {
        uint64_t mask = r->how == how_groups ? get(s, r->name).n : r->n;
        size_t n;
        const GroupRow *g = family_rows(r->how == how_groups ? r->n : uint32_t(family_HOST_GROUP), &n);
        for (size_t i = 0; i < n; i++)
          if (mask & g[i].bits)
            if (!write_rows(m, g[i].record, s)) return false;
        break;
      }
      case how_list:
      case how_list_from: put_list(m, *r, get(s, r->name)); break;
      case how_may_end: {
        Val v;
        if (s.get(s, r->name, 0, v) && v.end) return false;
        break;
      }
      case how_opaque: put_data(m, get(s, r->name).bytes); break;
      case how_criteria: KX_BUG_ON(true, "criteria in a server record");
    }
  }
  return true;
}

}  // namespace

void write_record(kx_msg_t *m, const LayoutRow *rows, const Source &s) { write_rows(m, rows, s); }

}  // namespace sim
