// KXdv17_0 connections: connection updates applied to the caller's table,
// engine flag names, connection dumps, session-context schemata and rows.
#include "kxpy.h"

#include <memory>
#include <string.h>

using kx::Reader;
using kx::Ref;
using kx::Request;
using kx::Site;

namespace {

KX_NAME(_starttime);
KX_NAME(_set_views);
KX_NAME(name);
KX_NAME(id);
KX_NAME(columns);
KX_NAME(kind);
kx::Name n_content_type("content-type");

// ---- connection updates ------------------------------------------------------------

// What every block reader of one connection record works on.
struct ConnUpdate {
  PyObject *conn;
  PyObject *table;
  const Ref &connid;
  PyObject *sc_populator;
  PyObject *version;
  PyObject *typ;
  uint32_t flags;
  // Holds the connection the creation block made. Its numbers and pairs are
  // stored new, as an old value its constructor left is rarely one to refill.
  Ref created;
};

using kx::Kind;

// The creation block: fields read past (a fixed run, checked at once), what
// typ is called with and the start time; then, with CONN_SECOND_ENDPOINT,
// the second endpoint, read past.
constexpr kx::Field kCreateHead_rows[] = {
    {"create.ignored_u8_1", Kind::skip, 1},  {"create.ignored_u8_2", Kind::skip, 1},
    {"create.ignored_u32_1", Kind::skip, 4}, {"create.ignored_u32_2", Kind::skip, 4},
    {"create.ignored_u16_1", Kind::skip, 2}, {"create.ignored_u16_2", Kind::skip, 2},
    {"create.ignored_u32_3", Kind::skip, 4}, {"create.ignored_u32_4", Kind::skip, 4},
};
const kx::Table<kCreateHead_rows> kCreateHead;
constexpr kx::Field kCreate_rows[] = {
    {"create.optional_u8", Kind::skip_if, 1}, {"_starttime", Kind::u32, 0},
    {"create.family", Kind::skip_family, 0},  {"client", Kind::addr, 0},
    {"client_port", Kind::u16, 0},            {"server", Kind::addr, 0},
    {"server_port", Kind::u16, 0},            {"protocol", Kind::u8, 0},
};
const kx::Table<kCreate_rows> kCreate;
constexpr kx::Field kSecondEndpoint_rows[] = {
    {"second.family", Kind::skip_family, 0}, {"second.client", Kind::skip_addr, 0},
    {"second.client_port", Kind::skip, 2},   {"second.server", Kind::skip_addr, 0},
    {"second.server_port", Kind::skip, 2},   {"second.ignored_u8", Kind::skip, 1},
};
const kx::Table<kSecondEndpoint_rows> kSecondEndpoint;

// Reads the creation block, builds the connection with typ, stores it in the
// table and sets its start time; then reads the second endpoint block.
Ref create_connection(Reader &r, PyObject *table, PyObject *typ, const Ref &connid,
                      uint32_t flags) {
  enum { start, client, client_port, server, server_port, protocol, count };
  Ref v[count];
  kx::skip_fields(r, kCreateHead);
  kx::read_values(r, kCreate, v);
  Ref conn = KX_CALL(typ, connid, v[protocol], v[client], v[client_port], v[server], v[server_port]);
  kx::setitem(table, connid.get(), conn.get());
  kx::setattr(conn.get(), n__starttime, v[start].get());
  if (flags & kxp::CONN_SECOND_ENDPOINT) kx::skip_fields(r, kSecondEndpoint);
  return conn;
}

// ---- the blocks a record's flags announce, each read by one function ----

namespace block {

// The connection is made, stored and given to the later blocks.
void create(Reader &r, ConnUpdate &u) {
  u.created = create_connection(r, u.table, u.typ, u.connid, u.flags);
  u.conn = u.created.get();
}

// A block that is a table: its values set on the connection, or read past.
template <auto &T>
void attrs(Reader &r, ConnUpdate &u) {
  kx::read_attrs(r, u.conn, T, bool(u.created));
}
template <auto &T>
void skips(Reader &r, ConnUpdate &) {
  kx::skip_fields(r, T);
}

constexpr kx::Field kService_rows[] = {{"_service_id", Kind::u16, 0}, {"_base_service_id", Kind::u16, 0}};
const kx::Table<kService_rows> kService;
constexpr auto service = attrs<kService>;

// A u16 count of options, each read past.
constexpr kx::Field kOptions_rows[] = {
    {"options.count", Kind::repeat, 2},
    {"option.ignored_u16", Kind::skip, 2},
    {"option.ignored_value", Kind::run, 2},
};
const kx::Table<kOptions_rows> kOptions;
constexpr auto options = skips<kOptions>;

constexpr kx::Field kEngineFlags_rows[] = {{"_engineflags", Kind::u32, kx::kRefill}};
const kx::Table<kEngineFlags_rows> kEngineFlags;
constexpr auto engine_flags = attrs<kEngineFlags>;

constexpr kx::Field kXfbFlags_rows[] = {{"_xfbflags", Kind::u32, kx::kRefill}};
const kx::Table<kXfbFlags_rows> kXfbFlags;
constexpr auto xfb_flags = attrs<kXfbFlags>;

constexpr kx::Field kDeepscan_rows[] = {{"_deepscan", Kind::list, kx::list_of(4, Kind::u16) | kx::kGrow}};
const kx::Table<kDeepscan_rows> kDeepscan;
constexpr auto deepscan = attrs<kDeepscan>;

constexpr kx::Field kShaping_rows[] = {
    {"_shaping_prio", Kind::u8, 0},
    {"_shaping_rule_ids", Kind::list, kx::list_of(2, Kind::u32) | kx::kGrowEarly},
};
const kx::Table<kShaping_rows> kShaping;
constexpr auto shaping = attrs<kShaping>;

constexpr kx::Field kStatRules_rows[] = {{"_stat_rule_ids", Kind::list, kx::list_of(2, Kind::u32) | kx::kGrow}};
const kx::Table<kStatRules_rows> kStatRules;
constexpr auto stat_rules = attrs<kStatRules>;

constexpr kx::Field kHostname_rows[] = {{"_server_hostname", Kind::string, 256}};
const kx::Table<kHostname_rows> kHostname;
constexpr auto hostname = attrs<kHostname>;

constexpr kx::Field kStrings_rows[] = {
    {"strings.ignored_1", Kind::skip_text, 256}, {"strings.ignored_2", Kind::skip_text, 256},
    {"strings.ignored_3", Kind::skip_text, 256}, {"strings.ignored_4", Kind::skip_text, 256},
};
const kx::Table<kStrings_rows> kStrings;
constexpr auto strings = skips<kStrings>;

constexpr kx::Field kSpeed_rows[] = {
    {"_speed", Kind::pair, 4},
    {"_xfer", Kind::pair, 8},
    {"speed.ignored_u32_1", Kind::skip, 4},
    {"speed.ignored_u32_2", Kind::skip, 4},
};
const kx::Table<kSpeed_rows> kSpeed;
constexpr auto speed = attrs<kSpeed>;

constexpr kx::Field kCounters_rows[] = {
    {"counters.ignored_u32_1", Kind::skip, 4}, {"counters.ignored_u32_2", Kind::skip, 4},
    {"counters.ignored_u32_3", Kind::skip, 4}, {"counters.ignored_u32_4", Kind::skip, 4},
    {"counters.ignored_u32_5", Kind::skip, 4}, {"counters.ignored_u32_6", Kind::skip, 4},
};
const kx::Table<kCounters_rows> kCounters;
constexpr auto counters = skips<kCounters>;

// Each direction: a u16 and a u32, then a u64 from SHAPINGBYTESMINVERSION on
// (cmp(protocolversion, SHAPINGBYTESMINVERSION) >= 0, the threshold looked up
// for each direction: a caller may rebind it in between).
constexpr kx::Field kShapingBytes_rows[] = {
    {"shaping_bytes.ignored_u16_1", Kind::skip, 2},
    {"shaping_bytes.ignored_u32_1", Kind::skip, 4},
    {"SHAPINGBYTESMINVERSION", Kind::skip_since, 8},
    {"shaping_bytes.ignored_u16_2", Kind::skip, 2},
    {"shaping_bytes.ignored_u32_2", Kind::skip, 4},
    {"SHAPINGBYTESMINVERSION", Kind::skip_since, 8},
};
const kx::Table<kShapingBytes_rows> kShapingBytes;
void shaping_bytes(Reader &r, ConnUpdate &u) { kx::skip_fields(r, kShapingBytes, u.version); }

constexpr kx::Field kTimes_rows[] = {
    {"times.ignored_u32_1", Kind::skip, 4},
    {"times.ignored_u32_2", Kind::skip, 4},
};
const kx::Table<kTimes_rows> kTimes;
constexpr auto times = skips<kTimes>;

constexpr kx::Field kRouting_rows[] = {
    {"routing.ignored_u32_1", Kind::skip, 4}, {"routing.ignored_u32_2", Kind::skip, 4},
    {"routing.ignored_u32_3", Kind::skip, 4}, {"routing.ignored_u32_4", Kind::skip, 4},
};
const kx::Table<kRouting_rows> kRouting;
constexpr auto routing = skips<kRouting>;

constexpr kx::Field kMarks_rows[] = {
    {"marks.ignored_u8_1", Kind::skip, 1},
    {"marks.ignored_u8_2", Kind::skip, 1},
};
const kx::Table<kMarks_rows> kMarks;
constexpr auto marks = skips<kMarks>;

// The view ids, all read before _set_views is called with them.
constexpr kx::Field kViews_rows[] = {{"views", Kind::list, kx::list_of(2, Kind::u16)}};
const kx::Table<kViews_rows> kViews;
void views(Reader &r, ConnUpdate &u) {
  Ref list = kx::read_value(r, kViews);
  KX_CALL_METHOD(u.conn, n__set_views, list);
}

constexpr kx::Field kTotals_rows[] = {
    {"totals.ignored_u32", Kind::skip, 4},    {"totals.ignored_u64_1", Kind::skip, 8},
    {"totals.ignored_u64_2", Kind::skip, 8},  {"totals.ignored_u64_3", Kind::skip, 8},
    {"totals.ignored_u64_4", Kind::skip, 8},
};
const kx::Table<kTotals_rows> kTotals;
constexpr auto totals = skips<kTotals>;

constexpr kx::Field kBlobs_rows[] = {
    {"blobs.ignored_1", Kind::run, 2},
    {"blobs.ignored_2", Kind::run, 2},
};
const kx::Table<kBlobs_rows> kBlobs;
constexpr auto blobs = skips<kBlobs>;

// Session-context row ids, each after a u8 read past, all read before
// sc_populator is called with them.
constexpr kx::Field kRows_rows[] = {{"rows", Kind::list, kx::list_of(1, Kind::u64, 1)}};
const kx::Table<kRows_rows> kRows;
void rows(Reader &r, ConnUpdate &u) {
  Ref list = kx::read_value(r, kRows);
  KX_CALL(u.sc_populator, u.conn, list);
}

void remove(Reader &, ConnUpdate &u) { kx::delitem(u.table, u.connid.get()); }

}  // namespace block

// The blocks in the order they follow each other on the wire.
constexpr kx::Block<ConnUpdate> kBlocks[] = {
#define KX_CONN_BLOCK(name, FLAG, ALSO, RECORD) {kxp::CONN_##FLAG | kxp::CONN_##ALSO, block::name},
#include "../protocol/kx_protocol.def"
};

}  // namespace

namespace {
constexpr kx::Field kRecordHead_rows[] = {
    {"connid", Kind::u32, 0},
    {"record.ignored_u32", Kind::skip, 4},
    {"flags", Kind::u32, 0},
};
const kx::Table<kRecordHead_rows> kRecordHead;
}  // namespace

// Records back to back until the id of another does not fit: u32 connection
// id, u32 ignored, u32 update flags, then the blocks the flags announce.
KX_FUNCTION(handleConnUpdate, "m", "table", "typ", "sc_populator", "protocolversion") {
  Reader r(arg[0]);
  PyObject *table = arg[1];
  for (;;) {
    // A whole header is taken at once; a short one fails where its first
    // missing word stands.
    uint64_t head[2];
    if (!kx::try_read_numbers(r, kRecordHead, head)) break;
    const uint32_t id = static_cast<uint32_t>(head[0]), flags = static_cast<uint32_t>(head[1]);
    Ref connid = kx::py_u32(id);
    // Without the creation block the record's connection is the table's.
    Ref conn = (flags & (kxp::CONN_CREATE | kxp::CONN_CREATE_TOO)) ? Ref() : kx::getitem(table, connid.get());
    ConnUpdate u{conn.get(), table, connid, arg[3], arg[4], arg[2], flags, Ref()};
    kx::read_blocks<kBlocks>(r, flags, u);
  }
  return kx::py_none();
}

// ---- engine flags and connection dumps ----------------------------------------------

namespace {

struct EngineFlag {
  uint32_t bit;
  const char *name;
};

const EngineFlag kEngineFlagNames[] = {
#define KX_ENGINE_FLAG(NAME, bit) {bit, #NAME},
#include "../protocol/kx_protocol.def"
};

}  // namespace

// The names of the engine flags set in `flags`, in ascending bit order; any
// object a long can be and-ed with is accepted.
KX_FUNCTION(resolve_engineflags, "flags") {
  Ref names = kx::new_list();
  for (const EngineFlag &f : kEngineFlagNames) {
    Ref bit = kx::py_u32(f.bit);
    Ref both = kx::check(PyNumber_And(bit.get(), arg[0]));
    if (kx::truth(both.get())) kx::list_append(names.get(), kx::py_str(f.name).get());
  }
  return names;
}

KX_FUNCTION(dumpConnections, "io", "filename", "reapername", "start", "step") {
  Request q(kxp::CLI_DUMP_CONNECTIONS);
  kx::CText filename = kx::as_cstring(arg[1]);
  kx::CText reapername = kx::as_cstring(arg[2]);
  uint64_t start = kx::as_mask64(arg[3]);
  uint64_t step = kx::as_mask64(arg[4]);
  q.write_fields(kxp::kRequest_DUMP_CONNECTIONS, {filename, reapername, start, step});
  q.send(arg[0]);
  return kx::py_none();
}

// ---- session contexts ----------------------------------------------------------------

namespace {

// One schema as it is decoded. A form-2 record (id only) reuses the name and
// columns the previous schema of the same message left here; before any
// form-1 record they are empty.
struct SchemaScratch {
  struct Column {
    uint32_t kind;
    char name[128];
    char content_type[256];
  };
  uint8_t id;
  char name[128];
  uint8_t ncolumns;
  Column columns[256];
};

const struct {
  long number;
  const char *kind;
} kColumnKinds[] = {{1, "OCTETS"}, {2, "INT16"}, {3, "INT32"}, {4, "INT64"}, {5, "IP_PREFIX"}};

Ref column_kind_table() {
  Ref table = kx::new_dict();
  for (const auto &k : kColumnKinds)
    kx::setitem(table.get(), kx::py_int(k.number).get(), kx::py_str(k.kind).get());
  return table;
}

constexpr kx::Field kSchemaNumber_rows[] = {{"number", Kind::u8, 0}};
const kx::Table<kSchemaNumber_rows> kSchemaNumber;  // the form, id, column count and kind bytes

// Reads one schema record into the scratch. Text buffers are cleared before
// each read so that a text sent without its zero byte ends where its bytes
// end, never running into what an earlier schema left behind.
void read_schema(Reader &r, SchemaScratch &s, Site at = Site()) {
  auto u8 = [&] { return static_cast<uint8_t>(kx::read_number(r, kSchemaNumber, at)); };
  uint8_t form = u8();
  if (form == 2) {
    s.id = u8();
    return;
  }
  if (form != 1) kx::bad_message(at);
  memset(s.name, 0, sizeof s.name);
  s.id = u8();
  r.cstring(s.name, sizeof s.name, at);
  s.ncolumns = u8();
  for (unsigned j = 0; j < s.ncolumns; j++) {
    SchemaScratch::Column &c = s.columns[j];
    memset(c.name, 0, sizeof c.name);
    memset(c.content_type, 0, sizeof c.content_type);
    c.kind = u8();
    r.cstring(c.name, sizeof c.name, at);
    r.cstring(c.content_type, sizeof c.content_type, at);
  }
}

Ref schema_dict(const SchemaScratch &s, PyObject *kinds) {
  Ref schema = kx::new_dict();
  kx::setitem(schema.get(), n_name, kx::py_str(s.name).get());
  kx::setitem(schema.get(), n_id, kx::py_int(s.id).get());
  kx::setitem(schema.get(), n_columns, kx::new_list().get());
  for (unsigned j = 0; j < s.ncolumns; j++) {
    const SchemaScratch::Column &c = s.columns[j];
    Ref column = kx::new_dict();
    kx::setitem(column.get(), n_kind, kx::getitem(kinds, kx::py_int(c.kind).get()).get());
    kx::setitem(column.get(), n_name, kx::py_str(c.name).get());
    kx::setitem(column.get(), n_content_type, kx::py_str(c.content_type).get());
    Ref columns = kx::getitem(schema.get(), n_columns);
    kx::list_append(columns.get(), column.get());
  }
  return schema;
}

}  // namespace

// u8 schema count, then the schema records.
KX_FUNCTION(handleSessionContextSchemata, "m") {
  Reader r(arg[0]);
  uint8_t count = static_cast<uint8_t>(kx::read_number(r, kSchemaNumber));
  Ref schemata = kx::new_list();
  Ref kinds = column_kind_table();
  std::unique_ptr<SchemaScratch> scratch(new SchemaScratch());  // zeroed: empty name, no columns
  for (unsigned i = 0; i < count; i++) {
    read_schema(r, *scratch);
    kx::list_append(schemata.get(), schema_dict(*scratch, kinds.get()).get());
  }
  return schemata;
}

// (schema id, row id, row data): u8, u64, then u16 length and the data bytes.
namespace {
constexpr kx::Field kScAdd_rows[] = {
    {"schema", Kind::u8, 0},
    {"row", Kind::u64, 0},
    {"data", Kind::blob, 2},
};
const kx::Table<kScAdd_rows> kScAdd;
constexpr kx::Field kScRow_rows[] = {{"row", Kind::u64, 0}};
const kx::Table<kScRow_rows> kScRow;
}  // namespace

KX_FUNCTION(handleSessionContextAdd, "m") {
  Reader r(arg[0]);
  return kx::read_tuple(r, kScAdd);
}

// u64 row ids back to back; trailing bytes short of a whole id are ignored.
KX_FUNCTION(handleSessionContextRemove, "m") {
  Reader r(arg[0]);
  Ref rows = kx::new_list();
  uint64_t row[1];
  while (kx::try_read_numbers(r, kScRow, row)) kx::list_append(rows.get(), kx::py_u64(row[0]).get());
  return rows;
}

KX_FUNCTION(scRowQuery, "io", "rowid") {
  Request q(kxp::CLI_SC_ROW_QUERY);
  q.write_fields(kxp::kRequest_SC_ROW_QUERY, {kx::as_mask64(arg[1])});
  q.send(arg[0]);
  return kx::py_none();
}

PyMethodDef kx_methods_connections[] = {
    KX_METHOD(scRowQuery),
    KX_METHOD(handleConnUpdate),
    KX_METHOD(dumpConnections),
    KX_METHOD(handleSessionContextAdd),
    KX_METHOD(handleSessionContextRemove),
    KX_METHOD(handleSessionContextSchemata),
    KX_METHOD(resolve_engineflags),
    KX_METHODS_END,
};
