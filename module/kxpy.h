// The helper layer every KXdv17_0 function is written with.
//
// A module function is declared with KX_FUNCTION(name, "kw1", "kw2", ...) and
// its body reads its fields through a Reader or fills a Request. Errors travel
// as C++ exceptions (kx::Error) once the Python error indicator is set; the
// function entry catches them, adds the "KXdv17_0.<name>" traceback entry and
// returns NULL. Every reference a body holds is a kx::Ref, released on every
// path, so no body counts references by hand.
#ifndef KX_MODULE_KXPY_H
#define KX_MODULE_KXPY_H

#include <Python.h>
#if PY_MAJOR_VERSION < 3
#include <longintrepr.h>  // the layout of a long, for new_ulong
#endif

#include <stddef.h>
#include <stdint.h>
#include <initializer_list>
#include <utility>

#include "kx_msg.h"

namespace kx {

// Where a failing statement stands: captured at the call site through default
// arguments, and shown in the Python traceback entry.
struct Site {
  const char *file;
  int line;
  Site(const char *f = __builtin_FILE(), int l = __builtin_LINE()) : file(f), line(l) {}
};

// A Python exception is set; unwinds to the function entry.
struct Error {
  Site site;
};

[[noreturn]] inline void fail(Site at = Site()) { throw Error{at}; }

// Adds one traceback entry named `funcname` at `at` to the current exception.
void add_traceback(const char *funcname, Site at);

// ---- owned references ----------------------------------------------------------

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject *owned) : p_(owned) {}
  static Ref borrowed(PyObject *p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref &o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref &operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject *get() const { return p_; }
  PyObject *release() {
    PyObject *p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject *p_ = nullptr;
};

inline PyObject *ptr(PyObject *p) { return p; }
inline PyObject *ptr(const Ref &r) { return r.get(); }

// Takes the new reference a C-API call returned; null means an exception is set.
inline Ref check(PyObject *p, Site at = Site()) {
  if (!p) fail(at);
  return Ref(p);
}
inline void check_rc(int rc, Site at = Site()) {
  if (rc < 0) fail(at);
}

// ---- names made once at import ---------------------------------------------------

// An interned string created when the module is imported. Declare them at file
// scope (KX_NAME) and use them wherever an attribute, key or global is named.
class Name {
 public:
  explicit Name(const char *text) : text_(text), next_(all_) { all_ = this; }
  Name(const Name &) = delete;
  Name &operator=(const Name &) = delete;
  PyObject *get() const { return obj_; }
  operator PyObject *() const { return obj_; }
  const char *text() const { return text_; }
  // Interns every declared name; false with an exception set on failure.
  static bool init_all();

  // The value bound to this name in the module namespace (which 0) or the
  // built-ins' (which 1), borrowed; null when unbound. As PyDict_GetItem.
  PyObject *bound_in(PyObject *dict, int which) const;

  // True when a lookup of this name along the MRO of `type` finds nothing
  // (no class attribute, property or slot of that name), for setattr below.
  bool absent_from(PyTypeObject *type) const {
    if (type == absent_type_ && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
        type->tp_version_tag == absent_tag_)
      return true;
    return lookup_absent(type);
  }

 private:
  bool lookup_absent(PyTypeObject *type) const;
  const char *text_;
  PyObject *obj_ = nullptr;
  Name *next_;
  static Name *all_;
  // The last type absent_from looked at and found without the name, with
  // the version tag it had then (owned, so that the address is never reused
  // for another type while it is remembered).
  mutable PyTypeObject *absent_type_ = nullptr;
  mutable unsigned int absent_tag_ = 0;
  // Where bound_in last found the name in each namespace: the table the dict
  // had then and the entry in it.
  mutable void *found_table_[2] = {nullptr, nullptr};
  mutable void *found_entry_[2] = {nullptr, nullptr};
};

#define KX_NAME(id) static kx::Name n_##id(#id)

// ---- module state ----------------------------------------------------------------

extern PyObject *module_dict;    // KXdv17_0's namespace (the module lives forever)
extern PyObject *builtins_dict;  // the __builtin__ module's namespace
extern PyTypeObject *msg_type;   // KXMsgv17_0.KXMsg, taken at import
extern PyTypeObject *ringbuf_type;

// A module global, looked up now in the module namespace (then the built-ins).
Ref global(const Name &name, Site at = Site());
// A built-in name, looked up now in the __builtin__ module.
Ref builtin(const Name &name, Site at = Site());

// ---- Python operations that throw on failure ----------------------------------------
//
// These run once or more per decoded record, so the common cases take
// shortcuts; each is noted where it is taken, with why it gives the same
// result as the generic entry point it stands for.

// A new tuple owning the given references (stolen, including on failure).
template <class... A>
Ref tuple(Site at, A... items) {
  Ref t(PyTuple_New(sizeof...(A)));
  if (!t) fail(at);  // the Refs release the items
  Py_ssize_t i = 0;
  (void)std::initializer_list<int>{(PyTuple_SET_ITEM(t.get(), i++, items.release()), 0)...};
  return t;
}
inline Ref pair(Ref a, Ref b, Site at = Site()) { return tuple(at, std::move(a), std::move(b)); }

// f(args[0], ..., args[n-1]), as PyObject_Call(f, tuple of the args, NULL)
// (what PyObject_CallFunctionObjArgs does). See call_args in kxpy.cpp for
// the common callables it calls without making the argument tuple.
Ref call_args(PyObject *f, PyObject *const *args, size_t n, Site at = Site());
// Prepares call_args at import; false with an exception set on failure.
bool init_calls();

template <class... A>
Ref call_at(Site at, PyObject *f, const A &...a) {
  PyObject *const args[sizeof...(A) + 1] = {ptr(a)..., nullptr};
  return call_args(f, args, sizeof...(A), at);
}
// KX_CALL(f, args...): f(*args), the call site recorded for the traceback.
#define KX_CALL(...) kx::call_at(kx::Site(), __VA_ARGS__)

// o.name. PyObject_GetAttr interns the name and calls the type's
// tp_getattro; a Name is interned already, so the slot is called directly.
inline Ref getattr(PyObject *o, const Name &name, Site at = Site()) {
  getattrofunc get = Py_TYPE(o)->tp_getattro;
  return check(get ? get(o, name) : PyObject_GetAttr(o, name), at);
}
inline Ref getattr(PyObject *o, PyObject *name, Site at = Site()) {
  return check(PyObject_GetAttr(o, name), at);
}

// o.name(a...), as PyObject_CallMethodObjArgs(o, name, a..., NULL).
template <class... A>
Ref call_method_at(Site at, PyObject *o, const Name &name, const A &...a) {
  Ref f = getattr(o, name, at);
  return call_at(at, f.get(), a...);
}
#define KX_CALL_METHOD(...) kx::call_method_at(kx::Site(), __VA_ARGS__)

// Falls back to the type's store slot (see setattr below).
void setattr_slot(PyObject *o, const Name &name, PyObject *value, Site at);

// o.name = value. PyObject_SetAttr interns the name and calls the type's
// tp_setattro; a Name is interned already, so the slot is called directly.
// For an instance whose type keeps the generic store (no __setattr__ of its
// own) and holds its attributes in a __dict__ (Python 2.7), the generic store
// looks the name up along the type's MRO for a descriptor that would take
// the store (a property, a __slots__ member, any class attribute), and finding
// none puts the value into the instance dict with PyDict_SetItem. The Name
// remembers the last type where that lookup found nothing and the type's
// version tag then; the interpreter invalidates the tag whenever the type or
// one of its bases changes, so while it is valid and equal the lookup would
// find nothing again, and the value goes to the dict directly. Anything else
// (no dict yet, another type, a class attribute of that name) takes the slot.
inline void setattr(PyObject *o, const Name &name, PyObject *value, Site at = Site()) {
#if PY_MAJOR_VERSION < 3
  PyTypeObject *tp = Py_TYPE(o);
  if (tp->tp_setattro == PyObject_GenericSetAttr && tp->tp_dictoffset > 0 && value) {
    PyObject *dict = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + tp->tp_dictoffset);
    if (dict && name.absent_from(tp)) {
      Py_INCREF(dict);  // as the generic store: the insertion may replace __dict__
      int rc = PyDict_SetItem(dict, name, value);
      Py_DECREF(dict);
      check_rc(rc, at);
      return;
    }
  }
#endif
  setattr_slot(o, name, value, at);
}
inline void setattr(PyObject *o, PyObject *name, PyObject *value, Site at = Site()) {
  check_rc(PyObject_SetAttr(o, name, value), at);
}

inline Ref getitem(PyObject *o, PyObject *key, Site at = Site()) {
  return check(PyObject_GetItem(o, key), at);
}
// PyDict_SetItem(dict, key, value) for an exact dict; see kxpy.cpp for the
// stores it does itself.
int dict_store(PyObject *dict, PyObject *key, PyObject *value);

// o[key] = value. An exact dict's item store is PyDict_SetItem, which
// PyObject_SetItem reaches through the type's mapping slot; a subclass (which
// may override __setitem__) and anything else take the generic entry.
inline void setitem(PyObject *o, PyObject *key, PyObject *value, Site at = Site()) {
  check_rc(PyDict_CheckExact(o) ? dict_store(o, key, value) : PyObject_SetItem(o, key, value), at);
}
// list.append(item) for a list the caller made (an exact list): a free
// slot takes the item directly, as PyList_Append would after its checks.
inline void append(PyObject *list, PyObject *item, Site at = Site()) {
  PyListObject *l = reinterpret_cast<PyListObject *>(list);
  if (Py_SIZE(l) < l->allocated) {
    Py_INCREF(item);
    PyList_SET_ITEM(list, Py_SIZE(l), item);
    Py_SIZE(l)++;
    return;
  }
  check_rc(PyList_Append(list, item), at);
}
inline void delitem(PyObject *o, PyObject *key, Site at = Site()) {
  check_rc(PyObject_DelItem(o, key), at);
}

// Wire numbers: 8 and 16 bits become ints, 32 and 64 bits longs.
//
// Python 2.7 makes a long of a C unsigned value by allocating a long of as
// many 30-bit digits as the value needs and filling them, with no cache of
// small values; new_ulong does the same inline, without the three calls per
// value. Elsewhere the interpreter's own function.
#if PY_MAJOR_VERSION < 3 && PYLONG_BITS_IN_DIGIT == 30
inline PyObject *new_ulong(uint64_t v) {
  // Digits: one per started 30 bits of the value (none for 0).
  Py_ssize_t n = v ? (64 + 29 - __builtin_clzll(v)) / 30 : 0;
  // _PyObject_VAR_SIZE of the long type: header and digits rounded to a pointer.
  size_t size = (offsetof(PyLongObject, ob_digit) + n * sizeof(digit) + SIZEOF_VOID_P - 1) &
                ~size_t(SIZEOF_VOID_P - 1);
  PyLongObject *l = static_cast<PyLongObject *>(PyObject_MALLOC(size));
  if (!l) return PyErr_NoMemory();
  PyObject_INIT_VAR(l, &PyLong_Type, n);
  // Writing the unused digits too is harmless: the block has room for two
  // whenever it has room for one, and for three when the value needs three.
  digit *d = l->ob_digit;
  if (n) {
    d[0] = static_cast<digit>(v & PyLong_MASK);
    d[1] = static_cast<digit>((v >> 30) & PyLong_MASK);
    if (n == 3) d[2] = static_cast<digit>(v >> 60);
  }
  return reinterpret_cast<PyObject *>(l);
}
// The same for a signed value: the digits of its magnitude, the size negated.
inline PyObject *new_slong(int64_t v) {
  if (v >= 0) return new_ulong(static_cast<uint64_t>(v));
  PyObject *l = new_ulong(0 - static_cast<uint64_t>(v));
  if (l) Py_SIZE(l) = -Py_SIZE(l);
  return l;
}
#else
inline PyObject *new_ulong(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject *new_slong(int64_t v) { return PyLong_FromLongLong(v); }
#endif

// (a, b) of two new longs, without a reference wrapper per value.
template <class T>
inline Ref long_pair(T a, T b, Site at = Site()) {
  static_assert(sizeof(T) == 8, "64-bit values; narrower ones convert");
  PyObject *x = T(-1) < T(0) ? new_slong(a) : new_ulong(a);
  if (!x) fail(at);
  PyObject *y = T(-1) < T(0) ? new_slong(b) : new_ulong(b);
  PyObject *t = y ? PyTuple_New(2) : nullptr;
  if (!t) {
    Py_DECREF(x);
    Py_XDECREF(y);
    fail(at);
  }
  PyTuple_SET_ITEM(t, 0, x);
  PyTuple_SET_ITEM(t, 1, y);
  return Ref(t);
}
inline Ref long_pair(uint32_t a, uint32_t b, Site at = Site()) {
  return long_pair<uint64_t>(a, b, at);
}
inline Ref py_int(long v, Site at = Site()) { return check(PyInt_FromLong(v), at); }
inline Ref py_u32(uint32_t v, Site at = Site()) { return check(new_ulong(v), at); }
inline Ref py_u64(uint64_t v, Site at = Site()) { return check(new_ulong(v), at); }

// int(v) of a wire u32, the built-in `int` looked up now. While that is the
// interpreter's own int type the call would give PyInt_FromSize_t(v) (a u32
// fits an int on every host), so that is made without the call.
Ref int_of(uint32_t v, Site at = Site());

// int(v) for each value of a run in which no Python code can run between
// two values (only numbers are made and stored into new containers): the
// built-in `int` is looked up once, at the start of the run. While it is
// the interpreter's own int type no value can rebind it, so every value is
// made directly; otherwise each value looks it up and calls it (the call may
// rebind it for the next one).
class IntRun {
 public:
  explicit IntRun(Site at = Site());
  Ref operator()(uint32_t v, Site at = Site()) const {
    return real_ ? check(PyInt_FromSize_t(v), at) : int_of(v, at);
  }

 private:
  bool real_;
};

// a >= b (PyObject_RichCompare and truth) and cmp(a, b) >= 0
// (PyObject_Compare). Both plain ints: the interpreter compares their C longs
// without calling anything, and so do these.
bool greater_equal(PyObject *a, PyObject *b, Site at = Site());
bool cmp_at_least(PyObject *a, PyObject *b, Site at = Site());

inline Ref py_str(const char *s, Py_ssize_t n, Site at = Site()) {
  return check(PyString_FromStringAndSize(s, n), at);
}
inline Ref py_str(const char *s, Site at = Site()) { return check(PyString_FromString(s), at); }
inline Ref py_none() { return Ref::borrowed(Py_None); }

// The interpreter's string conversion: a str as is, a unicode object through
// the default encoding, anything else TypeError. Valid while `o` lives.
const char *as_cstring(PyObject *o, Site at = Site());
// A signed 32-bit long (the target platform's C long): OverflowError outside
// -2147483648..2147483647 on every host.
int32_t as_long32(PyObject *o, Site at = Site());
// The low 64 bits of an integer (narrower fields cast the result down);
// anything that is not an integer, floats included, raises TypeError.
uint64_t as_mask64(PyObject *o, Site at = Site());

// Unpacks `seq` by iteration into exactly n items (new references in out[0..n-1]);
// fewer or more items raise ValueError "unpack sequence of wrong size".
void unpack(PyObject *seq, Ref *out, size_t n, Site at = Site());

// Raises BadMessageError() (or with a text), the class looked up now.
[[noreturn]] void bad_message(Site at = Site());
[[noreturn]] void bad_message_text(Site at, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// Sets `exc` with a formatted message and throws.
[[noreturn]] void raise_fmt(Site at, PyObject *exc, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// ---- messages ------------------------------------------------------------------------

// The kx_msg_t of a handler's message argument, after the KXMsg type check.
kx_msg_t *message_arg(PyObject *m, const char *argname = "m", Site at = Site());

// Reads a received message field by field; every short field raises
// BadMessageError() at the caller's line.
class Reader {
 public:
  explicit Reader(PyObject *m, Site at = Site()) : m_(message_arg(m, "m", at)) {}
  kx_msg_t *msg() const { return m_; }
  uint32_t remaining() const { return kx_msg_remaining(m_); }

  uint8_t u8(Site at = Site()) {
    uint8_t v;
    if (!kx_msg_get_uint8(m_, &v)) bad_message(at);
    return v;
  }
  uint16_t u16(Site at = Site()) {
    uint16_t v;
    if (!kx_msg_get_uint16(m_, &v)) bad_message(at);
    return v;
  }
  uint32_t u32(Site at = Site()) {
    uint32_t v;
    if (!kx_msg_get_uint32(m_, &v)) bad_message(at);
    return v;
  }
  uint64_t u64(Site at = Site()) {
    uint64_t v;
    if (!kx_msg_get_uint64(m_, &v)) bad_message(at);
    return v;
  }
  void data(void *buf, uint32_t n, Site at = Site()) {
    if (!kx_msg_get_data(m_, buf, n)) bad_message(at);
  }
  void skip(uint32_t n, Site at = Site()) {
    if (!kx_msg_skip(m_, n)) bad_message(at);
  }
  // Python values of wire fields.
  Ref int8(Site at = Site()) { return py_int(u8(at), at); }
  Ref int16(Site at = Site()) { return py_int(u16(at), at); }
  Ref long32(Site at = Site()) { return py_u32(u32(at), at); }
  Ref long64(Site at = Site()) { return py_u64(u64(at), at); }
  // A bounded string of buffer `bufsize`: at most bufsize - 1 bytes kept, the
  // rest of the field skipped; the value ends at the first zero byte among
  // the bytes actually read.
  Ref string(uint32_t bufsize, Site at = Site());
  // ip4 / ip6 fields as text ("a.b.c.d", eight uncompressed hex groups).
  Ref v4addr(Site at = Site());
  Ref v6addr(Site at = Site());
  // ipaddr / ipaddrplen fields as text in the library's compressed forms.
  Ref ipaddr(Site at = Site());
  Ref ipaddrplen(Site at = Site());

 private:
  kx_msg_t *m_;
};

// Builds one request: KXMsgv17_0.newMsg(type), the puts, io.writeMsg(msg).
// A field that does not fit raises ValueError and the request is never sent.
class Request {
 public:
  explicit Request(uint32_t type, Site at = Site());
  kx_msg_t *msg() const { return m_; }
  void u8(uint8_t v, Site at = Site()) { fits(kx_msg_put_uint8(m_, v), at); }
  void u16(uint16_t v, Site at = Site()) { fits(kx_msg_put_uint16(m_, v), at); }
  void u32(uint32_t v, Site at = Site()) { fits(kx_msg_put_uint32(m_, v), at); }
  void u64(uint64_t v, Site at = Site()) { fits(kx_msg_put_uint64(m_, v), at); }
  void data(const void *p, uint32_t n, Site at = Site()) { fits(kx_msg_put_data(m_, p, n), at); }
  void string(const char *text, Site at = Site()) { fits(kx_msg_put_string(m_, text), at); }
  // Parses address text and appends it as an ipaddrplen field.
  void ip(PyObject *text, Site at = Site());
  // io.writeMsg(msg), once, last; its result is discarded.
  void send(PyObject *io, Site at = Site());

 private:
  static void fits(void *put_result, Site at);
  Ref obj_;
  kx_msg_t *m_ = nullptr;
};

// ---- function entries -----------------------------------------------------------------

using Impl = Ref (*)(PyObject *const *arg);
PyObject *entry(const char *tbname, const char *const *kwlist, PyObject *args, PyObject *kw,
                Impl impl);

// Calls the module function bound to `name` now with `args` (module functions
// that call others look them up at call time, so a caller may rebind them).
// While the name is still bound to this module's own function `own`, its body
// runs directly: the same work and the same traceback entries, without a
// second argument parse. Any other binding is called as Python would.
template <size_t N>
Ref call_module_function(const Name &name, PyCFunction own, Impl impl, const char *tbname,
                         PyObject *const (&args)[N], Site at = Site()) {
  Ref f = global(name, at);
  if (PyCFunction_Check(f.get()) && PyCFunction_GET_FUNCTION(f.get()) == own) {
    try {
      return impl(args);
    } catch (const Error &e) {
      add_traceback(tbname, e.site);
      fail(at);
    }
  }
  Ref t = check(PyTuple_New(N), at);
  for (size_t i = 0; i < N; i++) PyTuple_SET_ITEM(t.get(), i, Ref::borrowed(args[i]).release());
  return check(PyObject_Call(f.get(), t.get(), nullptr), at);
}

}  // namespace kx

// Defines module function NAME with its keyword names; the body follows as a
// function of `arg` (the parsed arguments, by position) returning a kx::Ref.
#define KX_FUNCTION(NAME, ...)                                                        \
  static kx::Ref NAME##_impl(PyObject *const *arg);                                   \
  static const char *const NAME##_kwlist[] = {__VA_ARGS__, nullptr};                   \
  static PyObject *kx_fn_##NAME(PyObject *, PyObject *args, PyObject *kw) {           \
    return kx::entry("KXdv17_0." #NAME, NAME##_kwlist, args, kw, NAME##_impl);          \
  }                                                                                   \
  static kx::Ref NAME##_impl(PyObject *const *arg __attribute__((unused)))

// Calls module function NAME (defined in this file, with KX_NAME(NAME)
// declared) through its current binding in the module namespace.
#define KX_CALL_MODULE_FUNCTION(NAME, ...)                                                     \
  kx::call_module_function(n_##NAME, reinterpret_cast<PyCFunction>(kx_fn_##NAME), NAME##_impl, \
                           "KXdv17_0." #NAME, {__VA_ARGS__})

// A request builder NAME(io) that sends an empty request of type TYPE.
#define KX_EMPTY_REQUEST(NAME, TYPE)  \
  KX_FUNCTION(NAME, "io") {           \
    kx::Request q(TYPE);              \
    q.send(arg[0]);                   \
    return kx::py_none();             \
  }                                   \
  static_assert(true, "")

// One line of an area's method table.
#define KX_METHOD(NAME) \
  { #NAME, reinterpret_cast<PyCFunction>(kx_fn_##NAME), METH_VARARGS | METH_KEYWORDS, nullptr }
#define KX_METHODS_END \
  { nullptr, nullptr, 0, nullptr }

// Each protocol area's method table, in any order; the frame orders them.
extern PyMethodDef kx_methods_session[];
extern PyMethodDef kx_methods_hosts[];
extern PyMethodDef kx_methods_connections[];
extern PyMethodDef kx_methods_views[];
extern PyMethodDef kx_methods_channels[];
extern PyMethodDef kx_methods_shaping[];
extern PyMethodDef kx_methods_firewall[];
extern PyMethodDef kx_methods_diagnostics[];

#endif
