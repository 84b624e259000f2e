// KXdv17_0 functions of the views area: creating views, the capabilities
// message and the stream of row operations.
#include "kxpy.h"

using kx::Reader;
using kx::Ref;
using kx::Request;

namespace {

KX_NAME(filter);
KX_NAME(name);
KX_NAME(type);
KX_NAME(max);
KX_NAME(field);
KX_NAME(display_prefix);
KX_NAME(want_arg);
KX_NAME(conns);
KX_NAME(speed);
KX_NAME(rtt);
KX_NAME(cps);
KX_NAME(handleViewUpdateField);
KX_NAME(handleViewUpdateData);
KX_NAME(len);

// Filter types, as the caller's filters name them.
enum FilterType : long {
  FILTER_SMALL_INTS = 1,
  FILTER_SERVICES,
  FILTER_OBJECTS,
  FILTER_HOSTS,
  FILTER_STRINGS,
  FILTER_UINT32,
  FILTER_BOOLEAN,
};

// Field types, selecting how a field value is read.
enum FieldType {
  FIELD_HOST = 0,
  FIELD_SERVICE,
  FIELD_INT,
  FIELD_STRING,
  FIELD_UINT32,
  FIELD_BOOLEAN,
};

Ref tuple2(const Ref &a, const Ref &b, kx::Site at = kx::Site()) {
  return kx::check(PyTuple_Pack(2, a.get(), b.get()), at);
}

// len(o) (the built-in looked up now), refused when the count would not fit
// its wire field. A request whose count disagrees with its items is never sent.
Py_ssize_t counted_len(PyObject *o, Py_ssize_t limit, const char *what, kx::Site at = kx::Site()) {
  Ref size = kx::call_at(at, kx::builtin(n_len, at).get(), o);
  Py_ssize_t n = PyInt_AsSsize_t(size.get());
  if (n == -1 && PyErr_Occurred()) kx::fail(at);
  if (n > limit)
    kx::raise_fmt(at, PyExc_ValueError, "too many %s (%zd, at most %zd)", what, n, limit);
  return n;
}

void check_count(Py_ssize_t declared, Py_ssize_t seen, const char *what,
                 kx::Site at = kx::Site()) {
  if (declared != seen)
    kx::raise_fmt(at, PyExc_ValueError, "len() of the %s (%zd) does not match their number (%zd)",
                  what, declared, seen);
}

// Which of 1..7 the filter type equals (Python equality, in that order); 0
// when none.
long filter_type_of(PyObject *t) {
  if (PyInt_CheckExact(t)) {
    long v = PyInt_AS_LONG(t);
    return v >= FILTER_SMALL_INTS && v <= FILTER_BOOLEAN ? v : 0;
  }
  for (long k = FILTER_SMALL_INTS; k <= FILTER_BOOLEAN; k++) {
    Ref num = kx::py_int(k);
    int eq = PyObject_RichCompareBool(t, num.get(), Py_EQ);
    kx::check_rc(eq);
    if (eq) return k;
  }
  return 0;
}

// Appends one filter value encoded by the filter type.
void put_filter_value(Request &q, PyObject *type, PyObject *value, kx::Site at = kx::Site()) {
  switch (filter_type_of(type)) {
    case FILTER_SMALL_INTS:
      q.u16(static_cast<uint16_t>(kx::as_long32(value, at)), at);
      return;
    case FILTER_SERVICES:
    case FILTER_OBJECTS:
    case FILTER_STRINGS:
      q.string(kx::as_cstring(value, at), at);
      return;
    case FILTER_HOSTS:
      q.ip(value, at);
      return;
    case FILTER_UINT32:
      q.u32(static_cast<uint32_t>(kx::as_mask64(value, at)), at);
      return;
    case FILTER_BOOLEAN:
      q.u8(static_cast<uint8_t>(kx::as_long32(value, at)), at);
      return;
  }
  Ref text = kx::check(PyObject_Repr(type), at);
  kx::raise_fmt(at, PyExc_TypeError, "Unknown filter type %s",
                static_cast<const char *>(kx::as_cstring(text.get(), at)));
}

// One filter (identifier, flag, type, values): u8 identifier, u8 0 when the
// flag is true and 1 when false, u16 value count, the values.
void put_filter(Request &q, PyObject *filter) {
  Ref e[4];
  kx::unpack(filter, e, 4);
  q.u8(static_cast<uint8_t>(kx::as_long32(e[0].get())));
  int flag = PyObject_IsTrue(e[1].get());
  kx::check_rc(flag);
  q.u8(flag ? 0 : 1);
  Py_ssize_t count = counted_len(e[3].get(), 0xffff, "values in one filter");
  q.u16(static_cast<uint16_t>(count));
  Ref it = kx::check(PyObject_GetIter(e[3].get()));
  Py_ssize_t seen = 0;
  while (Ref value{PyIter_Next(it.get())}) {
    if (++seen > count) break;
    put_filter_value(q, e[2].get(), value.get());
  }
  if (PyErr_Occurred()) kx::fail();
  check_count(count, seen, "filter values");
}

// One field (identifier, argument): u8 identifier, string argument.
void put_field(Request &q, PyObject *field) {
  Ref e[2];
  kx::unpack(field, e, 2);
  q.u8(static_cast<uint8_t>(kx::as_long32(e[0].get())));
  q.string(kx::as_cstring(e[1].get()));
}

// Appends a u8 count and then each item of `items` through put_item.
void put_list(Request &q, PyObject *items, const char *what, void (*put_item)(Request &, PyObject *),
              kx::Site at = kx::Site()) {
  Py_ssize_t count = counted_len(items, 0xff, what, at);
  q.u8(static_cast<uint8_t>(count), at);
  Ref it = kx::check(PyObject_GetIter(items), at);
  Py_ssize_t seen = 0;
  while (Ref item{PyIter_Next(it.get())}) {
    if (++seen > count) break;
    put_item(q, item.get());
  }
  if (PyErr_Occurred()) kx::fail(at);
  check_count(count, seen, what, at);
}

}  // namespace

// u16 viewid, u8 filter count, the filters, u8 field count, the fields.
KX_FUNCTION(createView, "io", "viewid", "filters", "fields") {
  Request q(139264);
  q.u16(static_cast<uint16_t>(kx::as_long32(arg[1])));
  put_list(q, arg[2], "filters", put_filter);
  put_list(q, arg[3], "fields", put_field);
  q.send(arg[0]);
  return kx::py_none();
}

KX_FUNCTION(createViewByName, "io", "viewid", "name") {
  Request q(139266);
  q.u16(static_cast<uint16_t>(kx::as_long32(arg[1])));
  q.string(kx::as_cstring(arg[2]));
  q.send(arg[0]);
  return kx::py_none();
}

// (filters, fields): lists of dicts describing what views can be built from.
KX_FUNCTION(handleViewCaps, "m") {
  Reader r(arg[0]);
  Ref filters = kx::check(PyList_New(0));
  for (uint8_t n = r.u8(); n > 0; n--) {
    Ref d = kx::check(PyDict_New());
    kx::setitem(d.get(), n_filter, r.int8().get());
    kx::setitem(d.get(), n_name, r.string(256).get());
    kx::setitem(d.get(), n_type, r.int8().get());
    kx::setitem(d.get(), n_max, r.int16().get());
    kx::check_rc(PyList_Append(filters.get(), d.get()));
  }
  Ref fields = kx::check(PyList_New(0));
  for (uint8_t n = r.u8(); n > 0; n--) {
    Ref d = kx::check(PyDict_New());
    kx::setitem(d.get(), n_field, r.int8().get());
    kx::setitem(d.get(), n_name, r.string(256).get());
    kx::setitem(d.get(), n_display_prefix, r.string(256).get());
    kx::setitem(d.get(), n_type, r.int8().get());
    kx::setitem(d.get(), n_filter, r.int8().get());
    kx::setitem(d.get(), n_want_arg, r.int8().get());
    kx::check_rc(PyList_Append(fields.get(), d.get()));
  }
  return tuple2(filters, fields);
}

KX_FUNCTION(handleViewUpdateViewID, "m") {
  Reader r(arg[0]);
  return r.int16();
}

// A dropped byte, the field identifier and the value, read as the caller's
// description fields[id]["type"] says.
KX_FUNCTION(handleViewUpdateField, "m", "fields") {
  Reader r(arg[0]);
  r.u8();
  Ref id = r.int8();
  Ref desc = kx::getitem(arg[1], id.get());
  Ref type = kx::getitem(desc.get(), n_type);
  Ref value;
  switch (static_cast<uint8_t>(kx::as_long32(type.get()))) {
    case FIELD_HOST:
      value = r.ipaddr();
      break;
    case FIELD_SERVICE:
      value = kx::py_int(static_cast<int16_t>(r.u16()));
      break;
    case FIELD_INT:
      value = r.int16();
      break;
    case FIELD_STRING:
    case FIELD_UINT32:
      value = r.long32();
      break;
    case FIELD_BOOLEAN:
      value = Ref::borrowed(r.u8() ? Py_True : Py_False);
      break;
    default:
      kx::bad_message();
  }
  return tuple2(id, value);
}

// A presence mask and the groups it names: conns, speed (scaled by 8, modulo
// 2^64), six dropped words, rtt, cps.
KX_FUNCTION(handleViewUpdateData, "m") {
  Reader r(arg[0]);
  uint8_t mask = r.u8();
  Ref d = kx::check(PyDict_New());
  if (mask & 0x01) kx::setitem(d.get(), n_conns, r.long32().get());
  if (mask & 0x02) {
    Ref in = kx::py_u64(r.u64() * 8);
    Ref out = kx::py_u64(r.u64() * 8);
    kx::setitem(d.get(), n_speed, tuple2(in, out).get());
  }
  if (mask & 0x04)
    for (int i = 0; i < 6; i++) r.u32();
  if (mask & 0x08) {
    Ref a = r.long32();
    Ref b = r.long32();
    kx::setitem(d.get(), n_rtt, tuple2(a, b).get());
  }
  if (mask & 0x10) {
    Ref a = r.long32();
    Ref b = r.long32();
    kx::setitem(d.get(), n_cps, tuple2(a, b).get());
  }
  return d;
}


// Row operations until the message ends: a list of (op, item).
KX_FUNCTION(handleViewUpdate, "m", "fields") {
  Reader r(arg[0]);
  Ref ops = kx::check(PyList_New(0));
  uint8_t op;
  while (kx_msg_get_uint8(r.msg(), &op)) {
    Ref row = r.long32();
    Ref item;
    switch (op) {
      case 0: {
        Ref second = r.long32();
        Ref field = KX_CALL_MODULE_FUNCTION(handleViewUpdateField, arg[0], arg[1]);
        Ref data = KX_CALL_MODULE_FUNCTION(handleViewUpdateData, arg[0]);
        item = kx::check(PyTuple_Pack(4, row.get(), second.get(), field.get(), data.get()));
        break;
      }
      case 1: {
        Ref data = KX_CALL_MODULE_FUNCTION(handleViewUpdateData, arg[0]);
        item = tuple2(row, data);
        break;
      }
      case 2:
        item = row;
        break;
      case 3:
        item = tuple2(row, r.string(256));
        break;
      default:
        kx::bad_message_text(kx::Site(), "bad op");
    }
    Ref entry = tuple2(kx::py_int(op), item);
    kx::check_rc(PyList_Append(ops.get(), entry.get()));
  }
  return ops;
}

KX_FUNCTION(handleViewAddError, "m") {
  Reader r(arg[0]);
  Ref view = r.int16();
  return tuple2(view, r.string(256));
}

PyMethodDef kx_methods_views[] = {
    KX_METHOD(createView),
    KX_METHOD(createViewByName),
    KX_METHOD(handleViewCaps),
    KX_METHOD(handleViewUpdateViewID),
    KX_METHOD(handleViewUpdateField),
    KX_METHOD(handleViewUpdateData),
    KX_METHOD(handleViewUpdate),
    KX_METHOD(handleViewAddError),
    KX_METHODS_END,
};
