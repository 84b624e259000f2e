// kxd-sim: decoding of client requests.
#include "request.h"

#include "catalogue.h"

namespace sim {

namespace {

const char kMalformedView[] = "malformed view request";

std::string raw(const std::string &json) { return json; }

// One filter value, of the kind its filter type gives, kept on the filter;
// returns it as JSON.
std::string decode_filter_value(RequestReader &r, ViewFilter *f) {
  switch (WireKind kind = filter_value_kind(f->type)) {
    case kind_u8:
    case kind_u16:
    case kind_u32: f->nums.push_back((uint32_t)r.num(kind)); return json_num(f->nums.back());
    case kind_ipaddrplen: {
      char text[128];
      f->nets.push_back(r.prefix());
      // only a prefix that was read is formatted: the formatter rejects unknown families
      return r.ok() ? json_str(kx_ipaddrplen_tostring(&f->nets.back(), text, sizeof text)) : std::string();
    }
    default: f->strs.push_back(r.str()); return json_str(f->strs.back());
  }
}

// A filter: id, flag, value count, values. A filter whose values break off is
// recorded with the values that were there.
const char *decode_filter(RequestReader &r, View *v, std::vector<std::string> *json) {
  ViewFilter f;
  JsonObject head;
  PlainFields fields(r, kLayout_VIEW_FILTER, &head);
  f.id = (uint8_t)fields.num("filter");
  uint64_t flag = fields.num("flag");
  uint64_t count = r.num(fields.rest()->count);
  if (!r.ok()) return kMalformedView;
  const ViewFilterCap *cap = view_filter(f.id);
  if (!cap) return "unknown filter";
  f.include = flag == 0;
  f.type = cap->type;
  std::vector<std::string> values;
  for (uint64_t k = 0; k < count; k++) {
    std::string value = decode_filter_value(r, &f);
    if (!r.ok()) break;
    values.push_back(value);
  }
  json->push_back("[" + json_num(f.id) + ", " + json_bool(f.include) + ", " + json_num(f.type) + ", " +
                  json_list(values, raw) + "]");
  v->filters.push_back(f);
  return r.ok() ? nullptr : kMalformedView;
}

// A field: id and argument. An unknown field is kept, and ends the list.
const char *decode_field(RequestReader &r, View *v, std::vector<std::string> *json) {
  JsonObject head;
  PlainFields fields(r, kLayout_VIEW_FIELD, &head);
  uint8_t id = (uint8_t)fields.num("field");
  const std::string &arg = fields.text("argument");
  if (!r.ok()) return kMalformedView;
  v->fields.push_back({id, arg});
  json->push_back("[" + json_num(id) + ", " + json_str(arg) + "]");
  return view_field(id) ? nullptr : "unknown field";
}

// One criterion's value: kept on the test, returned as JSON.
std::string decode_criterion(RequestReader &r, const Criterion &c, RuleTest *t) {
  uint32_t v = 0;
  std::string json;
  char text[32];
  switch (c.kind) {
    case kind_u8:
    case kind_u16:
    case kind_u32: json = json_num(v = (uint32_t)r.num(c.kind)); break;
    case kind_ip4: v = (uint32_t)r.num(c.kind); json = json_str(kx_iptostring_ip4(v, text, sizeof text)); break;
    case kind_string: t->service = r.str(); json = json_str(t->service); break;
    case kind_list: {
      uint64_t n = r.num(c.count);
      for (uint64_t i = 0; i < n && r.ok(); i++) {
        JsonObject record;
        PlainFields p(r, c.layout, &record);
        t->properties.push_back({p.text("name"), p.text("value")});
      }
      json = json_list(t->properties, [](const std::pair<std::string, std::string> &p) {
        return "[" + json_str(p.first) + ", " + json_str(p.second) + "]";
      });
      break;
    }
    default:
      KX_BUG_ON(true, "criterion %s of an unknown kind", c.key);
  }
  t->values[c.key] = v;
  return json;
}

}  // namespace

std::string RequestReader::str() {
  char buf[4096];
  if (!ok_ || !kx_msg_get_string_len(m_, buf, sizeof buf, nullptr)) {
    ok_ = false;
    return std::string();
  }
  return buf;
}

uint64_t RequestReader::num(WireKind kind) {
  switch (kind) {
    case kind_u8: return u8();
    case kind_u16: return u16();
    case kind_u32:
    case kind_ip4: return u32();
    case kind_u64:
    case kind_s64: return u64();
    default: KX_BUG_ON(true, "kind %d is not a number", kind);
  }
  return 0;
}

std::string RequestReader::bytes(uint32_t n) {
  if (!ok_ || n > kx_msg_remaining(m_)) {
    ok_ = false;
    return std::string();
  }
  std::string b((const char *)m_->data + m_->pos, n);
  m_->pos += n;
  return b;
}

JsonObject request_record(const char *name) { return JsonObject().add("request", json_str(name)); }

JsonObject request_record(uint32_t request) { return request_record(builder_of(request)); }

PlainFields::PlainFields(RequestReader &r, const kxp::LayoutRow *layout, JsonObject *record) {
  for (rest_ = layout; rest_->name && rest_->kind != kind_list && rest_->kind != kind_criteria; rest_++) {
    const kxp::LayoutRow *f = rest_;
    uint64_t &n = nums_[f->name];
    std::string json;
    switch (f->kind) {
      case kind_u8:
      case kind_u16:
      case kind_u32:
      case kind_u64: json = json_num(n = r.num(f->kind)); break;
      case kind_s64: json = json_int((int64_t)(n = r.num(f->kind))); break;
      case kind_string: json = json_str(texts_[f->name] = r.str()); break;
      case kind_blob: {
        uint32_t size = r.u32();
        json = json_hex(texts_[f->name] = r.bytes(size));
        break;
      }
      case kind_ipaddr: {
        kx_ipaddr_t ip = r.ipaddr();
        if (ip.ip_type != KX_IPADDR_TYPE_V4) r.fail();
        json = json_num(n = ip.address[0]);
        break;
      }
      default:
        KX_BUG_ON(true, "field %s of an unknown kind", f->name);
    }
    record->add(f->name, json);
  }
}

// The view id, then the filters' list and the fields' list, each counted.
const char *decode_view(RequestReader &r, View *v, JsonObject *record) {
  PlainFields head(r, kRequest_CREATE_VIEW, record);
  v->id = (uint16_t)head.num("viewid");
  const LayoutRow *filter_list = head.rest(), *field_list = filter_list + 1;
  uint64_t nfilters = r.num(filter_list->count);
  const char *error = r.ok() ? nullptr : kMalformedView;
  std::vector<std::string> filters, fields;
  for (uint64_t i = 0; !error && i < nfilters; i++) error = decode_filter(r, v, &filters);
  uint64_t nfields = error ? 0 : r.num(field_list->count);
  if (!r.ok() && !error) error = kMalformedView;
  for (uint64_t i = 0; !error && i < nfields; i++) error = decode_field(r, v, &fields);
  record->add("filters", json_list(filters, raw)).add("fields", json_list(fields, raw));
  return error;
}

void decode_rule_test(RequestReader &r, RuleTest *t, JsonObject *record) {
  // The plain fields before the criteria, then the criteria the mask names.
  PlainFields f(r, kRequest_VCRC_TEST, record);
  KX_BUG_ON(f.rest()->kind != kind_criteria, "the criteria follow the plain fields of a rule test");
  t->test_id = (uint32_t)f.num("test_id");
  t->mask = (uint32_t)f.num("mask");
  for (const Criterion &c : rule_test_criteria()) {
    if (!(t->mask & (1u << c.bit)) || !r.ok()) continue;
    std::string value = decode_criterion(r, c, t);
    record->add(c.key, value);
  }
}

void decode_fwlog_query(RequestReader &r, FwLogQuery *q, JsonObject *record) {
  PlainFields f(r, kRequest_FWLOG_QUERY, record);
  q->qtype = (uint8_t)f.num("qtype");
  q->from = (int64_t)f.num("s");
  q->to = (int64_t)f.num("e");
  q->clear = (uint8_t)f.num("clear");
  q->no_reverse = (uint8_t)f.num("no_reverse");
}

}  // namespace sim
