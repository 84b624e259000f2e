// KXdv17_0 connections: connection updates applied to the caller's table,
// engine flag names, connection dumps, session-context schemata and rows.
#include "kxpy.h"

#include <initializer_list>
#include <memory>
#include <string.h>

using kx::Reader;
using kx::Ref;
using kx::Request;
using kx::Site;

namespace {

KX_NAME(_starttime);
KX_NAME(_service_id);
KX_NAME(_base_service_id);
KX_NAME(_engineflags);
KX_NAME(_xfbflags);
KX_NAME(_deepscan);
KX_NAME(_shaping_prio);
KX_NAME(_shaping_rule_ids);
KX_NAME(_stat_rule_ids);
KX_NAME(_server_hostname);
KX_NAME(_speed);
KX_NAME(_xfer);
KX_NAME(_set_views);
KX_NAME(append);
KX_NAME(SHAPINGBYTESMINVERSION);
KX_NAME(name);
KX_NAME(id);
KX_NAME(columns);
KX_NAME(kind);
kx::Name n_content_type("content-type");

// ---- connection updates ------------------------------------------------------------

// Update flag bits of a connection record. Each names the block it announces;
// blocks are read in the order handleConnUpdate tests them, not in bit order.
enum : uint32_t {
  kCreate = 0x1 | 0x800,
  kService = 0x2,
  kOptions = 0x4,
  kEngineFlags = 0x8,
  kShaping = 0x10,
  kSpeed = 0x20 | 0x40,
  kStatRules = 0x80,
  kHostname = 0x100,
  kStrings = 0x200,
  kRemove = 0x400,
  kCounters = 0x1000,
  kShapingBytes = 0x2000,
  kTimes = 0x10000,
  kMarks = 0x20000,
  kSecondEndpoint = 0x40000,
  kViews = 0x80000,
  kDeepscan = 0x100000,
  kTotals = 0x200000,
  kXfbFlags = 0x2000000,
  kBlobs = 0x4000000,
  kRouting = 0x8000000,
  kRows = 0x10000000,
};

// Consumes fixed-width fields that are read and dropped. A short message
// consumes the whole fields before the short one, which raises.
void drop(Reader &r, std::initializer_list<uint8_t> widths, Site at = Site()) {
  uint32_t total = 0;
  for (uint8_t w : widths) total += w;
  if (kx_msg_skip(r.msg(), total)) return;
  for (uint8_t w : widths) r.skip(w, at);
}

// Consumes one string field exactly as a bounded read of buffer 256 would.
void drop_string(Reader &r, Site at = Site()) {
  char buf[256];
  if (!kx_msg_get_string_len(r.msg(), buf, sizeof buf, nullptr)) kx::bad_message(at);
}

// An address family byte: 0 IPv4, 1 IPv6, anything else a bad message.
bool read_family(Reader &r, Site at = Site()) {
  uint8_t family = r.u8(at);
  if (family > 1) kx::bad_message(at);
  return family == 1;
}

Ref read_address(Reader &r, bool v6, Site at = Site()) { return v6 ? r.v6addr(at) : r.v4addr(at); }

// Reads the creation block, builds the connection with typ, stores it in the
// table and sets its start time; then reads the second endpoint block.
Ref create_connection(Reader &r, PyObject *table, PyObject *typ, const Ref &connid,
                      uint32_t flags) {
  drop(r, {1, 1, 4, 4, 2, 2, 4, 4});
  if (r.u8()) r.u8();
  Ref start = r.long32();
  bool v6 = read_family(r);
  Ref client = read_address(r, v6);
  Ref client_port = r.int16();
  Ref server = read_address(r, v6);
  Ref server_port = r.int16();
  Ref protocol = r.int8();
  Ref conn = KX_CALL(typ, connid, protocol, client, client_port, server, server_port);
  kx::setitem(table, connid.get(), conn.get());
  kx::setattr(conn.get(), n__starttime, start.get());
  if (flags & kSecondEndpoint) {
    bool v6_second = read_family(r);
    read_address(r, v6_second);
    r.u16();
    read_address(r, v6_second);
    r.u16();
    r.u8();
  }
  return conn;
}

// Starts a list attribute afresh.
void set_new_list(PyObject *conn, const kx::Name &attr, Site at = Site()) {
  Ref list = kx::check(PyList_New(0), at);
  kx::setattr(conn, attr, list.get(), at);
}

// Appends to whatever list the attribute holds now (fetched again each time,
// so a caller that swaps the list sees the items go to the new one).
void append_to_attr(PyObject *conn, const kx::Name &attr, const Ref &item, Site at = Site()) {
  Ref list = kx::getattr(conn, attr, at);
  if (PyList_CheckExact(list.get()))
    kx::check_rc(PyList_Append(list.get(), item.get()), at);
  else
    kx::check(PyObject_CallMethodObjArgs(list.get(), n_append, item.get(), nullptr), at);
}

// cmp(protocolversion, SHAPINGBYTESMINVERSION) >= 0: the interpreter's
// three-way comparison (Python 3: protocolversion >= ...), the threshold looked up now.
bool has_shaping_bytes(PyObject *version, Site at = Site()) {
  Ref threshold = kx::global(n_SHAPINGBYTESMINVERSION, at);
  return kx::cmp_at_least(version, threshold.get(), at);
}

// Applies the blocks 2 to 21 that `flags` announces to `conn`.
void apply_blocks(Reader &r, uint32_t flags, PyObject *conn, PyObject *table, const Ref &connid,
                  PyObject *sc_populator, PyObject *version) {
  if (flags & kService) {
    kx::setattr(conn, n__service_id, r.int16().get());
    kx::setattr(conn, n__base_service_id, r.int16().get());
  }
  if (flags & kOptions) {
    for (uint16_t n = r.u16(); n; n--) {
      r.u16();
      r.skip(r.u16());
    }
  }
  if (flags & kEngineFlags) kx::setattr(conn, n__engineflags, r.long32().get());
  if (flags & kXfbFlags) kx::setattr(conn, n__xfbflags, r.long32().get());
  if (flags & kDeepscan) {
    uint32_t n = r.u32();
    set_new_list(conn, n__deepscan);
    for (; n; n--) append_to_attr(conn, n__deepscan, r.int16());
  }
  if (flags & kShaping) {
    kx::setattr(conn, n__shaping_prio, r.int8().get());
    set_new_list(conn, n__shaping_rule_ids);
    for (uint16_t n = r.u16(); n; n--) append_to_attr(conn, n__shaping_rule_ids, r.long32());
  }
  if (flags & kStatRules) {
    uint16_t n = r.u16();
    set_new_list(conn, n__stat_rule_ids);
    for (; n; n--) append_to_attr(conn, n__stat_rule_ids, r.long32());
  }
  if (flags & kHostname) kx::setattr(conn, n__server_hostname, r.string(256).get());
  if (flags & kStrings) {
    for (int i = 0; i < 4; i++) drop_string(r);
  }
  if (flags & kSpeed) {
    Ref a = r.long32();
    Ref b = r.long32();
    Ref speed = kx::check(PyTuple_Pack(2, a.get(), b.get()));
    kx::setattr(conn, n__speed, speed.get());
    Ref c = r.long64();
    Ref d = r.long64();
    Ref xfer = kx::check(PyTuple_Pack(2, c.get(), d.get()));
    kx::setattr(conn, n__xfer, xfer.get());
    drop(r, {4, 4});
  }
  if (flags & kCounters) drop(r, {4, 4, 4, 4, 4, 4});
  if (flags & kShapingBytes) {
    drop(r, {2, 4});
    if (has_shaping_bytes(version)) r.skip(8);
    drop(r, {2, 4});
    if (has_shaping_bytes(version)) r.skip(8);
  }
  if (flags & kTimes) drop(r, {4, 4});
  if (flags & kRouting) drop(r, {4, 4, 4, 4});
  if (flags & kMarks) drop(r, {1, 1});
  if (flags & kViews) {
    uint16_t n = r.u16();
    // A short message leaves unfilled slots; the list is then dropped unseen.
    Ref views = kx::check(PyList_New(n));
    for (uint16_t i = 0; i < n; i++) PyList_SET_ITEM(views.get(), i, r.int16().release());
    kx::check(PyObject_CallMethodObjArgs(conn, n__set_views, views.get(), nullptr));
  }
  if (flags & kTotals) drop(r, {4, 8, 8, 8, 8});
  if (flags & kBlobs) {
    r.skip(r.u16());
    r.skip(r.u16());
  }
  if (flags & kRows) {
    uint8_t n = r.u8();
    Ref rows = kx::check(PyList_New(n));
    for (uint8_t i = 0; i < n; i++) {
      r.u8();
      PyList_SET_ITEM(rows.get(), i, r.long64().release());
    }
    KX_CALL(sc_populator, conn, rows);
  }
  if (flags & kRemove) kx::delitem(table, connid.get());
}

}  // namespace

// Records back to back until fewer than four bytes remain: u32 connection id,
// u32 ignored, u32 update flags, then the blocks the flags announce.
KX_FUNCTION(handleConnUpdate, "m", "table", "typ", "sc_populator", "protocolversion") {
  Reader r(arg[0]);
  PyObject *table = arg[1];
  while (r.remaining() >= 4) {
    Ref connid = kx::py_u32(r.u32());
    r.u32();
    uint32_t flags = r.u32();
    Ref conn = (flags & kCreate) ? create_connection(r, table, arg[2], connid, flags)
                                 : kx::getitem(table, connid.get());
    apply_blocks(r, flags, conn.get(), table, connid, arg[3], arg[4]);
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
    {0x1, "ESTABLISHED"},  {0x2, "CLIENT_IS_LOCAL"}, {0x4, "SERVER_IS_LOCAL"},
    {0x10, "ASYMMETRICAL"}, {0x20, "UNTRACKED"},      {0x4000, "FLOWSYNC"},
    {0x8000, "FLOWUNSYNC"},
};

}  // namespace

// The names of the engine flags set in `flags`, in ascending bit order; any
// object a long can be and-ed with is accepted.
KX_FUNCTION(resolve_engineflags, "flags") {
  Ref names = kx::check(PyList_New(0));
  for (const EngineFlag &f : kEngineFlagNames) {
    Ref bit = kx::py_u32(f.bit);
    Ref both = kx::check(PyNumber_And(bit.get(), arg[0]));
    int set = PyObject_IsTrue(both.get());
    kx::check_rc(set);
    if (set) kx::check_rc(PyList_Append(names.get(), kx::py_str(f.name).get()));
  }
  return names;
}

KX_FUNCTION(dumpConnections, "io", "filename", "reapername", "start", "step") {
  Request q(132472);
  q.string(kx::as_cstring(arg[1]));
  q.string(kx::as_cstring(arg[2]));
  q.u32(static_cast<uint32_t>(kx::as_mask64(arg[3])));
  q.u32(static_cast<uint32_t>(kx::as_mask64(arg[4])));
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
  Ref table = kx::check(PyDict_New());
  for (const auto &k : kColumnKinds)
    kx::setitem(table.get(), kx::py_int(k.number).get(), kx::py_str(k.kind).get());
  return table;
}

// Reads one schema record into the scratch. Text buffers are cleared before
// each read so that a text sent without its zero byte ends where its bytes
// end, never running into what an earlier schema left behind.
void read_schema(kx_msg_t *m, SchemaScratch &s, Site at = Site()) {
  uint8_t form;
  if (!kx_msg_get_data(m, &form, 1)) kx::bad_message(at);
  if (form == 2) {
    if (!kx_msg_get_data(m, &s.id, 1)) kx::bad_message(at);
    return;
  }
  if (form != 1) kx::bad_message(at);
  memset(s.name, 0, sizeof s.name);
  if (!kx_msg_get_fields(m, KX_MSG_FIELD_U8, &s.id, KX_MSG_FIELD_STRING, uint32_t{sizeof s.name},
                         s.name, KX_MSG_FIELD_U8, &s.ncolumns, KX_MSG_FIELD_END))
    kx::bad_message(at);
  for (unsigned j = 0; j < s.ncolumns; j++) {
    SchemaScratch::Column &c = s.columns[j];
    uint8_t kind;
    memset(c.name, 0, sizeof c.name);
    memset(c.content_type, 0, sizeof c.content_type);
    if (!kx_msg_get_fields(m, KX_MSG_FIELD_U8, &kind, KX_MSG_FIELD_STRING,
                           uint32_t{sizeof c.name}, c.name, KX_MSG_FIELD_STRING,
                           uint32_t{sizeof c.content_type}, c.content_type, KX_MSG_FIELD_END))
      kx::bad_message(at);
    c.kind = kind;
  }
}

Ref schema_dict(const SchemaScratch &s, PyObject *kinds) {
  Ref schema = kx::check(PyDict_New());
  kx::setitem(schema.get(), n_name, kx::py_str(s.name).get());
  kx::setitem(schema.get(), n_id, kx::py_int(s.id).get());
  kx::setitem(schema.get(), n_columns, kx::check(PyList_New(0)).get());
  for (unsigned j = 0; j < s.ncolumns; j++) {
    const SchemaScratch::Column &c = s.columns[j];
    Ref column = kx::check(PyDict_New());
    kx::setitem(column.get(), n_kind, kx::getitem(kinds, kx::py_int(c.kind).get()).get());
    kx::setitem(column.get(), n_name, kx::py_str(c.name).get());
    kx::setitem(column.get(), n_content_type, kx::py_str(c.content_type).get());
    Ref columns = kx::getitem(schema.get(), n_columns);
    kx::check_rc(PyList_Append(columns.get(), column.get()));
  }
  return schema;
}

}  // namespace

// u8 schema count, then the schema records.
KX_FUNCTION(handleSessionContextSchemata, "m") {
  Reader r(arg[0]);
  uint8_t count = r.u8();
  Ref schemata = kx::check(PyList_New(0));
  Ref kinds = column_kind_table();
  std::unique_ptr<SchemaScratch> scratch(new SchemaScratch());  // zeroed: empty name, no columns
  for (unsigned i = 0; i < count; i++) {
    read_schema(r.msg(), *scratch);
    kx::check_rc(PyList_Append(schemata.get(), schema_dict(*scratch, kinds.get()).get()));
  }
  return schemata;
}

// (schema id, row id, row data): u8, u64, then u16 length and the data bytes.
KX_FUNCTION(handleSessionContextAdd, "m") {
  Reader r(arg[0]);
  Ref schema = r.int8();
  Ref row = r.long64();
  uint16_t len = r.u16();
  if (r.remaining() < len) kx::bad_message();
  Ref data = kx::check(PyBytes_FromStringAndSize(nullptr, len));
  r.data(PyBytes_AS_STRING(data.get()), len);
  return kx::check(PyTuple_Pack(3, schema.get(), row.get(), data.get()));
}

// u64 row ids back to back; trailing bytes short of a whole id are ignored.
KX_FUNCTION(handleSessionContextRemove, "m") {
  Reader r(arg[0]);
  Ref rows = kx::check(PyList_New(0));
  while (r.remaining() >= 8) kx::check_rc(PyList_Append(rows.get(), r.long64().get()));
  return rows;
}

KX_FUNCTION(scRowQuery, "io", "rowid") {
  Request q(139776);
  q.u64(kx::as_mask64(arg[1]));
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
