// Python operations (kxops.h).
#include "kxops.h"

namespace kx {

KX_NAME(append);
KX_NAME(int);
KX_NAME(len);
KX_NAME(True);
KX_NAME(False);

Ref call_args(PyObject *f, PyObject *const *args, size_t n, Site at) {
  return check(fast::call(f, args, n), at);
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

}  // namespace kx
