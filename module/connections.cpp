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
KX_RECORD_TABLE(kCreateHead, CONN_CREATE_BLOCK, "create.ignored_u8_1", "create.ignored_u32_4");
KX_RECORD_TABLE(kCreate, CONN_CREATE_BLOCK, "create.optional_u8", "protocol");
KX_RECORD_TABLE(kSecondEndpoint, CONN_SECOND_ENDPOINT_BLOCK);

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

KX_RECORD_TABLE(kService, CONN_SERVICE_BLOCK);
constexpr auto service = attrs<kService>;

// A u16 count of options, each read past.
KX_RECORD_TABLE(kOptions, CONN_OPTIONS_BLOCK);
constexpr auto options = skips<kOptions>;

KX_RECORD_TABLE(kEngineFlags, CONN_ENGINE_FLAGS_BLOCK);
constexpr auto engine_flags = attrs<kEngineFlags>;

KX_RECORD_TABLE(kXfbFlags, CONN_XFB_FLAGS_BLOCK);
constexpr auto xfb_flags = attrs<kXfbFlags>;

KX_RECORD_TABLE(kDeepscan, CONN_DEEPSCAN_BLOCK);
constexpr auto deepscan = attrs<kDeepscan>;

KX_RECORD_TABLE(kShaping, CONN_SHAPING_BLOCK);
constexpr auto shaping = attrs<kShaping>;

KX_RECORD_TABLE(kStatRules, CONN_STAT_RULES_BLOCK);
constexpr auto stat_rules = attrs<kStatRules>;

KX_RECORD_TABLE(kHostname, CONN_HOSTNAME_BLOCK);
constexpr auto hostname = attrs<kHostname>;

KX_RECORD_TABLE(kStrings, CONN_STRINGS_BLOCK);
constexpr auto strings = skips<kStrings>;

KX_RECORD_TABLE(kSpeed, CONN_SPEED_BLOCK);
constexpr auto speed = attrs<kSpeed>;

KX_RECORD_TABLE(kCounters, CONN_COUNTERS_BLOCK);
constexpr auto counters = skips<kCounters>;

// Each direction: a u16 and a u32, then a u64 from SHAPINGBYTESMINVERSION on
// (cmp(protocolversion, SHAPINGBYTESMINVERSION) >= 0, the threshold looked up
// for each direction: a caller may rebind it in between).
KX_RECORD_TABLE(kShapingBytes, CONN_SHAPING_BYTES_BLOCK);
void shaping_bytes(Reader &r, ConnUpdate &u) { kx::skip_fields(r, kShapingBytes, u.version); }

KX_RECORD_TABLE(kTimes, CONN_TIMES_BLOCK);
constexpr auto times = skips<kTimes>;

KX_RECORD_TABLE(kRouting, CONN_ROUTING_BLOCK);
constexpr auto routing = skips<kRouting>;

KX_RECORD_TABLE(kMarks, CONN_MARKS_BLOCK);
constexpr auto marks = skips<kMarks>;

// The view ids, all read before _set_views is called with them.
KX_RECORD_TABLE(kViews, CONN_VIEWS_BLOCK);
void views(Reader &r, ConnUpdate &u) {
  Ref list = kx::read_value(r, kViews);
  KX_CALL_METHOD(u.conn, n__set_views, list);
}

KX_RECORD_TABLE(kTotals, CONN_TOTALS_BLOCK);
constexpr auto totals = skips<kTotals>;

KX_RECORD_TABLE(kBlobs, CONN_BLOBS_BLOCK);
constexpr auto blobs = skips<kBlobs>;

// Session-context row ids, each after a u8 read past, all read before
// sc_populator is called with them.
KX_RECORD_TABLE(kRows, CONN_ROWS_BLOCK);
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
KX_RECORD_TABLE(kRecordHead, CONN_UPDATE_ENTRY, "connid", "flags");
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

// The schema count, and the form, id, column count and kind bytes.
KX_RECORD_COUNT(kSchemaNumber, SESSION_CONTEXT_SCHEMATA, "schemata");

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
KX_RECORD_TABLE(kScAdd, SESSION_CONTEXT_ADD);
KX_RECORD_TABLE(kScRow, SC_ROW_ID);
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

const kx::Method kx_methods_connections[] = {
    KX_METHOD(scRowQuery, 26),
    KX_METHOD(handleConnUpdate, 27),
    KX_METHOD(dumpConnections, 42),
    KX_METHOD(handleSessionContextAdd, 54),
    KX_METHOD(handleSessionContextRemove, 55),
    KX_METHOD(handleSessionContextSchemata, 56),
    KX_METHOD(resolve_engineflags, 58),
    KX_METHODS_END,
};
