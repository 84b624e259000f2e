// KXdv17_0 functions of the views area: creating views, the capabilities
// message and the stream of row operations.
#include "kxpy.h"

#include <array>

using kx::Reader;
using kx::Ref;
using kx::Request;

namespace {

KX_NAME(type);
KX_NAME(handleViewUpdateField);
KX_NAME(handleViewUpdateData);

using kx::Kind;

// The capabilities message: the filters views can be built with, then the
// fields they can show.
KX_RECORD_TABLE(kFilterCaps, VIEW_FILTER_CAP);
KX_RECORD_TABLE(kFieldCaps, VIEW_FIELD_CAP);

// How a view field's value is read, by the field type its description names
// (PROTOCOL_VIEW_FIELD_TYPE_*, 0 up): the kind the definition gives the type.
constexpr size_t kFieldTypes = 0
#define KX_FIELD_TYPE(NAME, n, kind, order) +1
#include "../protocol/kx_protocol.def"
    ;
constexpr std::array<Kind, kFieldTypes> field_value_kinds() {
  std::array<Kind, kFieldTypes> kinds{};
#define KX_FIELD_TYPE(NAME, n, kind, order) kinds.at(n) = Kind::kind;
#include "../protocol/kx_protocol.def"
  return kinds;
}
constexpr std::array<Kind, kFieldTypes> kFieldValue = field_value_kinds();

// The groups of a view's data record, each a table of fixed-width fields.
// Speeds are bytes per second on the wire, bits per second here (modulo 2^64).
#define KX_VIEW_DATA(group, NAME, bit, RECORD) KX_RECORD_TABLE(group##_table, RECORD);
#include "../protocol/kx_protocol.def"

// The groups a presence mask names, in wire order, read from `r` (a Reader,
// or the block of them all taken at once).
template <class R>
void read_groups(R &r, uint32_t mask, PyObject *d) {
#define KX_VIEW_DATA(group, NAME, bit, RECORD) \
  if (mask & kxp::VIEW_DATA_##NAME) kx::read_items(r, d, group##_table);
#include "../protocol/kx_protocol.def"
}

// The bytes of the groups each mask names (the mask's other bits name none).
constexpr uint32_t kDataMaskBits = 0
#define KX_VIEW_DATA(group, NAME, bit, RECORD) | kxp::VIEW_DATA_##NAME
#include "../protocol/kx_protocol.def"
    ;
constexpr uint32_t data_width(uint32_t mask) {
  return 0
#define KX_VIEW_DATA(group, NAME, bit, RECORD) \
  +(mask & kxp::VIEW_DATA_##NAME ? kx::rows::table_width<group##_table_rows>() : 0)
#include "../protocol/kx_protocol.def"
      ;
}
template <size_t... M>
constexpr std::array<uint8_t, sizeof...(M)> data_widths(std::index_sequence<M...>) {
  return {{static_cast<uint8_t>(data_width(M))...}};
}
constexpr auto kDataWidth = data_widths(std::make_index_sequence<kDataMaskBits + 1>());
static_assert((kDataMaskBits & (kDataMaskBits + 1)) == 0, "the groups' bits are the mask's low bits");

// len(o), refused when the count would not fit its wire field. A request
// whose count disagrees with its items is never sent.
Py_ssize_t counted_len(PyObject *o, Py_ssize_t limit, const char *what, kx::Site at = kx::Site()) {
  Py_ssize_t n = kx::builtin_len(o, at);
  if (n > limit)
    kx::raise_fmt(at, PyExc_ValueError, "too many %s (%zd, at most %zd)", what, n, limit);
  return n;
}

// Writes each of the `count` items of `items` through put(item); more or
// fewer items than count refuse the request.
template <class Put>
void put_counted(PyObject *items, Py_ssize_t count, const char *what, Put put,
                 kx::Site at = kx::Site()) {
  Py_ssize_t seen = kx::for_each_item(items, count, put, at);
  if (count != seen)
    kx::raise_fmt(at, PyExc_ValueError, "len() of the %s (%zd) does not match their number (%zd)",
                  what, count, seen);
}

// Which of 1..7 the filter type equals (Python equality, in that order); 0
// when none.
long filter_type_of(PyObject *t) {
  if (PyInt_CheckExact(t)) {
    long v = PyInt_AS_LONG(t);
    return v >= kxp::FILTER_SMALL_INTS && v <= kxp::FILTER_BOOLEAN ? v : 0;
  }
  for (long k = kxp::FILTER_SMALL_INTS; k <= kxp::FILTER_BOOLEAN; k++) {
    Ref num = kx::py_int(k);
    int eq = PyObject_RichCompareBool(t, num.get(), Py_EQ);
    kx::check_rc(eq);
    if (eq) return k;
  }
  return 0;
}

// Appends one filter value in the kind its filter type gives: small numbers
// by the 32-bit rule, u32 ones from an integer of any size.
void put_filter_value(Request &q, PyObject *type, PyObject *value, kx::Site at = kx::Site()) {
  kx::Kind kind = kx::kind_of(kxp::filter_value_kind(filter_type_of(type)));
  switch (kind) {
    case kx::Kind::u8:
    case kx::Kind::u16:
      q.put(kind, static_cast<uint64_t>(kx::as_long32(value, at)), at);
      return;
    case kx::Kind::u32:
      q.put(kind, kx::as_mask64(value, at), at);
      return;
    case kx::Kind::string:
      q.put(kind, kx::as_cstring(value, at), at);
      return;
    case kx::Kind::ipaddrplen:
      q.ip(value, at);
      return;
    default:
      break;
  }
  Ref text = kx::check(PyObject_Repr(type), at);
  kx::raise_fmt(at, PyExc_TypeError, "Unknown filter type %s",
                static_cast<const char *>(kx::as_cstring(text.get(), at)));
}

// The next row of `w`, a list: its count, refused beyond the count's range
// (the text names `what`), then each item through put_item(item, row).
template <class PutItem>
void put_list(kx::LayoutWriter &w, PyObject *items, const char *what, const char *what_items, PutItem put_item,
              kx::Site at = kx::Site()) {
  const kxp::LayoutRow &row = w.next();
  Py_ssize_t count = counted_len(items, static_cast<Py_ssize_t>(kxp::count_limit(row.count)), what, at);
  w.request().put(kx::kind_of(row.count), static_cast<uint64_t>(count), at);
  put_counted(items, count, what_items, [&](PyObject *item) { put_item(item, row); }, at);
}

// One filter (identifier, flag, type, values): identifier, 0 when the flag
// is true and 1 when false, the values.
void put_filter(Request &q, PyObject *filter) {
  Ref e[4];
  kx::unpack(filter, e, 4);
  kx::LayoutWriter w(q, kxp::kLayout_VIEW_FILTER);
  w.put(static_cast<uint64_t>(kx::as_long32(e[0].get())));
  w.put(kx::truth(e[1].get()) ? 0u : 1u);
  PyObject *type = e[2].get();
  put_list(w, e[3].get(), "values in one filter", "filter values",
           [&](PyObject *value, const kxp::LayoutRow &) { put_filter_value(q, type, value); });
  w.done();
}

// One field (identifier, argument).
void put_field(Request &q, PyObject *field) {
  Ref e[2];
  kx::unpack(field, e, 2);
  kx::LayoutWriter w(q, kxp::kLayout_VIEW_FIELD);
  w.put(static_cast<uint64_t>(kx::as_long32(e[0].get())));
  w.put(kx::as_cstring(e[1].get()));
  w.done();
}

}  // namespace

// viewid, the filters, the fields.
KX_FUNCTION(createView, "io", "viewid", "filters", "fields") {
  Request q(kxp::CLI_CREATE_VIEW);
  kx::LayoutWriter w(q, kxp::kRequest_CREATE_VIEW);
  w.put(static_cast<uint64_t>(kx::as_long32(arg[1])));
  put_list(w, arg[2], "filters", "filters", [&](PyObject *f, const kxp::LayoutRow &) { put_filter(q, f); });
  put_list(w, arg[3], "fields", "fields", [&](PyObject *f, const kxp::LayoutRow &) { put_field(q, f); });
  w.done();
  q.send(arg[0]);
  return kx::py_none();
}

KX_FUNCTION(createViewByName, "io", "viewid", "name") {
  Request q(kxp::CLI_CREATE_VIEW_BY_NAME);
  uint64_t viewid = static_cast<uint64_t>(kx::as_long32(arg[1]));
  kx::CText name = kx::as_cstring(arg[2]);
  q.write_fields(kxp::kRequest_CREATE_VIEW_BY_NAME, {viewid, name});
  q.send(arg[0]);
  return kx::py_none();
}

namespace {
KX_RECORD_COUNT(kCapsCount, VIEW_CAPS, "filters");  // and of fields
KX_RECORD_TABLE(kViewId, VIEW_UPDATE, "viewid", "viewid");
}  // namespace

// (filters, fields): lists of dicts describing what views can be built from,
// each a u8 count of records.
KX_FUNCTION(handleViewCaps, "m") {
  Reader r(arg[0]);
  Ref filters = kx::read_dict_list(r, static_cast<uint32_t>(kx::read_number(r, kCapsCount)), kFilterCaps);
  Ref fields = kx::read_dict_list(r, static_cast<uint32_t>(kx::read_number(r, kCapsCount)), kFieldCaps);
  return kx::pair(filters, fields);
}

KX_FUNCTION(handleViewUpdateViewID, "m") {
  Reader r(arg[0]);
  return kx::read_value(r, kViewId);
}

namespace {

KX_RECORD_TABLE(kFieldHead, VIEW_FIELD_VALUE, "field.ignored_u8", "id");
KX_RECORD_TABLE(kDataMask, VIEW_ROW_DATA, "mask", "mask");
KX_RECORD_TABLE(kOpHead, VIEW_OPERATION, "op", "row");
KX_RECORD_TABLE(kRow, VIEW_ROW_ADD, "second", "second");
KX_RECORD_TABLE(kText, VIEW_ROW_TEXT);

// One value of the field type `t`, its kind chosen when the module is
// compiled.
template <size_t... T>
Ref field_value(Reader &r, uint8_t t, std::index_sequence<T...>) {
  Ref value;
  ((t == T ? (void)(value = kx::rows::value<kFieldValue[T], 0>(r, kx::Site())) : void()), ...);
  return value;
}

// A dropped byte, the field identifier and the value, read as the caller's
// description fields[id]["type"] says.
Ref read_field(Reader &r, PyObject *fields) {
  uint64_t head[1];
  kx::read_numbers(r, kFieldHead, head);
  Ref id = kx::py_int(static_cast<long>(head[0]));
  Ref desc = kx::getitem(fields, id.get());
  Ref type = kx::getitem(desc.get(), n_type);
  uint8_t t = static_cast<uint8_t>(kx::as_long32(type.get()));
  if (t >= kFieldTypes) kx::bad_message();
  Ref value = field_value(r, t, std::make_index_sequence<kFieldTypes>());
  return kx::pair(std::move(id), std::move(value));
}

// A presence mask and the groups it names, in wire order. When the bytes of
// every group it names are there, they are taken at once and read without
// further length checks; a short record is read group by group, raising at
// the first group that is not whole.
Ref read_data(Reader &r) {
  uint8_t mask = static_cast<uint8_t>(kx::read_number(r, kDataMask));
  const uint8_t *block = r.try_take(kDataWidth[mask & kDataMaskBits]);
  Ref d = kx::new_dict();
  if (block) {
    kx::BlockReader u(block);
    read_groups(u, mask, d.get());
  } else {
    read_groups(r, mask, d.get());
  }
  return d;
}

// The operation codes as ints, made once, by code.
constexpr size_t kViewOps = 0
#define KX_VIEW_OP(NAME, n, order) +1
#include "../protocol/kx_protocol.def"
    ;
PyObject *op_int(uint8_t op) {
  static const std::array<PyObject *, kViewOps> ops = [] {
    std::array<PyObject *, kViewOps> made{};
#define KX_VIEW_OP(NAME, n, order) made.at(n) = PyInt_FromLong(n);
#include "../protocol/kx_protocol.def"
    return made;
  }();
  return ops[op];
}

}  // namespace

KX_FUNCTION(handleViewUpdateField, "m", "fields") {
  Reader r(arg[0]);
  return read_field(r, arg[1]);
}

KX_FUNCTION(handleViewUpdateData, "m") {
  Reader r(arg[0]);
  return read_data(r);
}

// Row operations until the message ends: a list of (op, item). Each value
// is moved into the tuple that holds it, and each operation goes into the
// list's next free slot (PyList_Append only when the list must grow). The
// field and data blocks go through handleViewUpdateField and
// handleViewUpdateData as bound now; while those are the module's own, their
// reads run on this Reader.
KX_FUNCTION(handleViewUpdate, "m", "fields") {
  Reader r(arg[0]);
  Ref ops = kx::new_list();
  auto field = [&](PyObject *const *) { return read_field(r, arg[1]); };
  auto data = [&](PyObject *const *) { return read_data(r); };
  return kx::InlineCalls::run([&](kx::InlineCalls &calls) {
    for (;;) {
      // The operation code and the row, with one length check when both are there.
      uint64_t head[2];
      if (!kx::try_read_numbers(r, kOpHead, head)) break;
      const uint8_t op = static_cast<uint8_t>(head[0]);
      const uint32_t row_number = static_cast<uint32_t>(head[1]);
      Ref row = kx::py_u32(row_number);
      Ref item;
      switch (op) {
        case kxp::VIEW_OP_ADD: {
          Ref second = kx::read_value(r, kRow);
          Ref f = KX_CALL_INLINE(calls, handleViewUpdateField, field, arg[0], arg[1]);
          Ref d = KX_CALL_INLINE(calls, handleViewUpdateData, data, arg[0]);
          item = kx::tuple_of(std::move(row), std::move(second), std::move(f), std::move(d));
          break;
        }
        case kxp::VIEW_OP_UPDATE: {
          Ref d = KX_CALL_INLINE(calls, handleViewUpdateData, data, arg[0]);
          item = kx::pair(std::move(row), std::move(d));
          break;
        }
        case kxp::VIEW_OP_REMOVE:
          item = std::move(row);
          break;
        case kxp::VIEW_OP_STRING_SET:
          item = kx::pair(std::move(row), kx::read_value(r, kText));
          break;
        default:
          kx::bad_message_text(kx::Site(), "bad op");
      }
      kx::list_append_new(ops.get(), kx::pair(Ref::borrowed(op_int(op)), std::move(item)));
    }
    return ops;
  });
}

namespace {
KX_RECORD_TABLE(kAddError, VIEW_ADD_ERROR);
}  // namespace

KX_FUNCTION(handleViewAddError, "m") {
  Reader r(arg[0]);
  return kx::read_tuple(r, kAddError);
}

const kx::Method kx_methods_views[] = {
    KX_METHOD(createView, 17),
    KX_METHOD(createViewByName, 16),
    KX_METHOD(handleViewCaps, 18),
    KX_METHOD(handleViewUpdateViewID, 21),
    KX_METHOD(handleViewUpdateField, 20),
    KX_METHOD(handleViewUpdateData, 19),
    KX_METHOD(handleViewUpdate, 22),
    KX_METHOD(handleViewAddError, 6),
    KX_METHODS_END,
};
