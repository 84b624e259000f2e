// The helper layer every KXdv17_0 function is written with.
//
// A module function is declared with KX_FUNCTION(name, "kw1", "kw2", ...) and
// its body reads its fields through a Reader or fills a Request. Errors travel
// as C++ exceptions (kx::Error) once the Python error indicator is set; the
// function entry catches them, adds the "KXdv17_0.<name>" traceback entry and
// returns NULL. Every reference a body holds is a kx::Ref, released on every
// path, so no body counts references by hand.
//
// Where a Site goes: every function that can fail takes `Site at = Site()`
// as its last parameter (the printf-style raisers take it first, before the
// format) and hands it to everything it calls that can fail, so a failure
// is reported at the line that called it. Handler bodies and the block
// readers of a table never pass one: their own lines are the ones reported.
#ifndef KX_MODULE_KXPY_H
#define KX_MODULE_KXPY_H

#include "kxcompat.h"
#if PY_MAJOR_VERSION < 3 || PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the layout of a long, for new_ulong (3.11 includes it itself)
#endif

#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <initializer_list>
#include <type_traits>
#include <utility>

#include "kx_msg.h"
#include "../protocol/kx_protocol.h"

#if KX_PY3 && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
// Python 3.11's layouts of shared dict keys and of the collector's list
// (internal headers, read by the shortcuts below and in kxpy.cpp).
#define KX_INSTANCE_VALUES 1
#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#include <internal/pycore_gc.h>
#undef Py_BUILD_CORE
#else
#define KX_INSTANCE_VALUES 0
#endif

#include "../msgmodule/kxmsg_objects.h"

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

// Throws Error; a Python exception must already be set (checked in debug
// builds, where an Error without one would surface as a bare NULL return).
[[noreturn]] inline void fail(Site at = Site()) {
  assert(PyErr_Occurred() && "kx::fail without a Python exception set");
  throw Error{at};
}

// Adds one traceback entry named `funcname` at `at` to the current exception.
void add_traceback(const char *funcname, Site at);

// Inside a catch (...) block: turns the C++ exception being handled into the
// Python exception it stands for, with a traceback entry named `funcname`.
// Error keeps the exception already set; std::bad_alloc becomes MemoryError;
// anything else SystemError. No C++ exception leaves a function entry.
void exception_to_python(const char *funcname);

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

// Takes a new container that the collector tracks (as PyTuple_New leaves
// it) off the collector's list: PyObject_GC_UnTrack without the call. 2.7
// offers it as a macro; Python 3.11's collector unlinks it the same way.
#if PY_MAJOR_VERSION < 3
inline void untrack_new(PyObject *o) { _PyObject_GC_UNTRACK(o); }
#elif KX_INSTANCE_VALUES
inline void untrack_new(PyObject *o) {
  PyGC_Head *gc = _Py_AS_GC(o);
  PyGC_Head *prev = _PyGCHead_PREV(gc);
  PyGC_Head *next = _PyGCHead_NEXT(gc);
  _PyGCHead_SET_NEXT(prev, next);
  _PyGCHead_SET_PREV(next, prev);
  gc->_gc_next = 0;
  gc->_gc_prev &= _PyGC_PREV_MASK_FINALIZED;
}
#else
inline void untrack_new(PyObject *o) { PyObject_GC_UnTrack(o); }
#endif

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
#if KX_INSTANCE_VALUES
 public:
  // Python 3.11 keeps the attributes of a plain class's instance in an
  // array laid out by keys the class shares among its instances; the index
  // of this name there, or -1 when the keys do not hold it (own_attr).
  Py_ssize_t index_in(PyDictKeysObject *keys) const;

 private:
  mutable PyDictKeysObject *index_keys_ = nullptr;
  mutable Py_ssize_t index_ = -1;
#endif
#if KX_PY3 && PY_VERSION_HEX < 0x030C0000
  // Python 3 up to 3.11: the version tag each namespace had at the last
  // lookup (0: none yet) and what that lookup gave, null for not bound.
  mutable uint64_t seen_version_[2] = {0, 0};
  mutable PyObject *seen_value_[2] = {nullptr, nullptr};
#endif
};

#define KX_NAME(id) static kx::Name n_##id(#id)

// ---- module state ----------------------------------------------------------------

extern PyObject *module_dict;    // KXdv17_0's namespace (the module lives forever)
extern PyObject *builtins_dict;  // the built-ins' namespace (__builtin__, or builtins)
extern PyTypeObject *msg_type;   // KXMsgv17_0.KXMsg, taken at import

// A module global, looked up now in the module namespace (then the built-ins).
Ref global(const Name &name, Site at = Site());
// A built-in name, looked up now in the built-ins module.
Ref builtin(const Name &name, Site at = Site());

// ---- Python operations that throw on failure ----------------------------------------
//
// These run once or more per decoded record, so the common cases take
// shortcuts; each is noted where it is taken, with why it gives the same
// result as the generic entry point it stands for.

// f(args[0], ..., args[n-1]), as PyObject_Call(f, tuple of the args, NULL)
// (what PyObject_CallFunctionObjArgs does). See call_args in kxpy.cpp for
// the common callables it calls without making the argument tuple.
Ref call_args(PyObject *f, PyObject *const *args, size_t n, Site at = Site());
// Prepares the shortcuts of call_args and dict_store at import; false with
// an exception set on failure.
bool init_shortcuts();

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

// PyDict_SetItem(dict, key, value) for a dict (an instance of dict or of a
// subclass: PyDict_SetItem never calls a subclass's own __setitem__); see
// kxpy.cpp for the stores it does itself.
int dict_store(PyObject *dict, PyObject *key, PyObject *value);

// Falls back to the type's store slot (see setattr below).
void setattr_slot(PyObject *o, const Name &name, PyObject *value, Site at);

// o.name = value. PyObject_SetAttr interns the name and calls the type's
// tp_setattro; a Name is interned already, so the slot is called directly.
// For an instance whose type keeps the generic store (no __setattr__ of its
// own) and holds its attributes in a __dict__ (Python 2.7), the generic store
// looks the name up along the type's MRO for a descriptor that would take
// the store (a property, a __slots__ member, any class attribute), and finding
// none puts the value into the instance dict with PyDict_SetItem (which
// dict_store does). The Name
// remembers the last type where that lookup found nothing and the type's
// version tag then; the interpreter invalidates the tag whenever the type or
// one of its bases changes, so while it is valid and equal the lookup would
// find nothing again, and the value goes to the dict directly. Anything else
// (no dict yet, another type, a class attribute of that name) takes the slot.
#if PY_MAJOR_VERSION < 3
// The instance dict that `o.name = v` would store into, when the store is
// the generic one and goes there; null otherwise.
inline PyObject *store_dict(PyObject *o, const Name &name) {
  PyTypeObject *tp = Py_TYPE(o);
  if (tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_dictoffset <= 0) return nullptr;
  PyObject *dict = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + tp->tp_dictoffset);
  return dict && name.absent_from(tp) ? dict : nullptr;
}
#endif
inline void setattr(PyObject *o, const Name &name, PyObject *value, Site at = Site()) {
#if PY_MAJOR_VERSION < 3
  PyObject *dict = value ? store_dict(o, name) : nullptr;
  if (dict) {
    Py_INCREF(dict);  // as the generic store: the insertion may replace __dict__
    int rc = dict_store(dict, name, value);
    Py_DECREF(dict);
    check_rc(rc, at);
    return;
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
// o[key] = value. An exact dict's item store is PyDict_SetItem, which
// PyObject_SetItem reaches through the type's mapping slot; a subclass (which
// may override __setitem__) and anything else take the generic entry.
inline void setitem(PyObject *o, PyObject *key, PyObject *value, Site at = Site()) {
  check_rc(PyDict_CheckExact(o) ? dict_store(o, key, value) : PyObject_SetItem(o, key, value), at);
}
inline void delitem(PyObject *o, PyObject *key, Site at = Site()) {
  check_rc(PyObject_DelItem(o, key), at);
}

// Wire numbers: 8 and 16 bits become ints, 32 and 64 bits longs (under
// Python 3 all of them ints).
//
// Python 2.7 makes a long of a C unsigned value by allocating a long of as
// many 30-bit digits as the value needs and filling them, with no cache of
// small values; new_ulong does the same inline, without the three calls per
// value. Python 3 up to 3.11 below; elsewhere the interpreter's own function.
#if PY_MAJOR_VERSION < 3 && PYLONG_BITS_IN_DIGIT == 30
// A new long object of the magnitude m, negated when `negative`.
inline PyObject *make_long(uint64_t m, bool negative) {
  // Digits: one per started 30 bits of the value (none for 0).
  Py_ssize_t n = m ? (64 + 29 - __builtin_clzll(m)) / 30 : 0;
  // _PyObject_VAR_SIZE of the long type: header and digits rounded to a pointer.
  size_t size = (offsetof(PyLongObject, ob_digit) + n * sizeof(digit) + SIZEOF_VOID_P - 1) &
                ~size_t(SIZEOF_VOID_P - 1);
  PyLongObject *l = static_cast<PyLongObject *>(PyObject_MALLOC(size));
  if (!l) return PyErr_NoMemory();
  PyObject_INIT_VAR(l, &PyLong_Type, negative ? -n : n);
  // Writing the unused digits too is harmless: the block has room for two
  // whenever it has room for one, and for three when the value needs three.
  digit *d = l->ob_digit;
  if (n) {
    d[0] = static_cast<digit>(m & PyLong_MASK);
    d[1] = static_cast<digit>((m >> 30) & PyLong_MASK);
    if (n == 3) d[2] = static_cast<digit>(m >> 60);
  }
  return reinterpret_cast<PyObject *>(l);
}
inline PyObject *new_ulong(uint64_t v) { return make_long(v, false); }
inline PyObject *new_slong(int64_t v) {
  return v < 0 ? make_long(0 - static_cast<uint64_t>(v), true) : make_long(static_cast<uint64_t>(v), false);
}
#elif KX_PY3 && PY_VERSION_HEX < 0x030C0000 && PYLONG_BITS_IN_DIGIT == 30
// Python 3 keeps one int object for each of -5..256, which its constructor
// hands out; small_longs holds them (taken from the constructor at import),
// so that no call is needed for them.
constexpr int kSmallLongMin = -5, kSmallLongMax = 256;
#define KX_SMALL_LONGS 1
extern PyObject *small_longs[kSmallLongMax - kSmallLongMin + 1];
inline PyObject *small_long(int64_t v) {
  PyObject *l = small_longs[v - kSmallLongMin];
  Py_INCREF(l);
  return l;
}
// Python 3 up to 3.11 lays an int out as 2.7 lays out a long (the digit
// count, negated for a negative value, in ob_size). Its constructor from a C
// long has the fast paths: the cached small ints, and one digit made without
// counting digits; those values go there. A value of two or three digits is
// made as the constructor makes it (_PyLong_New: the object allocator, the
// header, the digits), inline.
inline PyObject *new_long_digits(uint64_t m, bool negative) {
  if (m <= (negative ? uint64_t(-kSmallLongMin) : uint64_t(kSmallLongMax)))
    return small_long(negative ? -static_cast<int64_t>(m) : static_cast<int64_t>(m));
  if (m < (uint64_t(1) << PyLong_SHIFT)) {
    long v = static_cast<long>(m);
    return PyLong_FromLong(negative ? -v : v);
  }
  Py_ssize_t n = m >> (2 * PyLong_SHIFT) ? 3 : 2;
  PyLongObject *l = static_cast<PyLongObject *>(
      PyObject_Malloc(offsetof(PyLongObject, ob_digit) + n * sizeof(digit)));
  if (!l) return PyErr_NoMemory();
  PyObject_INIT_VAR(l, &PyLong_Type, negative ? -n : n);
  digit *d = l->ob_digit;
  d[0] = static_cast<digit>(m & PyLong_MASK);
  d[1] = static_cast<digit>((m >> PyLong_SHIFT) & PyLong_MASK);
  if (n == 3) d[2] = static_cast<digit>(m >> (2 * PyLong_SHIFT));
  return reinterpret_cast<PyObject *>(l);
}
inline PyObject *new_ulong(uint64_t v) { return new_long_digits(v, false); }
inline PyObject *new_slong(int64_t v) {
  return v < 0 ? new_long_digits(0 - static_cast<uint64_t>(v), true)
               : new_long_digits(static_cast<uint64_t>(v), false);
}
#elif KX_PY3
// Python 3's int constructor from a C long has the fast paths (cached small
// ints, one-digit values); every u32, and most u64, fit in a 64-bit long.
static_assert(sizeof(long) == 8, "a C long holds every u32");
inline PyObject *new_ulong(uint64_t v) {
  return v <= static_cast<uint64_t>(LONG_MAX) ? PyLong_FromLong(static_cast<long>(v))
                                              : PyLong_FromUnsignedLongLong(v);
}
inline PyObject *new_slong(int64_t v) { return PyLong_FromLongLong(v); }
#else
inline PyObject *new_ulong(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject *new_slong(int64_t v) { return PyLong_FromLongLong(v); }
#endif

// pair() of two new longs (untracked as pair() leaves a pair of numbers),
// without a reference wrapper per value.
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
  untrack_new(t);
  return Ref(t);
}
inline Ref long_pair(uint32_t a, uint32_t b, Site at = Site()) {
  return long_pair<uint64_t>(a, b, at);
}
// ---- refilling values nobody else holds ----------------------------------------
//
// A handler that updates a caller's object replaces attribute values that
// are numbers and pairs of numbers. Where the value the attribute holds now
// is referenced by that attribute alone (reference count one), no code can
// ever see it again once it is replaced: storing a new value and freeing the
// old one gives the same observable result as writing the new value into
// the old object, which saves the allocations, the store and the frees. The
// interpreter itself reuses objects nobody else holds the same way (zip()
// and dict.items() refill their result tuple). Only exact ints, longs and
// tuples qualify: freeing them runs no code, and no subclass can notice.

// The value o.name holds now (borrowed), when `o.name = v` would go straight
// into o's own attribute storage (the generic store, and no class attribute
// of that name along the MRO that could take it) and finding the value runs
// no Python code; null otherwise, with no exception set.
PyObject *own_attr(PyObject *o, const Name &name);

#if (PY_MAJOR_VERSION < 3 || PY_VERSION_HEX < 0x030C0000) && PYLONG_BITS_IN_DIGIT == 30
#define KX_REFILL 1
// True when the value of sign and magnitude can be written into x: an exact
// long that only its holder references, with room for the value's digits (a
// long's block never shrinks; the interpreter shortens longs in place the
// same way). Python 3 keeps one shared object for each small int, so those
// values are never written into another object.
inline bool long_takes(PyObject *x, uint64_t m, bool negative) {
  if (!PyLong_CheckExact(x) || Py_REFCNT(x) != 1) return false;
#if KX_PY3
  if (m <= (negative ? 5u : 256u)) return false;
#else
  (void)negative;
#endif
  Py_ssize_t n = m ? (64 + PyLong_SHIFT - 1 - __builtin_clzll(m)) / PyLong_SHIFT : 0;
  return n <= (Py_SIZE(x) < 0 ? -Py_SIZE(x) : Py_SIZE(x));
}
// Writes the value into x (long_takes said it can).
inline void long_write(PyObject *x, uint64_t m, bool negative) {
  digit *d = reinterpret_cast<PyLongObject *>(x)->ob_digit;
  Py_ssize_t n = 0;
  for (; m; m >>= PyLong_SHIFT) d[n++] = static_cast<digit>(m & PyLong_MASK);
  reinterpret_cast<PyVarObject *>(x)->ob_size = negative ? -n : n;
}
// The same for a value of an integer type, signed or not.
template <class T>
inline uint64_t magnitude(T v) {
  return T(-1) < T(0) && v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}
template <class T>
inline bool number_takes(PyObject *x, T v) {
  return long_takes(x, magnitude(v), T(-1) < T(0) && v < 0);
}
template <class T>
inline void number_write(PyObject *x, T v) {
  long_write(x, magnitude(v), T(-1) < T(0) && v < 0);
}
#endif

// A new long (an int under Python 3) of v.
template <class T>
inline PyObject *new_number(T v) {
  return T(-1) < T(0) ? new_slong(static_cast<int64_t>(v)) : new_ulong(static_cast<uint64_t>(v));
}

// o.name = a long of v; a long the attribute alone holds is refilled.
template <class T>
inline void set_number(PyObject *o, const Name &name, T v, Site at = Site()) {
#ifdef KX_REFILL
  PyObject *x = own_attr(o, name);
  if (x && number_takes(x, v)) {
    number_write(x, v);
    return;
  }
#endif
  PyObject *n = new_number(v);
  if (!n) fail(at);
  Ref value(n);
  setattr(o, name, n, at);
}

// o.name = long_pair(a, b). A pair the attribute alone holds, of two exact
// numbers, is refilled instead: each number in place where it can take the
// value, else replaced by a new one. The new ones are made before anything
// changes, so a failed allocation leaves the pair as it was.
template <class T>
inline void set_pair(PyObject *o, const Name &name, T a, T b, Site at = Site()) {
#ifdef KX_REFILL
  PyObject *t = own_attr(o, name);
  if (t && PyTuple_CheckExact(t) && Py_REFCNT(t) == 1 && PyTuple_GET_SIZE(t) == 2) {
    PyObject *x = PyTuple_GET_ITEM(t, 0), *y = PyTuple_GET_ITEM(t, 1);
    if ((PyLong_CheckExact(x) || PyInt_CheckExact(x)) && (PyLong_CheckExact(y) || PyInt_CheckExact(y))) {
      bool wx = number_takes(x, a), wy = number_takes(y, b);
      PyObject *nx = wx ? nullptr : new_number(a);
      PyObject *ny = wy ? nullptr : new_number(b);
      if ((!wx && !nx) || (!wy && !ny)) {
        Py_XDECREF(nx);
        Py_XDECREF(ny);
        fail(at);
      }
      if (wx) {
        number_write(x, a);
      } else {
        PyTuple_SET_ITEM(t, 0, nx);
        Py_DECREF(x);
      }
      if (wy) {
        number_write(y, b);
      } else {
        PyTuple_SET_ITEM(t, 1, ny);
        Py_DECREF(y);
      }
      return;
    }
  }
#endif
  setattr(o, name, long_pair<T>(a, b, at).get(), at);
}

// int(v) of the interpreter's own int type for a u32: 2.7's small int,
// Python 3's int made as new_ulong makes it.
inline PyObject *new_int_u32(uint32_t v) {
#if KX_PY3
  return new_ulong(v);
#else
  return PyInt_FromSize_t(v);
#endif
}
inline Ref py_int(long v, Site at = Site()) { return check(PyInt_FromLong(v), at); }
inline Ref py_u32(uint32_t v, Site at = Site()) { return check(new_ulong(v), at); }
inline Ref py_u64(uint64_t v, Site at = Site()) { return check(new_ulong(v), at); }

// a >= b (PyObject_RichCompare and truth). For two exact ints that fit a C
// long (and in cmp_at_least below) the interpreter compares their values
// without calling anything, and so do these.
bool greater_equal(PyObject *a, PyObject *b, Site at = Site());

// Wire text: a str; under Python 3 decoded as UTF-8 with surrogateescape, so
// any byte survives the round trip through as_cstring.
#if KX_PY3
inline Ref py_str(const char *s, Py_ssize_t n, Site at = Site()) {
  return check(PyUnicode_DecodeUTF8(s, n, "surrogateescape"), at);
}
#else
inline Ref py_str(const char *s, Py_ssize_t n, Site at = Site()) {
  return check(PyString_FromStringAndSize(s, n), at);
}
#endif
inline Ref py_str(const char *s, Site at = Site()) {
  return py_str(s, static_cast<Py_ssize_t>(strlen(s)), at);
}
// Opaque wire data: a byte string (str under 2.7, bytes under 3).
inline Ref py_bytes(const char *s, Py_ssize_t n, Site at = Site()) {
  return check(PyBytes_FromStringAndSize(s, n), at);
}
inline Ref py_none() { return Ref::borrowed(Py_None); }
// True for exactly the str type (not a subclass).
inline bool is_str_exact(PyObject *o) {
#if KX_PY3
  return PyUnicode_CheckExact(o);
#else
  return PyString_CheckExact(o);
#endif
}

// The zero-terminated bytes of a text argument, valid while the CText lives
// (a temporary lives to the end of the statement that made it).
class CText {
 public:
  CText(const char *p, Ref keep) : p_(p), keep_(std::move(keep)) {}
  operator const char *() const { return p_; }

 private:
  const char *p_;
  Ref keep_;
};
// The interpreter's string conversion. Python 2.7: a str as is, a unicode
// object through the default encoding, anything else TypeError. Python 3: a
// str encoded as UTF-8 with surrogateescape, bytes as they are, anything else
// TypeError; an embedded zero byte is a ValueError.
CText as_cstring(PyObject *o, Site at = Site());
// As as_cstring, without throwing: null with the exception set.
const char *text_chars(PyObject *o, Ref *keep);

// The bytes of a data argument, valid while the Data lives. Python 2.7 takes
// a str; Python 3 any bytes-like object, and a str is a TypeError.
class Data {
 public:
  Data(PyObject *o, const char *argname, Site at = Site());
  ~Data();
  Data(const Data &) = delete;
  Data &operator=(const Data &) = delete;
  const char *bytes() const { return p_; }
  Py_ssize_t size() const { return n_; }

 private:
  const char *p_ = nullptr;
  Py_ssize_t n_ = 0;
#if KX_PY3
  Py_buffer view_;
#endif
};

// cmp(a, b) >= 0 under Python 2.7 (its three-way comparison); a >= b, the
// rich comparison, under Python 3, which has no three-way comparison.
bool cmp_at_least(PyObject *a, PyObject *b, Site at = Site());
// mapping.has_key(key) under Python 2.7; `key in mapping` under Python 3.
bool has_key(PyObject *mapping, PyObject *key, Site at = Site());
inline Ref py_i64(int64_t v, Site at = Site()) { return check(new_slong(v), at); }
inline Ref py_bool(bool v) { return Ref::borrowed(v ? Py_True : Py_False); }
inline Ref new_list(Py_ssize_t n = 0, Site at = Site()) { return check(PyList_New(n), at); }
inline Ref new_dict(Site at = Site()) { return check(PyDict_New(), at); }
// PyList_Append(list, item): while a list (of any list type) has a spare
// slot, the item goes into it as PyList_Append puts it there.
inline void list_append(PyObject *list, PyObject *item, Site at = Site()) {
  PyListObject *l = reinterpret_cast<PyListObject *>(list);
  if (PyList_Check(list) && Py_SIZE(l) < l->allocated) {
    Py_INCREF(item);
    PyList_SET_ITEM(list, Py_SIZE(l), item);
#if PY_MAJOR_VERSION < 3
    Py_SIZE(l) += 1;
#else
    Py_SET_SIZE(l, Py_SIZE(l) + 1);  // Py_SIZE is no lvalue from 3.10 on
#endif
    return;
  }
  check_rc(PyList_Append(list, item), at);
}
// list.append(item) for any object; a real list takes the item directly.
void append_to(PyObject *list, PyObject *item, Site at = Site());
// Appends to whatever list the attribute holds now (fetched again each time,
// so a caller that swaps the list sees the items go to the new one).
void append_to_attr(PyObject *obj, const Name &attr, PyObject *item, Site at = Site());
// obj.attr = [] (a list of numbers the attribute alone holds is emptied).
void set_empty_list(PyObject *obj, const Name &attr, Site at = Site());
// A 2-tuple owning both values. A pair of exact numbers can never be part of
// a reference cycle: it is taken off the collector's list at once, as the
// collector itself would do at its next pass, which keeps collections short
// while a table full of such tuples grows.
inline Ref pair(Ref a, Ref b, Site at = Site()) {
  Ref t = check(PyTuple_New(2), at);
  bool numbers = (PyInt_CheckExact(a.get()) || PyLong_CheckExact(a.get())) &&
                 (PyInt_CheckExact(b.get()) || PyLong_CheckExact(b.get()));
  PyTuple_SET_ITEM(t.get(), 0, a.release());
  PyTuple_SET_ITEM(t.get(), 1, b.release());
  if (numbers) untrack_new(t.get());
  return t;
}
// A tuple of the given values, in order (PyTuple_Pack without the varargs walk).
template <class... R>
Ref tuple(const R &...items) {
  Ref t = check(PyTuple_New(sizeof...(items)));
  Py_ssize_t i = 0;
  (void)std::initializer_list<int>{
      (Py_INCREF(ptr(items)), PyTuple_SET_ITEM(t.get(), i++, ptr(items)), 0)...};
  return t;
}
// Calls each(item) for the items of any iterable, stopping once more than
// `limit` were seen (that one is not handed on); gives the number seen.
template <class F>
Py_ssize_t for_each_item(PyObject *items, Py_ssize_t limit, F each, Site at = Site()) {
  Ref it = check(PyObject_GetIter(items), at);
  Py_ssize_t seen = 0;
  while (Ref item{PyIter_Next(it.get())}) {
    if (++seen > limit) break;
    each(item.get());
  }
  if (PyErr_Occurred()) fail(at);
  return seen;
}
// The truth of any object, as `if o:` sees it.
bool truth(PyObject *o, Site at = Site());
// int(v) through the built-in `int` looked up now; while it is the
// interpreter's own int type, the value is made without a call.
Ref builtin_int(PyObject *v, Site at = Site());
Ref builtin_int(uint32_t v, Site at = Site());
inline Ref builtin_int(const Ref &v, Site at = Site()) { return builtin_int(v.get(), at); }
// len(o) through the built-in `len` looked up now.
Py_ssize_t builtin_len(PyObject *o, Site at = Site());
// The built-in True or False, looked up now.
Ref builtin_truth(bool v, Site at = Site());

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
    return real_ ? check(new_int_u32(v), at) : builtin_int(v, at);
  }

 private:
  bool real_;
};

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
// message_arg(m) for a handler's message, inline for a KXMsg itself holding
// its message (what message_arg returns then); anything else goes there.
inline kx_msg_t *message_of(PyObject *m, Site at = Site()) {
  if (Py_TYPE(m) == msg_type) {
    kx_msg_t *msg = reinterpret_cast<KXMsgObject *>(m)->msg;
    if (msg) return msg;
  }
  return message_arg(m, "m", at);
}

// Reads a received message field by field; every short field raises
// BadMessageError() at the caller's line. Only this layer touches the
// support library's getters: handlers read through a Reader.
class Reader {
 public:
  explicit Reader(PyObject *m, Site at = Site()) : m_(message_of(m, at)) {}
  uint32_t remaining() const { return kx_msg_remaining(m_); }

  // One unsigned wire number of T's width (most significant byte first).
  template <class T>
  T num(Site at = Site()) {
    T v;
    if (!try_num(v)) bad_message(at);
    return v;
  }
  uint8_t u8(Site at = Site()) { return num<uint8_t>(at); }
  uint16_t u16(Site at = Site()) { return num<uint16_t>(at); }
  uint32_t u32(Site at = Site()) { return num<uint32_t>(at); }
  uint64_t u64(Site at = Site()) { return num<uint64_t>(at); }
  // A number of `width` bytes (1, 2, 4 or 8), sign-extended when `is_signed`.
  uint64_t number(uint32_t width, bool is_signed, Site at = Site());
  // Optional fields and loop ends: false (nothing consumed) when the field
  // is not whole.
  template <class T>
  bool try_num(T &v) {
    static_assert(sizeof v == 1 || sizeof v == 2 || sizeof v == 4 || sizeof v == 8, "a wire width");
    if (!kx_msg_get_data(m_, &v, sizeof v)) return false;
    if constexpr (sizeof v == 2) v = __builtin_bswap16(v);
    if constexpr (sizeof v == 4) v = __builtin_bswap32(v);
    if constexpr (sizeof v == 8) v = __builtin_bswap64(v);
    return true;
  }

  void data(void *buf, uint32_t n, Site at = Site()) {
    if (!kx_msg_get_data(m_, buf, n)) bad_message(at);
  }
  void skip(uint32_t n, Site at = Site()) {
    if (!try_skip(n)) bad_message(at);
  }
  // False (nothing consumed) when fewer than n bytes remain.
  bool try_skip(uint32_t n) { return kx_msg_skip(m_, n) != 0; }
  // One string field consumed exactly as string(bufsize) would read it.
  void skip_string(uint32_t bufsize, Site at = Site()) {
    if (!try_skip_string(bufsize)) bad_message(at);
  }
  // The same without raising: a short field leaves the position where the
  // library's string read leaves it when it fails.
  bool try_skip_string(uint32_t bufsize);
  // True when a whole string field (length word and all its bytes) stands at
  // the read position, so reading it cannot fail.
  bool has_whole_string() const {
    uint32_t n;
    return kx_msg_peek_uint32(m_, &n) && remaining() - 4 >= n;
  }
  // A bounded string field into the caller's buffer of `size` bytes, the
  // rest of the buffer untouched.
  void cstring(char *buf, uint32_t size, Site at = Site()) {
    if (!kx_msg_get_string_len(m_, buf, size, nullptr)) bad_message(at);
  }
  // n raw bytes as a byte string; a short message allocates nothing.
  Ref bytes(uint32_t n, Site at = Site());

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
  Ref address(bool v6, Site at = Site()) { return v6 ? v6addr(at) : v4addr(at); }
  // An address field consumed as address() consumes it, without its text:
  // a whole field is skipped; a short one is read by address(), which
  // consumes its whole words and raises as it always does.
  void skip_address(bool v6, Site at = Site()) {
    if (!kx_msg_skip(m_, v6 ? 16 : 4)) address(v6, at);
  }
  // An address family byte: false for IPv4 (0), true for IPv6 (1); any other
  // value raises BadMessageError(unknown % family), or a bare one when
  // `unknown` is null.
  bool family(const char *unknown, Site at = Site());
  // ipaddr / ipaddrplen fields as text in the library's compressed forms.
  Ref ipaddr(Site at = Site());
  Ref ipaddrplen(Site at = Site());

 private:
  kx_msg_t *m_;
};

// ---- field tables ------------------------------------------------------------------

// How one field travels and the Python value it becomes.
enum class Kind : uint8_t {
  u8,          // u8 -> int
  u16,         // u16 -> int
  u32,         // u32 -> long
  u64,         // u64 -> long
  s32,         // u32 taken as signed -> int
  string,      // bounded string of buffer `arg` -> str
  ip4,         // "a.b.c.d"
  family,      // u8 0 (IPv4) or 1 (IPv6) -> int; the addr fields after it follow it
  addr,        // ip4 or ip6 text, as the last family field said
  bps,         // u32 bytes per second -> int(value) * 8 (bits per second)
  absent,      // nothing on the wire: the int 0
  u32_pairs,   // u32 count, then count (u32, u32) -> [(long, long)]
  s16,         // u16 taken as signed -> int
  boolean,     // u8 -> True or False
  ipaddr,      // ipaddr field as compressed text
  ipaddrplen,  // ipaddrplen field as compressed text
  pair,        // two numbers of width `arg` (| kSigned, | kTimes8) -> (long, long)
  skip,        // `arg` bytes read past; nothing is stored
  run,         // a length of width `arg`, then that many bytes read past; nothing is stored
};

// Kind::pair arguments: the width in bytes of each number (1, 2, 4 or 8), and
// these flags.
constexpr uint32_t kSigned = 0x100;  // the numbers taken as signed
constexpr uint32_t kTimes8 = 0x200;  // each multiplied by 8 modulo 2^64 (byte rates as bit rates)

// One field of a fixed layout: the dict key or attribute name it is stored
// under (a skipped field's name only tells what it is), its kind and the
// kind's argument (a string's buffer size, a pair's or a skip's width).
struct Field {
  const char *key;
  Kind kind;
  uint32_t arg;
};

// A constexpr field table (an array of Field at namespace scope) and its
// keys, interned at import: one Name per row, parallel to the rows (each
// registers itself as every Name does). Declared as
//   constexpr kx::Field kX_rows[] = {...};
//   const kx::Table<kX_rows> kX;
// The rows are known at compile time, so reading a table is the sequence of
// its rows' reads, each chosen by its kind when the module is compiled.
template <auto &Rows>
class Table {
 public:
  static constexpr size_t size = sizeof Rows / sizeof Rows[0];
  Table() : Table(std::make_index_sequence<size>()) {}
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;
  const Name *keys() const { return keys_; }

 private:
  template <size_t... I>
  explicit Table(std::index_sequence<I...>) : keys_{Name(Rows[I].key)...} {}
  Name keys_[size];
};

// One value of kind k (arg as in Field). The family and addr kinds, which
// depend on each other, are read only as fields of a table, pairs and skips
// only there too.
Ref read_value(Reader &r, Kind k, uint32_t arg, Site at = Site());

// Where a table's values go: dict items, object attributes, or the slots of
// a tuple in row order (skipped fields take none).
enum class Into : uint8_t { item, attr, tuple };

namespace rows {

// What one pass over a table's rows carries from row to row.
struct State {
  bool v6 = false;  // the last family field said IPv6
  size_t slot = 0;  // the next tuple slot
};

template <size_t W> struct Wire;
template <> struct Wire<1> { using type = uint8_t; using signed_type = int8_t; };
template <> struct Wire<2> { using type = uint16_t; using signed_type = int16_t; };
template <> struct Wire<4> { using type = uint32_t; using signed_type = int32_t; };
template <> struct Wire<8> { using type = uint64_t; using signed_type = int64_t; };

template <Into into>
inline void store(PyObject *target, const Name &key, Ref value, State &st, Site at) {
  if constexpr (into == Into::item)
    setitem(target, key, value.get(), at);
  else if constexpr (into == Into::attr)
    setattr(target, key, value.get(), at);
  else
    PyTuple_SET_ITEM(target, st.slot++, value.release());
}

// Two numbers of the row's width (signed with kSigned, times 8 with kTimes8):
// an attribute through set_pair (which refills a pair only the attribute
// holds), anything else as a new pair of longs.
template <Into into, uint32_t A>
inline void read_pair(Reader &r, PyObject *target, const Name &key, State &st, Site at) {
  using W = Wire<(A & 0xff)>;
  using V = std::conditional_t<(A & kSigned) != 0, int64_t, uint64_t>;
  using S = std::conditional_t<(A & kSigned) != 0, typename W::signed_type, typename W::type>;
  V a = static_cast<V>(static_cast<S>(r.num<typename W::type>(at)));
  V b = static_cast<V>(static_cast<S>(r.num<typename W::type>(at)));
  if constexpr ((A & kTimes8) != 0) {
    a = static_cast<V>(static_cast<uint64_t>(a) * 8);
    b = static_cast<V>(static_cast<uint64_t>(b) * 8);
  }
  if constexpr (into == Into::attr)
    set_pair<V>(target, key, a, b, at);
  else
    store<into>(target, key, long_pair<V>(a, b, at), st, at);
}

// Out of line: the values of the bps and u32_pairs kinds.
Ref times_eight(const Ref &value, Site at);
Ref u32_pairs(Reader &r, Site at);

// The value of one field of kind K (a kind read on its own).
template <Kind K>
constexpr bool kReadAlone =
    K != Kind::family && K != Kind::addr && K != Kind::pair && K != Kind::skip && K != Kind::run;

template <Kind K, uint32_t A>
inline Ref value(Reader &r, Site at) {
  static_assert(kReadAlone<K>, "a kind read only with the rows around it");
  if constexpr (K == Kind::u8) return r.int8(at);
  else if constexpr (K == Kind::u16) return r.int16(at);
  else if constexpr (K == Kind::u32) return r.long32(at);
  else if constexpr (K == Kind::u64) return r.long64(at);
  else if constexpr (K == Kind::s32) return py_int(static_cast<int32_t>(r.u32(at)), at);
  else if constexpr (K == Kind::s16) return py_int(static_cast<int16_t>(r.u16(at)), at);
  else if constexpr (K == Kind::boolean) return py_bool(r.u8(at) != 0);
  else if constexpr (K == Kind::string) return r.string(A, at);
  else if constexpr (K == Kind::ip4) return r.v4addr(at);
  else if constexpr (K == Kind::ipaddr) return r.ipaddr(at);
  else if constexpr (K == Kind::ipaddrplen) return r.ipaddrplen(at);
  else if constexpr (K == Kind::bps) return times_eight(r.long32(at), at);
  else if constexpr (K == Kind::absent) return py_int(0, at);
  else return u32_pairs(r, at);
}

template <Into into, Kind K, uint32_t A>
inline __attribute__((always_inline)) void read_row(Reader &r, PyObject *target, const Name &key, State &st,
                                                    Site at) {
  if constexpr (K == Kind::skip) {
    r.skip(A, at);
  } else if constexpr (K == Kind::run) {
    r.skip(static_cast<uint32_t>(r.num<typename Wire<A>::type>(at)), at);
  } else if constexpr (K == Kind::pair) {
    read_pair<into, A>(r, target, key, st, at);
  } else if constexpr (K == Kind::family) {
    uint8_t family = r.u8(at);
    if (family > 1) bad_message_text(at, "Unknown ip address type %d", family);
    st.v6 = family == 1;
    store<into>(target, key, py_int(family, at), st, at);
  } else if constexpr (K == Kind::addr) {
    store<into>(target, key, r.address(st.v6, at), st, at);
  } else {
    store<into>(target, key, value<K, A>(r, at), st, at);
  }
}

// Reads the rows in order and stores each value on `target` right after
// reading it, so a short message leaves the fields before it stored.
template <Into into, auto &Rows, size_t... I>
inline void read(Reader &r, PyObject *target, const Name *keys, std::index_sequence<I...>, Site at) {
  State st;
  (read_row<into, Rows[I].kind, Rows[I].arg>(r, target, keys[I], st, at), ...);
}

template <Into into, auto &Rows>
inline void read(Reader &r, PyObject *target, const Table<Rows> &t, Site at) {
  read<into, Rows>(r, target, t.keys(), std::make_index_sequence<Table<Rows>::size>(), at);
}

}  // namespace rows

template <auto &Rows>
void read_items(Reader &r, PyObject *dict, const Table<Rows> &t, Site at = Site()) {
  rows::read<Into::item>(r, dict, t, at);
}
template <auto &Rows>
void read_attrs(Reader &r, PyObject *obj, const Table<Rows> &t, Site at = Site()) {
  rows::read<Into::attr>(r, obj, t, at);
}
// Reads past every field of a table of skips.
template <auto &Rows>
void skip_fields(Reader &r, const Table<Rows> &t, Site at = Site()) {
  rows::read<Into::item>(r, nullptr, t, at);
}

// The values of a table's fields as a new tuple.
template <auto &Rows>
Ref read_tuple(Reader &r, const Table<Rows> &t, Site at = Site()) {
  size_t values = 0;
  for (const Field &f : Rows) values += f.kind != Kind::skip && f.kind != Kind::run;
  // A short message leaves empty slots; the tuple is then dropped unseen.
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(values)), at);
  rows::read<Into::tuple>(r, tuple.get(), t, at);
  return tuple;
}

// `count` records of one layout, each read into a new dict: [dict, ...].
template <auto &Rows>
Ref read_dict_list(Reader &r, uint32_t count, const Table<Rows> &t, Site at = Site()) {
  Ref list = new_list(0, at);
  for (; count > 0; count--) {
    Ref d = new_dict(at);
    rows::read<Into::item>(r, d.get(), t, at);
    list_append(list.get(), d.get(), at);
  }
  return list;
}

// A header word whose top bit is a flag, then (u32 id, string(256) name)
// pairs up to the end of the message, each handed to store(table, id, name);
// 1 to 3 bytes left where an id would start are ignored. Gives
// (table, True or False).
Ref read_id_names(Reader &r, void (*store)(PyObject *table, const Ref &id, const Ref &name),
                  Site at = Site());

// Flag-driven blocks: each row names a flag bit and the reader of the block
// it announces. Rows are walked in the protocol's order (not bit order) and a
// block is read when any bit of its flag is set.
template <class Ctx>
struct Block {
  uint32_t flag;
  void (*read)(Reader &, Ctx &);
};
template <class Ctx, size_t N>
void read_blocks(Reader &r, uint32_t flags, const Block<Ctx> (&rows)[N], Ctx &ctx) {
  for (const Block<Ctx> &b : rows)
    if (flags & b.flag) b.read(r, ctx);
}

// The value of one field of a request layout: a number (cut to the field's
// width; for an ipaddr field an IPv4 address, sent with family 0), a text,
// or a blob's bytes.
struct Value {
  Value(uint64_t v) : n(v) {}
  Value(const CText &t) : text(t) {}
  Value(const char *t) : text(t) {}
  Value(const void *bytes, uint32_t len) : data(bytes), size(len) {}
  uint64_t n = 0;
  const char *text = nullptr;
  const void *data = nullptr;
  uint32_t size = 0;
};

// Builds one request: KXMsgv17_0.newMsg(type), the puts, io.writeMsg(msg).
// A field that does not fit raises ValueError and the request is never sent.
class Request {
 public:
  explicit Request(uint32_t type, Site at = Site());
  // One field of a plain kind.
  void put(kxp::WireKind kind, const Value &v, Site at = Site());
  // Every field of a layout of plain fields, one value each, in order.
  template <size_t M, size_t N>
  void write_fields(const kxp::LayoutRow (&layout)[M], const Value (&values)[N], Site at = Site()) {
    static_assert(M == N + 1, "one value for each field of the layout");
    for (size_t i = 0; i < N; i++) put(layout[i].kind, values[i], at);
  }
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

// Writes a request's fields row by row along a layout, for layouts with
// lists: the caller takes each row in turn and writes what its kind asks.
class LayoutWriter {
 public:
  LayoutWriter(Request &q, const kxp::LayoutRow *rows) : q_(q), row_(rows) {}
  Request &request() const { return q_; }
  // The next row; a layout read past its end is a bug.
  const kxp::LayoutRow &next() {
    KX_BUG_ON(!row_->name, "a request written past its layout");
    return *row_++;
  }
  // The next row, a plain field, from one value.
  void put(const Value &v, Site at = Site()) { q_.put(next().kind, v, at); }
  // Every row written.
  void done() const { KX_BUG_ON(row_->name, "field %s of a request left unwritten", row_->name); }

 private:
  Request &q_;
  const kxp::LayoutRow *row_;
};

// ---- function entries -----------------------------------------------------------------

// The most arguments a module function takes (the size of the entry's array).
constexpr size_t kMaxArgs = 6;

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
    } catch (...) {
      exception_to_python(tbname);
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
  static_assert(sizeof NAME##_kwlist / sizeof NAME##_kwlist[0] - 1 <= kx::kMaxArgs,     \
                #NAME " takes more arguments than a function entry holds");            \
  static PyObject *kx_fn_##NAME(PyObject *, PyObject *args, PyObject *kw) {           \
    return kx::entry("KXdv17_0." #NAME, NAME##_kwlist, args, kw, NAME##_impl);          \
  }                                                                                   \
  static kx::Ref NAME##_impl(PyObject *const *arg __attribute__((unused)))

// Calls module function NAME (defined in this file, with KX_NAME(NAME)
// declared) through its current binding in the module namespace.
#define KX_CALL_MODULE_FUNCTION(NAME, ...)                                                     \
  kx::call_module_function(n_##NAME, reinterpret_cast<PyCFunction>(kx_fn_##NAME), NAME##_impl, \
                           "KXdv17_0." #NAME, {__VA_ARGS__})

// A request builder NAME(io) that sends the empty request REQUEST (its name
// in the protocol definition).
#define KX_EMPTY_REQUEST(NAME, REQUEST)                                          \
  static_assert(kxp::layout_size(kxp::kRequest_##REQUEST) == 0, "an empty request"); \
  KX_FUNCTION(NAME, "io") {                                                      \
    kx::Request q(kxp::CLI_##REQUEST);                                           \
    q.send(arg[0]);                                                              \
    return kx::py_none();                                                        \
  }                                                                              \
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
