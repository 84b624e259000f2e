// The helper layer of KXdv17_0: entries, names, lookups, readers, requests.
#include "kxpy.h"
#include "../msgmodule/kxmsg_objects.h"

#include <frameobject.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <exception>
#include <new>

namespace kx {

PyObject *module_dict = nullptr;
PyObject *builtins_dict = nullptr;
PyTypeObject *msg_type = nullptr;

Name *Name::all_ = nullptr;

KX_NAME(BadMessageError);
KX_NAME(KXMsgv17_0);
KX_NAME(newMsg);
KX_NAME(writeMsg);
KX_NAME(append);
KX_NAME(int);
KX_NAME(len);
KX_NAME(True);
KX_NAME(False);

bool Name::init_all() {
  for (Name *n = all_; n; n = n->next_) {
    if (n->obj_) continue;
#if KX_PY3
    n->obj_ = PyUnicode_InternFromString(n->text_);
#else
    n->obj_ = PyString_InternFromString(n->text_);
#endif
    if (!n->obj_) return false;
  }
  return true;
}

Ref call_args(PyObject *f, PyObject *const *args, size_t n, Site at) {
  return check(fast::call(f, args, n), at);
}

void add_traceback(const char *funcname, Site at) {
  PyCodeObject *code = PyCode_NewEmpty(at.file, funcname, at.line);
  if (!code) return;
  PyFrameObject *frame = PyFrame_New(PyThreadState_GET(), code, module_dict, nullptr);
  if (frame) {
#if !KX_PY3
    // Python 3 takes the line of a fresh frame from its code's first line.
    frame->f_lineno = at.line;
#endif
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
  }
  Py_DECREF(code);
}

void exception_to_python(const char *funcname) {
  Site at;
  try {
    throw;
  } catch (const Error &e) {
    at = e.site;
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &e) {
    PyErr_Format(PyExc_SystemError, "%s: C++ exception: %s", funcname, e.what());
  } catch (...) {
    PyErr_Format(PyExc_SystemError, "%s: unknown C++ exception", funcname);
  }
  add_traceback(funcname, at);
}

// ---- lookups ---------------------------------------------------------------------

void unbound(const Name &name, Site at) {
  PyErr_SetObject(PyExc_NameError, name);
  fail(at);
}

// ---- numbers ---------------------------------------------------------------------

IntRun::IntRun(Site at)
    : real_(builtin(n_int, at).get() == reinterpret_cast<PyObject *>(&PyInt_Type)) {}

// The C values of two exact ints that fit a C long (under Python 2.7 its
// small int type): comparing them runs no Python code and gives what the
// interpreter's comparison of the two objects gives.
static bool exact_longs(PyObject *a, PyObject *b, long *x, long *y) {
#if KX_PY3
  if (!PyLong_CheckExact(a) || !PyLong_CheckExact(b)) return false;
  int over_a, over_b;
  *x = PyLong_AsLongAndOverflow(a, &over_a);
  *y = PyLong_AsLongAndOverflow(b, &over_b);
  return !over_a && !over_b;
#else
  if (!PyInt_CheckExact(a) || !PyInt_CheckExact(b)) return false;
  *x = PyInt_AS_LONG(a);
  *y = PyInt_AS_LONG(b);
  return true;
#endif
}

bool greater_equal(PyObject *a, PyObject *b, Site at) {
  long x, y;
  if (exact_longs(a, b, &x, &y)) return x >= y;
  Ref ge = check(PyObject_RichCompare(a, b, Py_GE), at);
  return truth(ge.get(), at);
}

// ---- conversions -------------------------------------------------------------------

#if KX_PY3
// Python 3's argument parser refuses a text with a zero byte for a C string.
static const char *without_zero(const char *s, Py_ssize_t n) {
  if (memchr(s, 0, static_cast<size_t>(n))) {
    PyErr_SetString(PyExc_ValueError, "embedded null character");
    return nullptr;
  }
  return s;
}

const char *text_chars(PyObject *o, Ref *keep) {
  if (PyUnicode_Check(o)) {
    Py_ssize_t n;
    // ASCII text is its own UTF-8, which the str object keeps.
    if (PyUnicode_IS_ASCII(o)) {
      const char *s = PyUnicode_AsUTF8AndSize(o, &n);
      return s ? without_zero(s, n) : nullptr;
    }
    *keep = Ref(PyUnicode_AsEncodedString(o, "utf-8", "surrogateescape"));
    if (!*keep) return nullptr;
    return without_zero(PyBytes_AS_STRING(keep->get()), PyBytes_GET_SIZE(keep->get()));
  }
  if (PyBytes_Check(o)) return without_zero(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
  PyErr_Format(PyExc_TypeError, "expected str or bytes, not %.200s", Py_TYPE(o)->tp_name);
  return nullptr;
}
#else
const char *text_chars(PyObject *o, Ref *) {
  return PyString_AsString(o);  // handles unicode through the default encoding
}
#endif

CText as_cstring(PyObject *o, Site at) {
  Ref keep;
  const char *s = text_chars(o, &keep);
  if (!s) fail(at);
  return CText(s, std::move(keep));
}

Data::Data(PyObject *o, const char *argname, Site at) {
#if KX_PY3
  // A str is text, not data, even though it could be encoded.
  if (PyUnicode_Check(o))
    raise_fmt(at, PyExc_TypeError, "%s must be a bytes-like object, not 'str'", argname);
  if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) < 0) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_fmt(at, PyExc_TypeError, "%s must be a bytes-like object, not '%.200s'", argname,
                Py_TYPE(o)->tp_name);
    }
    fail(at);
  }
  p_ = static_cast<const char *>(view_.buf);
  n_ = view_.len;
#else
  if (!PyString_Check(o))
    raise_fmt(at, PyExc_TypeError, "%s must be a byte string, not %.200s", argname,
              Py_TYPE(o)->tp_name);
  p_ = PyString_AS_STRING(o);
  n_ = PyString_GET_SIZE(o);
#endif
}

Data::~Data() {
#if KX_PY3
  if (p_) PyBuffer_Release(&view_);
#endif
}

bool cmp_at_least(PyObject *a, PyObject *b, Site at) {
  long x, y;
  if (exact_longs(a, b, &x, &y)) return x >= y;
#if KX_PY3
  int truth = PyObject_RichCompareBool(a, b, Py_GE);
  check_rc(truth, at);
  return truth != 0;
#else
  int order = PyObject_Compare(a, b);
  if (PyErr_Occurred()) fail(at);
  return order >= 0;
#endif
}

KX_NAME(has_key);

bool has_key(PyObject *mapping, PyObject *key, Site at) {
#if KX_PY3
  int truth = PySequence_Contains(mapping, key);
#else
  Ref answer = check(PyObject_CallMethodObjArgs(mapping, n_has_key.get(), key, nullptr), at);
  int truth = PyObject_IsTrue(answer.get());
#endif
  check_rc(truth, at);
  return truth != 0;
}

int32_t as_long32_any(PyObject *o, Site at) {
  // The interpreter's argument parser refuses floats for its integer codes.
#if KX_PY3
  if (PyFloat_Check(o))
    raise_fmt(at, PyExc_TypeError, "'float' object cannot be interpreted as an integer");
#else
  if (PyFloat_Check(o)) raise_fmt(at, PyExc_TypeError, "integer argument expected, got float");
#endif
  long v = PyInt_AsLong(o);
  if (v == -1 && PyErr_Occurred()) fail(at);
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    fail(at);
  }
  return static_cast<int32_t>(v);
}

uint64_t as_mask64(PyObject *o, Site at) {
  Ref index = check(PyNumber_Index(o), at);
  unsigned long long v = PyInt_AsUnsignedLongLongMask(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail(at);
  return v;
}

void append_to(PyObject *list, PyObject *item, Site at) {
  if (PyList_CheckExact(list))
    list_append(list, item, at);
  else
    check(PyObject_CallMethodObjArgs(list, n_append.get(), item, nullptr), at);
}

void append_to_attr(PyObject *obj, const Name &attr, PyObject *item, Site at) {
  Ref list = getattr(obj, attr, at);
  append_to(list.get(), item, at);
}

void set_empty_list(PyObject *obj, const Name &attr, Site at) {
  setattr(obj, attr, new_list(0, at).get(), at);
}

bool truth(PyObject *o, Site at) {
  int t = PyObject_IsTrue(o);
  check_rc(t, at);
  return t != 0;
}

Ref builtin_int(PyObject *v, Site at) {
  Ref f = builtin(n_int, at);
  if (f.get() == reinterpret_cast<PyObject *>(&PyInt_Type)) return check(PyNumber_Int(v), at);
  return call_at(at, f.get(), v);
}

Ref builtin_int(uint32_t v, Site at) {
  Ref f = builtin(n_int, at);
  if (f.get() == reinterpret_cast<PyObject *>(&PyInt_Type)) return check(new_int_u32(v), at);
  Ref wide = py_u32(v, at);
  return call_at(at, f.get(), wide);
}

Py_ssize_t builtin_len(PyObject *o, Site at) {
  Ref size = call_at(at, builtin(n_len, at).get(), o);
  Py_ssize_t n = PyInt_AsSsize_t(size.get());
  if (n == -1 && PyErr_Occurred()) fail(at);
  return n;
}

Ref builtin_truth(bool v, Site at) { return builtin(v ? n_True : n_False, at); }

void unpack(PyObject *seq, Ref *out, size_t n, Site at) {
  if ((PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) && Py_SIZE(seq) == Py_ssize_t(n)) {
    PyObject **items = PySequence_Fast_ITEMS(seq);
    for (size_t i = 0; i < n; i++) out[i] = Ref::borrowed(items[i]);
    return;
  }
  Ref it = check(PyObject_GetIter(seq), at);
  for (size_t i = 0; i < n; i++) {
    out[i] = Ref(PyIter_Next(it.get()));
    if (!out[i]) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "unpack sequence of wrong size");
      fail(at);
    }
  }
  Ref extra(PyIter_Next(it.get()));
  if (extra || PyErr_Occurred()) {
    if (extra) PyErr_SetString(PyExc_ValueError, "unpack sequence of wrong size");
    fail(at);
  }
}

// ---- raising ---------------------------------------------------------------------------

// A str made by the interpreter's printf-like formatting.
static PyObject *str_from_format(const char *format, va_list ap) {
#if KX_PY3
  return PyUnicode_FromFormatV(format, ap);
#else
  return PyString_FromFormatV(format, ap);
#endif
}

// Sets the current exception to a new instance of `cls` (called with `arg`
// when given); an instance of a non-exception class raises TypeError instead.
static void set_new(PyObject *cls, PyObject *arg) {
  Ref inst(arg ? PyObject_CallFunctionObjArgs(cls, arg, nullptr)
               : PyObject_CallFunctionObjArgs(cls, nullptr));
  if (!inst) return;
  if (PyExceptionInstance_Check(inst.get())) {
    PyErr_SetObject(PyExceptionInstance_Class(inst.get()), inst.get());
  } else {
#if KX_PY3
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
#else
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be old-style classes or derived from BaseException, not %.200s",
                 Py_TYPE(inst.get())->tp_name);
#endif
  }
}

// Raises an instance: calls `cls` with the argument and raises the result.
[[noreturn]] static void raise_new(PyObject *cls, PyObject *arg, Site at) {
  set_new(cls, arg);
  fail(at);
}

void bad_message(Site at) { raise_new(global(n_BadMessageError, at).get(), nullptr, at); }

void bad_message_text(Site at, const char *format, ...) {
  Ref cls = global(n_BadMessageError, at);
  va_list ap;
  va_start(ap, format);
  Ref text = check(str_from_format(format, ap), at);
  va_end(ap);
  raise_new(cls.get(), text.get(), at);
}

void raise_fmt(Site at, PyObject *exc, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  Ref text(str_from_format(format, ap));
  va_end(ap);
  if (text) PyErr_SetObject(exc, text.get());
  fail(at);
}

// The part of a type's name after its last dot ("KXMsgv17_0.KXMsg" -> "KXMsg").
static const char *short_name(PyTypeObject *t) {
  const char *dot = strrchr(t->tp_name, '.');
  return dot ? dot + 1 : t->tp_name;
}

// ---- messages --------------------------------------------------------------------------


static kx_msg_t *msg_of(PyObject *o) {
  kx_msg_t *m = reinterpret_cast<KXMsgObject *>(o)->msg;
  // Worded as the support library words a failed check: the expanded
  // condition and two spaces.
  if (!m) kx_bug(__FILE__, __LINE__, __func__, "%s  ", "msg == ((void *)0)");
  return m;
}

kx_msg_t *message_arg(PyObject *m, const char *argname, Site at) {
  if (!msg_type) raise_fmt(at, PyExc_SystemError, "Missing type object");
  if (m == Py_None || !PyObject_TypeCheck(m, msg_type))
    raise_fmt(at, PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", argname,
              short_name(msg_type), short_name(Py_TYPE(m)));
  return msg_of(m);
}

Ref Reader::string(uint32_t bufsize, Site at) {
  // The text is made from the kept bytes where they stand in the message (no
  // Python code runs between taking them and making it) and ends at the
  // first zero among them.
  uint32_t kept;
  const uint8_t *p = try_take_string(bufsize, &kept);
  if (!p) bad_message(at);
  const void *zero = memchr(p, 0, kept);
  size_t len = zero ? static_cast<size_t>(static_cast<const uint8_t *>(zero) - p) : kept;
  return py_str(reinterpret_cast<const char *>(p), static_cast<Py_ssize_t>(len), at);
}

uint64_t Reader::number(uint32_t width, bool is_signed, Site at) {
  switch (width) {
    case 1: return is_signed ? static_cast<uint64_t>(static_cast<int8_t>(u8(at))) : u8(at);
    case 2: return is_signed ? static_cast<uint64_t>(static_cast<int16_t>(u16(at))) : u16(at);
    case 4: return is_signed ? static_cast<uint64_t>(static_cast<int32_t>(u32(at))) : u32(at);
    case 8: return u64(at);
  }
  kx_bug(__FILE__, __LINE__, __func__, "a number of %u bytes", width);
  return 0;
}

Ref Reader::bytes(uint32_t n, Site at) {
  if (remaining() < n) bad_message(at);
  Ref data_bytes = check(PyBytes_FromStringAndSize(nullptr, n), at);
  data(PyBytes_AS_STRING(data_bytes.get()), n, at);
  return data_bytes;
}

bool Reader::family(const char *unknown, Site at) {
  uint8_t f = u8(at);
  if (f > 1) {
    if (unknown) bad_message_text(at, unknown, f);
    bad_message(at);
  }
  return f == 1;
}

// Reports a short address field from the internal reader `fn` and from the
// handler that called it.
[[noreturn]] static void bad_address(const char *fn, Site inner, Site at) {
  set_new(global(n_BadMessageError, at).get(), nullptr);
  add_traceback(fn, inner);
  fail(at);
}

// The decimal text of every octet followed by a dot, and its length: an
// address is four copies from it, one four-byte word each.
struct OctetText {
  char text[256][4];  // text[v]: "v." (unused bytes after the dot)
  uint8_t len[256];
  OctetText() {
    for (unsigned v = 0; v < 256; v++) {
      char buf[4];
      int n = 0;
      if (v >= 100) buf[n++] = static_cast<char>('0' + v / 100);
      if (v >= 10) buf[n++] = static_cast<char>('0' + v / 10 % 10);
      buf[n++] = static_cast<char>('0' + v % 10);
      buf[n++] = '.';
      for (int i = 0; i < 4; i++) text[v][i] = i < n ? buf[i] : '.';
      len[v] = static_cast<uint8_t>(n);
    }
  }
};
static const OctetText kOctets;

static char *put_octet(char *p, unsigned v) {
  memcpy(p, kOctets.text[v], 4);
  return p + kOctets.len[v];
}

// Appends v in lowercase hex without leading zeros.
static char *put_hex(char *p, unsigned v) {
  static const char digits[] = "0123456789abcdef";
  int shift = 12;
  while (shift > 0 && !(v >> shift)) shift -= 4;
  for (; shift >= 0; shift -= 4) *p++ = digits[(v >> shift) & 0xf];
  return p;
}

// Address text, ASCII only: under Python 3 the str is made at its size and
// the characters copied in, as decoding them would give.
static Ref address_text(const char *s, Py_ssize_t n, Site at) {
#if KX_PY3
  Ref text = check(PyUnicode_New(n, 127), at);
  memcpy(PyUnicode_1BYTE_DATA(text.get()), s, static_cast<size_t>(n));
  return text;
#else
  return py_str(s, n, at);
#endif
}

// "%d.%d.%d.%d" of an IPv4 address, octets from the most significant.
static Ref v4_text(uint32_t a, Site at) {
  char text[20];
  char *p = text;
  p = put_octet(p, a >> 24);
  p = put_octet(p, (a >> 16) & 0xff);
  p = put_octet(p, (a >> 8) & 0xff);
  p = put_octet(p, a & 0xff);
  return address_text(text, p - 1 - text, at);
}

Ref Reader::v4addr(Site at) {
  uint32_t a;
  if (!kx_msg_get_uint32(m_, &a)) bad_address("KXdv17_0._get_v4addr", Site(), at);
  return v4_text(a, at);
}

Ref Reader::v6addr(Site at) {
  uint32_t w[4];
  for (uint32_t &word : w)
    if (!kx_msg_get_uint32(m_, &word)) bad_address("KXdv17_0._get_v6addr", Site(), at);
  char text[40];  // "%x:%x:%x:%x:%x:%x:%x:%x", never compressed
  char *p = text;
  for (uint32_t word : w) {
    p = put_hex(p, word >> 16);
    *p++ = ':';
    p = put_hex(p, word & 0xffff);
    *p++ = ':';
  }
  return address_text(text, p - 1 - text, at);
}

Ref Reader::ipaddr(Site at) {
  // A whole IPv4 field: the library's text of it, made here.
  if (has(5) && m_->data[m_->pos] == KX_IPADDR_TYPE_V4) {
    const uint8_t *p = try_take(5);
    return v4_text(load<uint32_t>(p + 1), at);
  }
  kx_ipaddr_t ip;
  if (!kx_msg_get_ipaddr(m_, &ip)) bad_message(at);
  char text[128];
  return py_str(kx_ipaddr_tostring(&ip, text, sizeof text), at);
}

Ref Reader::ipaddrplen(Site at) {
  kx_ipaddrplen_t ip;
  if (!kx_msg_get_ipaddrplen(m_, &ip)) bad_message(at);
  char text[128];
  return py_str(kx_ipaddrplen_tostring(&ip, text, sizeof text), at);
}

// ---- field tables -------------------------------------------------------------------------

// int(value) * 8 in Python arithmetic, so the largest u32 gives 34359738360
// rather than wrapping.
Ref rows::times_eight(const Ref &value, Site at) {
  Ref eight = py_int(8, at);
  Ref v = builtin_int(value.get(), at);
  return check(PyNumber_Multiply(v.get(), eight.get()), at);
}

Ref rows::u32_pairs(Reader &r, Site at) {
  uint32_t n = r.u32(at);
  Ref list = new_list(0, at);
  for (uint32_t i = 0; i < n; i++) {
    Ref a = r.long32(at);
    Ref b = r.long32(at);
    list_append(list.get(), pair(a, b, at).get(), at);
  }
  return list;
}

// The value of one field of a kind read on its own; inlined into the table loop.
static inline __attribute__((always_inline)) Ref value_of(Reader &r, Kind k, uint32_t arg,
                                                          Site at) {
  switch (k) {
    case Kind::u8: return r.int8(at);
    case Kind::u16: return r.int16(at);
    case Kind::u32: return r.long32(at);
    case Kind::u64: return r.long64(at);
    case Kind::s32: return py_int(static_cast<int32_t>(r.u32(at)), at);
    case Kind::s16: return py_int(static_cast<int16_t>(r.u16(at)), at);
    case Kind::boolean: return py_bool(r.u8(at) != 0);
    case Kind::string: return r.string(arg, at);
    case Kind::ip4: return r.v4addr(at);
    case Kind::ipaddr: return r.ipaddr(at);
    case Kind::ipaddrplen: return r.ipaddrplen(at);
    case Kind::bps: return rows::times_eight(r.long32(at), at);
    case Kind::absent: return py_int(0, at);
    case Kind::u32_pairs: return rows::u32_pairs(r, at);
    case Kind::id: return builtin_int(r.u32(at), at);
    case Kind::family:
    case Kind::addr:
    case Kind::pair:
    case Kind::skip:
    case Kind::run:
    case Kind::list:
    case Kind::skip_text:
    case Kind::skip_if:
    case Kind::skip_family:
    case Kind::skip_addr:
    case Kind::repeat:
    case Kind::skip_since:
    case Kind::skip_words:
    case Kind::blob: break;
  }
  kx_bug(__FILE__, __LINE__, __func__, "kind %d is not read on its own", static_cast<int>(k));
  return Ref();
}

Ref read_value(Reader &r, Kind k, uint32_t arg, Site at) { return value_of(r, k, arg, at); }

namespace {
// A flags word (its top bit returned as a bool), then (id, name) records
// while a whole id remains.
constexpr Field kIdNamesHead_rows[] = {{"flags", Kind::u32, 0}};
const Table<kIdNamesHead_rows> kIdNamesHead;
constexpr Field kIdName_rows[] = {{"id", Kind::u32, 0}, {"name", Kind::string, 256}};
const Table<kIdName_rows> kIdName;
}  // namespace

Ref read_id_names(Reader &r, void (*store)(PyObject *table, const Ref &id, const Ref &name),
                  Site at) {
  bool flag = (read_number(r, kIdNamesHead, at) & 0x80000000u) != 0;
  Ref table = new_dict(at);
  while (r.has(rows::fixed_width(kIdName_rows[0]))) {
    Ref record[2];
    read_values(r, kIdName, record, at);
    store(table.get(), record[0], record[1]);
  }
  return tuple(table, builtin_truth(flag, at));
}

// ---- requests ----------------------------------------------------------------------------

Request::Request(uint32_t type, Site at) {
  Ref factory = getattr(global(n_KXMsgv17_0, at).get(), n_newMsg, at);
  Ref typenum = check(PyInt_FromLong(type), at);
  obj_ = call_at(at, factory.get(), typenum);
  PyObject *o = obj_.get();
  if (!msg_type) raise_fmt(at, PyExc_SystemError, "Missing type object");
  // A builder has nothing to fill when the factory gives None: refuse it too.
  if (o == Py_None || !PyObject_TypeCheck(o, msg_type))
    raise_fmt(at, PyExc_TypeError, "Cannot convert %s to %s", short_name(Py_TYPE(o)),
              short_name(msg_type));
  m_ = msg_of(o);
}

void Request::put(kxp::WireKind kind, const Value &v, Site at) {
  switch (kind) {
    case kxp::kind_u8: u8(static_cast<uint8_t>(v.n), at); return;
    case kxp::kind_u16: u16(static_cast<uint16_t>(v.n), at); return;
    case kxp::kind_u32:
    case kxp::kind_ip4: u32(static_cast<uint32_t>(v.n), at); return;
    case kxp::kind_u64:
    case kxp::kind_s64: u64(v.n, at); return;
    case kxp::kind_string: string(v.text, at); return;
    case kxp::kind_blob:
      u32(v.size, at);
      data(v.data, v.size, at);
      return;
    case kxp::kind_ipaddr:
      u8(KX_IPADDR_TYPE_V4, at);
      u32(static_cast<uint32_t>(v.n), at);
      return;
    default: break;
  }
  kx_bug(__FILE__, __LINE__, __func__, "a field of kind %d is not written from one value", static_cast<int>(kind));
}

void Request::fits(void *put_result, Site at) {
  if (!put_result) raise_fmt(at, PyExc_ValueError, "request does not fit in one message");
}

void Request::ip(PyObject *text, Site at) {
  Site here;
  Ref keep;
  const char *s = text_chars(text, &keep);
  kx_ipaddrplen_t ip;
  memset(&ip, 0, sizeof ip);
  bool parsed = false;
  if (s) {
    if (kx_stringtoip_ip4_optplen(s, &ip.address[0], &ip.plen, 32)) {
      ip.ip_type = KX_IPADDR_TYPE_V4;
      parsed = true;
    } else {
      // An IPv6 text whose parse stops at a '.' has a dotted tail the parser
      // does not take (::ffff:10.0.0.1); sending the part before it would
      // name another address.
      const char *end = kx_stringtoip_ip6_u32_optplen(s, ip.address, &ip.plen, 128);
      if (end && *end != '.') {
        ip.ip_type = KX_IPADDR_TYPE_V6;
        parsed = true;
      }
    }
    if (!parsed) PyErr_SetString(PyExc_ValueError, "Unparsable ip address");
  }
  if (!parsed) {
    add_traceback("KXdv17_0._put_ip", here);
    fail(at);
  }
  fits(kx_msg_put_ipaddrplen(m_, &ip), at);
}

void Request::send(PyObject *io, Site at) {
  Ref write = getattr(io, n_writeMsg, at);
  call_at(at, write.get(), obj_);
}

// ---- entries ------------------------------------------------------------------------------

// The arguments of a call that passes any by keyword, or not exactly
// nparams, as the interpreter's parser takes them: every one an object ("O"
// once per keyword name), the function named after ":" for its messages.
static bool parse(const char *tbname, const char *const *kwlist, size_t nparams, PyObject *args, PyObject *kw,
                  PyObject **arg) {
  static_assert(kMaxArgs == 6, "the parser below fills six argument slots");
  char format[80];
  memset(format, 'O', nparams);
  snprintf(format + nparams, sizeof format - nparams, ":%s", tbname + sizeof "KXdv17_0." - 1);
  return PyArg_ParseTupleAndKeywords(args, kw, format, const_cast<char **>(kwlist), &arg[0], &arg[1], &arg[2],
                                     &arg[3], &arg[4], &arg[5]) != 0;
}

PyObject *entry(const char *tbname, const char *const *kwlist, size_t nparams, KX_ENTRY_PARAMS, Impl impl) {
  PyObject *arg[kMaxArgs] = {};
#if KX_PY3
  Ref tuple, kw;  // what the parser's arguments are lent from
  if (!kwnames && nargs == Py_ssize_t(nparams)) {
    // All arguments by position: nothing for the parser to check.
    for (size_t i = 0; i < nparams; i++) arg[i] = args[i];
  } else {
    tuple = Ref(PyTuple_New(nargs));
    bool made = bool(tuple);
    for (Py_ssize_t i = 0; made && i < nargs; i++) PyTuple_SET_ITEM(tuple.get(), i, Ref::borrowed(args[i]).release());
    if (made && kwnames && PyTuple_GET_SIZE(kwnames)) {
      kw = Ref(PyDict_New());
      made = bool(kw);
      for (Py_ssize_t i = 0; made && i < PyTuple_GET_SIZE(kwnames); i++)
        made = PyDict_SetItem(kw.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) == 0;
    }
    if (!made || !parse(tbname, kwlist, nparams, tuple.get(), kw.get(), arg)) {
      add_traceback(tbname, Site());
      return nullptr;
    }
  }
#else
  if (!kw && PyTuple_GET_SIZE(args) == Py_ssize_t(nparams)) {
    // All arguments by position: nothing for the parser to check.
    for (size_t i = 0; i < nparams; i++) arg[i] = PyTuple_GET_ITEM(args, i);
  } else if (!parse(tbname, kwlist, nparams, args, kw, arg)) {
    add_traceback(tbname, Site());
    return nullptr;
  }
#endif
  // The parser lends the arguments from the keyword dict, which Python 2.7
  // and 3.8 hand over as the caller's own for f(**kw): code the call runs
  // may empty it. Every argument is held until the call returns.
  struct Held {
    PyObject *const *arg;
    size_t n;
    ~Held() {
      for (size_t i = 0; i < n; i++) Py_XDECREF(arg[i]);
    }
  } held{arg, nparams};
  for (size_t i = 0; i < nparams; i++) Py_XINCREF(arg[i]);
  try {
    return impl(arg).release();
  } catch (...) {
    exception_to_python(tbname);
    return nullptr;
  }
}

}  // namespace kx
