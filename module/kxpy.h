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
#include "kxfast.h"

#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <initializer_list>
#include <type_traits>
#include <utility>

#include "kx_msg.h"
#include "../protocol/kx_protocol.h"

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

  // What the shortcuts of kxfast.h remember about this name.
  mutable fast::NameMemo memo;

 private:
  const char *text_;
  PyObject *obj_ = nullptr;
  Name *next_;
  static Name *all_;
};

#define KX_NAME(id) static kx::Name n_##id(#id)

// ---- module state ----------------------------------------------------------------

extern PyObject *module_dict;    // KXdv17_0's namespace (the module lives forever)
extern PyObject *builtins_dict;  // the built-ins' namespace (__builtin__, or builtins)
extern PyTypeObject *msg_type;   // KXMsgv17_0.KXMsg, taken at import

// Raises NameError for a name bound nowhere.
[[noreturn]] void unbound(const Name &name, Site at);
// A module global, looked up now in the module namespace (then the built-ins).
inline Ref global(const Name &name, Site at = Site()) {
  PyObject *v = fast::lookup(module_dict, name, name.memo, 0);
  if (!v) v = fast::lookup(builtins_dict, name, name.memo, 1);
  if (!v) unbound(name, at);
  return Ref::borrowed(v);
}
// A built-in name, looked up now in the built-ins module.
inline Ref builtin(const Name &name, Site at = Site()) {
  PyObject *v = fast::lookup(builtins_dict, name, name.memo, 1);
  if (!v) unbound(name, at);
  return Ref::borrowed(v);
}

// ---- Python operations that throw on failure ----------------------------------------
//
// These run once or more per decoded record; those that may take a shortcut
// into the interpreter go through kxfast.h.

// f(args[0], ..., args[n-1]), as PyObject_Call(f, tuple of the args, NULL)
// (what PyObject_CallFunctionObjArgs does), through fast::call.
Ref call_args(PyObject *f, PyObject *const *args, size_t n, Site at = Site());
// Prepares the shortcuts of kxfast.h at import; false with an exception set
// on failure.
inline bool init_shortcuts() { return fast::init(); }

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

// o.name = value. PyObject_SetAttr interns the name and calls the type's
// tp_setattro; a Name is interned already, so the slot is called directly
// (kxfast.h: store_attr).
inline void setattr(PyObject *o, const Name &name, PyObject *value, Site at = Site()) {
  check_rc(fast::store_attr(o, name, name.memo, value), at);
}
inline void setattr(PyObject *o, PyObject *name, PyObject *value, Site at = Site()) {
  check_rc(PyObject_SetAttr(o, name, value), at);
}
// setattr on an object just made (kxfast.h: store_new_attr).
inline void set_new_attr(PyObject *o, const Name &name, PyObject *value, Site at = Site()) {
  check_rc(fast::store_new_attr(o, name, name.memo, value), at);
}

// o[key]. An exact dict's subscript is its lookup, raising KeyError((key,))
// for a missing key (the tuple keeps a tuple key whole), which is done here
// without the generic entry.
inline Ref getitem(PyObject *o, PyObject *key, Site at = Site()) {
#if KX_PY3
  if (PyDict_CheckExact(o)) {
    if (PyObject *v = PyDict_GetItemWithError(o, key)) return Ref::borrowed(v);
    if (!PyErr_Occurred()) {
      if (PyObject *args = PyTuple_Pack(1, key)) {
        PyErr_SetObject(PyExc_KeyError, args);
        Py_DECREF(args);
      }
    }
    fail(at);
  }
#endif
  return check(PyObject_GetItem(o, key), at);
}
// o[key] = value. An exact dict's item store is PyDict_SetItem, which
// PyObject_SetItem reaches through the type's mapping slot; a subclass (which
// may override __setitem__) and anything else take the generic entry.
inline void setitem(PyObject *o, PyObject *key, PyObject *value, Site at = Site()) {
  check_rc(PyDict_CheckExact(o) ? fast::dict_store(o, key, value) : PyObject_SetItem(o, key, value), at);
}
inline void delitem(PyObject *o, PyObject *key, Site at = Site()) {
  check_rc(PyObject_DelItem(o, key), at);
}

// Wire numbers: 8 and 16 bits become ints, 32 and 64 bits longs (under
// Python 3 all of them ints), made by kxfast.h.
using fast::new_number;
using fast::new_slong;
using fast::new_ulong;

// pair() of two new longs, without a reference wrapper per value.
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
// o.name = a long of v (a long only the attribute holds may be refilled:
// kxfast.h).
template <class T>
inline void set_number(PyObject *o, const Name &name, T v, Site at = Site()) {
  if (fast::refill_number(o, name, name.memo, v)) return;
  Ref value = check(new_number(v), at);
  setattr(o, name, value.get(), at);
}

// o.name = long_pair(a, b) (a pair only the attribute holds may be refilled:
// kxfast.h).
template <class T>
inline void set_pair(PyObject *o, const Name &name, T a, T b, Site at = Site()) {
  int done = fast::refill_pair(o, name, name.memo, a, b);
  if (done < 0) fail(at);
  if (!done) setattr(o, name, long_pair<T>(a, b, at).get(), at);
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
inline Ref py_bool(bool v) { return Ref::borrowed(v ? Py_True : Py_False); }
inline Ref new_list(Py_ssize_t n = 0, Site at = Site()) { return check(PyList_New(n), at); }
// An empty list with room for n items, for a list filled while its items are
// read: list_append puts each into the next free slot, so Python code that
// runs meanwhile (a rebound name, a finalizer run by a collection) and finds
// the list sees the items appended so far, never an empty slot. Code that
// grows or empties the list meanwhile sends the appends after it the slow way.
inline Ref new_list_room(Py_ssize_t n, Site at = Site()) {
  Ref list = new_list(n, at);
  reinterpret_cast<PyVarObject *>(list.get())->ob_size = 0;
  return list;
}
// list_append of a new reference, which the list takes (a list of the list
// type itself, as new_list_room makes).
inline void list_append_new(PyObject *list, Ref item, Site at = Site()) {
  PyListObject *l = reinterpret_cast<PyListObject *>(list);
  Py_ssize_t n = Py_SIZE(l);
  if (n < l->allocated) {
    l->ob_item[n] = item.release();
    reinterpret_cast<PyVarObject *>(l)->ob_size = n + 1;
    return;
  }
  check_rc(PyList_Append(list, item.get()), at);
}
inline Ref new_dict(Site at = Site()) { return check(PyDict_New(), at); }
// An empty dict with room for n items (kxfast.h: new_dict_room). Python
// 2.7's dict iterates in table order, which the table's size changes: there
// it is a plain new dict, grown as the stores grow it.
inline Ref new_dict_room(Py_ssize_t n, Site at = Site()) {
#if KX_PY3
  return check(fast::new_dict_room(n), at);
#else
  (void)n;
  return new_dict(at);
#endif
}
inline void list_append(PyObject *list, PyObject *item, Site at = Site()) {
  check_rc(PyList_Append(list, item), at);
}
// list.append(item) for any object; a real list takes the item directly.
void append_to(PyObject *list, PyObject *item, Site at = Site());
// Appends to whatever list the attribute holds now (fetched again each time,
// so a caller that swaps the list sees the items go to the new one).
void append_to_attr(PyObject *obj, const Name &attr, PyObject *item, Site at = Site());
// obj.attr = [].
void set_empty_list(PyObject *obj, const Name &attr, Site at = Site());
// A 2-tuple owning both values. A pair of numbers stays on the collector's
// list, as any new tuple does: the collector takes it off at its next pass,
// and taking it off here costs every handler more than that pass saves.
inline Ref pair(Ref a, Ref b, Site at = Site()) {
  Ref t = check(PyTuple_New(2), at);
  PyTuple_SET_ITEM(t.get(), 0, a.release());
  PyTuple_SET_ITEM(t.get(), 1, b.release());
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
// A tuple taking the given new references, in order.
template <class... R>
Ref tuple_of(R... items) {
  Ref t = check(PyTuple_New(sizeof...(items)));
  Py_ssize_t i = 0;
  (void)std::initializer_list<int>{(PyTuple_SET_ITEM(t.get(), i++, items.release()), 0)...};
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
int32_t as_long32_any(PyObject *o, Site at = Site());
inline int32_t as_long32(PyObject *o, Site at = Site()) {
  // An exact int that fits, as the general conversion gives it.
  if (PyInt_CheckExact(o) || PyLong_CheckExact(o)) {
    int overflow = 0;
    long v = PyInt_CheckExact(o) ? PyInt_AS_LONG(o) : PyLong_AsLongAndOverflow(o, &overflow);
    if (!overflow && v >= INT32_MIN && v <= INT32_MAX) return static_cast<int32_t>(v);
  }
  return as_long32_any(o, at);
}
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

  // The next n bytes, consumed, when that many remain (read them with
  // load()); null, nothing consumed, otherwise.
  static constexpr bool kWhole = false;  // a take may fail
  const uint8_t *try_take(uint32_t n) {
    if (!kx_msg_has(m_, n)) return nullptr;
    const uint8_t *p = m_->data + m_->pos;
    m_->pos = static_cast<uint16_t>(m_->pos + n);
    return p;
  }
  // True when n more bytes remain.
  bool has(uint32_t n) const { return kx_msg_has(m_, n) != 0; }
  kx_msg_t *msg() const { return m_; }
  // The wire number of T's width at p (most significant byte first).
  template <class T>
  static T load(const uint8_t *p) {
    T v;
    memcpy(&v, p, sizeof v);
    if constexpr (sizeof v == 2) v = __builtin_bswap16(v);
    if constexpr (sizeof v == 4) v = __builtin_bswap32(v);
    if constexpr (sizeof v == 8) v = __builtin_bswap64(v);
    return v;
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
  // library's string read leaves it when it fails (past the length, then
  // past the bytes a buffer of bufsize keeps, then past the rest), with no
  // bytes copied.
  bool try_skip_string(uint32_t bufsize) {
    uint32_t kept;
    return try_take_string(bufsize, &kept) != nullptr;
  }
  // A string field consumed as the library's string read into a buffer of
  // bufsize bytes consumes it: the length, the bytes such a buffer keeps
  // (their address in the message, and their number in *kept), the rest.
  // Null when a step's bytes are not all there; the position then stays
  // after the steps that were.
  const uint8_t *try_take_string(uint32_t bufsize, uint32_t *kept) {
    if (bufsize == 0) kx_bug(__FILE__, __LINE__, __func__, "bufsize 0");
    uint32_t n;
    if (!kx_msg_get_uint32(m_, &n)) return nullptr;
    *kept = n < bufsize - 1 ? n : bufsize - 1;
    const uint8_t *p = try_take(*kept);
    return p && try_skip(n - *kept) ? p : nullptr;
  }
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

// The fixed-width reads of a Reader over a block whose bytes were taken from
// the message at once (Reader::try_take): each field is read from that block
// without checking the length again. Python code run between two fields (a
// caller's setter that moves m.pos, a finalizer run by the collector) cannot
// make a later field come from anywhere else.
class Unchecked {
 public:
  explicit Unchecked(const uint8_t *block) : p_(block) {}
  template <class T>
  T num(Site = Site()) {
    T v = Reader::load<T>(p_);
    p_ += sizeof v;
    return v;
  }
  uint8_t u8(Site at = Site()) { return num<uint8_t>(at); }
  uint16_t u16(Site at = Site()) { return num<uint16_t>(at); }
  uint32_t u32(Site at = Site()) { return num<uint32_t>(at); }
  uint64_t u64(Site at = Site()) { return num<uint64_t>(at); }
  // The block holds every field read from it: a take never fails.
  static constexpr bool kWhole = true;
  const uint8_t *try_take(uint32_t n) {
    const uint8_t *p = p_;
    p_ += n;
    return p;
  }
  void skip(uint32_t n, Site = Site()) { p_ += n; }
  Ref int8(Site at = Site()) { return py_int(u8(at), at); }
  Ref int16(Site at = Site()) { return py_int(u16(at), at); }
  Ref long32(Site at = Site()) { return py_u32(u32(at), at); }
  Ref long64(Site at = Site()) { return py_u64(u64(at), at); }

 private:
  const uint8_t *p_;
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
  list,        // a count, then that many values (list_of) -> [value, ...]
  id,          // u32 -> int(value) through the built-in int
  skip_text,   // a string field read past as a bounded string of buffer `arg` reads it
  skip_if,     // a u8; when it is nonzero, `arg` more bytes read past; nothing is stored
  skip_family, // u8 0 (IPv4) or 1 (IPv6) for the addr rows after it, else BadMessageError(); nothing is stored
  skip_addr,   // an address of the last family row's family, read past
  repeat,      // first row only: a count of width `arg`; the (skipped) rows after it read that many times
  skip_since,  // `arg` bytes read past when the protocol version the read was given is at least the
               // module global the row's key names (looked up at each row); nothing is stored
  blob,        // a length of width `arg`, then that many bytes -> bytes
  skip_words,  // `arg` u32 words read past; a short message consumes the whole words there, then fails
};

// Kind::skip_since argument flag: the version compared by Python's >=
// ordering (greater_equal) rather than by the three-way comparison.
constexpr uint32_t kGreaterEqual = 0x10000;

// Kind::u32 argument: an attribute already holding a long only it holds has
// that long refilled with the new value (set_number) instead of a new one
// stored.
constexpr uint32_t kRefill = 1;

// Kind::pair arguments: the width in bytes of each number (1, 2, 4 or 8), and
// these flags.
constexpr uint32_t kSigned = 0x100;  // the numbers taken as signed
constexpr uint32_t kTimes8 = 0x200;  // each multiplied by 8 modulo 2^64 (byte rates as bit rates)
// Two pairs woven on the wire (a1 b1 a2 b2): the kWoven row reads all four
// numbers and takes (a1, a2); the kWovenRest row right after it reads nothing
// and takes (b1, b2).
constexpr uint32_t kWoven = 0x400;
constexpr uint32_t kWovenRest = 0x800;

// Kind::list arguments: the count's width in bytes, the kind of the values
// (u8, u16, u32, u64 or id) and the bytes read past before each value;
constexpr uint32_t list_of(uint32_t count_width, Kind element, uint32_t gap = 0) {
  return count_width | static_cast<uint32_t>(element) << 8 | gap << 16;
}
// and, for an attribute, how it grows: an empty list is assigned to it once
// the count is read (kGrow) or before the count (kGrowEarly), and each value
// is appended to whatever list the attribute holds at that moment. Without
// either flag the list is made whole, then stored.
constexpr uint32_t kGrow = 0x1000000;
constexpr uint32_t kGrowEarly = 0x2000000;

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
// new_attr is attr for an object just made: its pairs are stored new, not
// refilled (an old value its constructor left is rarely one to refill).
enum class Into : uint8_t { item, attr, new_attr, tuple };

namespace rows {

// What one pass over a table's rows carries from row to row.
struct State {
  bool v6 = false;        // the last family field said IPv6
  Ref *slots = nullptr;   // where Into::tuple puts the values, in row order
  size_t slot = 0;        // the next of them
  uint64_t woven[2];      // the pair a kWoven row leaves for the kWovenRest row
  PyObject *version = nullptr;  // the protocol version skip_since rows compare
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
  else if constexpr (into == Into::new_attr)
    set_new_attr(target, key, value.get(), at);
  else
    st.slots[st.slot++] = std::move(value);
}

// Two numbers of the row's width (signed with kSigned, times 8 with kTimes8):
// an attribute through set_pair (which refills a pair only the attribute
// holds), anything else as a new pair of longs.
template <Into into, uint32_t A, class R>
inline void read_pair(R &r, PyObject *target, const Name &key, State &st, Site at) {
  using W = Wire<(A & 0xff)>;
  using V = std::conditional_t<(A & kSigned) != 0, int64_t, uint64_t>;
  using S = std::conditional_t<(A & kSigned) != 0, typename W::signed_type, typename W::type>;
  using U = typename W::type;
  V a, b;
  if constexpr ((A & kWovenRest) != 0) {
    a = static_cast<V>(st.woven[0]);
    b = static_cast<V>(st.woven[1]);
  } else if constexpr ((A & kWoven) != 0) {
    // Four numbers, each into its own variable: a pass through an array
    // read back as a whole made the processor wait for the stores.
    V c, d;
    if (const uint8_t *q = r.try_take(4 * sizeof(U)); R::kWhole || q) {
      a = static_cast<V>(static_cast<S>(Reader::load<U>(q)));
      c = static_cast<V>(static_cast<S>(Reader::load<U>(q + sizeof(U))));
      b = static_cast<V>(static_cast<S>(Reader::load<U>(q + 2 * sizeof(U))));
      d = static_cast<V>(static_cast<S>(Reader::load<U>(q + 3 * sizeof(U))));
    } else {
      a = static_cast<V>(static_cast<S>(r.template num<U>(at)));
      c = static_cast<V>(static_cast<S>(r.template num<U>(at)));
      b = static_cast<V>(static_cast<S>(r.template num<U>(at)));
      d = static_cast<V>(static_cast<S>(r.template num<U>(at)));
    }
    st.woven[0] = static_cast<uint64_t>(c);
    st.woven[1] = static_cast<uint64_t>(d);
  } else if (const uint8_t *q = r.try_take(2 * sizeof(U)); R::kWhole || q) {
    a = static_cast<V>(static_cast<S>(Reader::load<U>(q)));
    b = static_cast<V>(static_cast<S>(Reader::load<U>(q + sizeof(U))));
  } else {  // short: the first number read (or not) as num() reads it
    a = static_cast<V>(static_cast<S>(r.template num<U>(at)));
    b = static_cast<V>(static_cast<S>(r.template num<U>(at)));
  }
  if constexpr ((A & kTimes8) != 0) {
    static_assert((A & (kWoven | kWovenRest)) == 0, "woven pairs are not scaled");
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

// Kinds read past that give no value.
constexpr bool stores_nothing(Kind k) {
  return k == Kind::skip || k == Kind::run || k == Kind::skip_text || k == Kind::skip_if ||
         k == Kind::skip_family || k == Kind::skip_addr || k == Kind::repeat || k == Kind::skip_since ||
         k == Kind::skip_words;
}
// The value of one field of kind K (a kind read on its own).
template <Kind K>
constexpr bool kReadAlone =
    K != Kind::family && K != Kind::addr && K != Kind::pair && K != Kind::list && !stores_nothing(K);

template <Kind K, uint32_t A, class R>
inline Ref value(R &r, Site at) {
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
  else if constexpr (K == Kind::id) return builtin_int(r.u32(at), at);
  else if constexpr (K == Kind::blob) return r.bytes(static_cast<uint32_t>(r.template num<typename Wire<A>::type>(at)), at);
  else return u32_pairs(r, at);
}

// The values of a Kind::list row without kGrow flags, in a list filled as
// they are read (new_list_room), its room no more than the message holds.
template <uint32_t A>
Ref list_value(Reader &r, Site at) {
  constexpr Kind E = static_cast<Kind>(A >> 8 & 0xff);
  static_assert(E == Kind::u8 || E == Kind::u16 || E == Kind::u32 || E == Kind::u64 || E == Kind::id,
                "a list of numbers");
  constexpr uint32_t gap = A >> 16 & 0xff, each = gap + (E == Kind::u8 ? 1 : E == Kind::u16 ? 2 : E == Kind::u64 ? 8 : 4);
  using C = typename Wire<(A & 0xff)>::type;
  C count = r.template num<C>(at);
  // A u32 count may be far more than the message holds; u8 and u16 ones are not.
  uint32_t room = count;
  if constexpr (sizeof(C) > 2) room = count < r.remaining() / each ? count : r.remaining() / each;
  Ref list = new_list_room(room, at);
  if constexpr (E == Kind::id) {
    IntRun int_of(at);
    for (C i = 0; i < count; i++) list_append_new(list.get(), int_of(r.u32(at), at), at);
  } else {
    // No Python code runs between two values: when all their bytes are
    // there, they are read with that one length check.
    auto fill = [&](auto &from) {
      for (C i = 0; i < count; i++) {
        if constexpr (gap != 0) from.skip(gap, at);
        list_append_new(list.get(), value<E, 0>(from, at), at);
      }
    };
    const uint8_t *block = uint64_t{count} * each <= r.remaining() ? r.try_take(count * each) : nullptr;
    if (block) {
      Unchecked u(block);
      fill(u);
    } else {
      fill(r);
    }
  }
  return list;
}

// A Kind::list row: a list stored whole, or an attribute grown value by value.
template <Into into, uint32_t A>
inline void read_list(Reader &r, PyObject *target, const Name &key, State &st, Site at) {
  if constexpr ((A & (kGrow | kGrowEarly)) != 0) {
    static_assert(into == Into::attr || into == Into::new_attr, "only an attribute grows");
    using C = typename Wire<(A & 0xff)>::type;
    constexpr Kind E = static_cast<Kind>(A >> 8 & 0xff);
    if constexpr ((A & kGrowEarly) != 0) set_empty_list(target, key, at);
    C n = r.template num<C>(at);
    if constexpr ((A & kGrowEarly) == 0) set_empty_list(target, key, at);
    for (; n; n--) append_to_attr(target, key, value<E, 0>(r, at).get(), at);
  } else {
    store<into>(target, key, list_value<A>(r, at), st, at);
  }
}

template <Into into, Kind K, uint32_t A, class R>
inline __attribute__((always_inline)) void read_row(R &r, PyObject *target, const Name &key, State &st,
                                                    Site at) {
  if constexpr (K == Kind::skip) {
    r.skip(A, at);
  } else if constexpr (K == Kind::run) {
    r.skip(static_cast<uint32_t>(r.template num<typename Wire<A>::type>(at)), at);
  } else if constexpr (K == Kind::pair) {
    read_pair<into, A>(r, target, key, st, at);
  } else if constexpr (K == Kind::family) {
    uint8_t family = r.u8(at);
    if (family > 1) bad_message_text(at, "Unknown ip address type %d", family);
    st.v6 = family == 1;
    store<into>(target, key, py_int(family, at), st, at);
  } else if constexpr (K == Kind::addr) {
    store<into>(target, key, r.address(st.v6, at), st, at);
  } else if constexpr (K == Kind::list) {
    read_list<into, A>(r, target, key, st, at);
  } else if constexpr (K == Kind::skip_text) {
    r.skip_string(A, at);
  } else if constexpr (K == Kind::skip_if) {
    if (r.u8(at)) r.skip(A, at);
  } else if constexpr (K == Kind::skip_family) {
    st.v6 = r.family(nullptr, at);
  } else if constexpr (K == Kind::skip_addr) {
    r.skip_address(st.v6, at);
  } else if constexpr (K == Kind::skip_since) {
    Ref threshold = global(key, at);
    bool since = (A & kGreaterEqual) != 0 ? greater_equal(st.version, threshold.get(), at)
                                          : cmp_at_least(st.version, threshold.get(), at);
    if (since) r.skip(A & 0xffff, at);
  } else if constexpr (K == Kind::skip_words) {
    uint32_t present = r.remaining() / 4;
    r.skip(4 * (A < present ? A : present), at);
    if (present < A) bad_message(at);
  } else if constexpr (K == Kind::u32 && (A & kRefill) != 0 && into == Into::attr) {
    set_number(target, key, r.u32(at), at);
  } else {
    store<into>(target, key, value<K, A>(r, at), st, at);
  }
}

// Reads the rows in order and stores each value on `target` right after
// reading it, so a short message leaves the fields before it stored.
// The rows from O on.
template <Into into, auto &Rows, size_t O, class R, size_t... I>
inline void read_rows(R &r, PyObject *target, const Name *keys, State &st, std::index_sequence<I...>,
                 Site at) {
  (read_row<into, Rows[O + I].kind, Rows[O + I].arg>(r, target, keys[O + I], st, at), ...);
}
template <Into into, auto &Rows, class R, size_t... I>
inline void read(R &r, PyObject *target, const Name *keys, Ref *slots, std::index_sequence<I...> seq,
                 Site at, PyObject *version = nullptr) {
  State st;
  st.slots = slots;
  st.version = version;
  if constexpr (Rows[0].kind == Kind::repeat) {
    static_assert(into == Into::item, "only skipped rows repeat");
    using C = typename Wire<Rows[0].arg>::type;
    for (C n = r.template num<C>(at); n; n--)
      read_rows<into, Rows, 1>(r, target, keys, st, std::make_index_sequence<sizeof...(I) - 1>(), at);
  } else {
    read_rows<into, Rows, 0>(r, target, keys, st, seq, at);
  }
}

// The bytes a row takes when its kind has a fixed width; kVariable otherwise.
constexpr uint32_t kVariable = 0xffffffff;
constexpr uint32_t fixed_width(const Field &f) {
  switch (f.kind) {
    case Kind::u8: case Kind::boolean: return 1;
    case Kind::u16: case Kind::s16: return 2;
    case Kind::u32: case Kind::s32: case Kind::bps: return 4;
    case Kind::u64: return 8;
    case Kind::absent: return 0;
    case Kind::pair: return (f.arg & kWovenRest ? 0 : f.arg & kWoven ? 4 : 2) * (f.arg & 0xff);
    case Kind::skip: return f.arg;
    default: return kVariable;
  }
}
// The bytes of a table of fixed-width rows; kVariable when a row has none.
template <auto &Rows>
constexpr uint32_t table_width() {
  uint32_t n = 0;
  for (const Field &f : Rows) {
    if (fixed_width(f) == kVariable) return kVariable;
    n += fixed_width(f);
  }
  return n;
}

// A table of fixed-width rows whose bytes are all there is read with one
// length check; any other, and a short one, row by row.
template <Into into, auto &Rows>
inline void read(Reader &r, PyObject *target, const Table<Rows> &t, Site at, Ref *slots = nullptr,
                 PyObject *version = nullptr) {
  constexpr uint32_t width = table_width<Rows>();
  if constexpr (width != kVariable && Table<Rows>::size > 1) {
    if (const uint8_t *block = r.try_take(width)) {
      Unchecked u(block);
      read<into, Rows>(u, target, t.keys(), slots, std::make_index_sequence<Table<Rows>::size>(), at);
      return;
    }
  }
  read<into, Rows>(r, target, t.keys(), slots, std::make_index_sequence<Table<Rows>::size>(), at, version);
}

// A table of fixed-width numbers and skips read into `out` (one slot per
// number, in row order), its width checked once.
template <Kind K, uint32_t A, class R>
inline void number_row(R &r, uint64_t *&out, Site at) {
  if constexpr (K == Kind::skip) {
    r.skip(A, at);
  } else {
    static_assert(K == Kind::u8 || K == Kind::u16 || K == Kind::u32 || K == Kind::u64, "a number row");
    *out++ = r.template num<typename Wire<fixed_width(Field{nullptr, K, A})>::type>(at);
  }
}
template <auto &Rows, class R, size_t... I>
inline void read_numbers(R &r, uint64_t *out, std::index_sequence<I...>, Site at) {
  (number_row<Rows[I].kind, Rows[I].arg>(r, out, at), ...);
}
// The same from the table's bytes at p, each number loaded from its offset.
template <auto &Rows>
constexpr uint32_t offset_of(size_t row) {
  uint32_t n = 0;
  for (size_t k = 0; k < row; k++) n += fixed_width(Rows[k]);
  return n;
}
template <auto &Rows>
constexpr size_t slot_of(size_t row) {
  size_t n = 0;
  for (size_t k = 0; k < row; k++) n += Rows[k].kind != Kind::skip;
  return n;
}
template <Kind K, uint32_t A, uint32_t Offset, size_t Slot>
inline void load_row(const uint8_t *p, uint64_t *out) {
  if constexpr (K != Kind::skip) out[Slot] = Reader::load<typename Wire<fixed_width(Field{nullptr, K, A})>::type>(p + Offset);
}
template <auto &Rows, size_t... I>
inline void load_numbers(const uint8_t *p, uint64_t *out, std::index_sequence<I...>) {
  (load_row<Rows[I].kind, Rows[I].arg, offset_of<Rows>(I), slot_of<Rows>(I)>(p, out), ...);
}

}  // namespace rows

template <auto &Rows>
void read_items(Reader &r, PyObject *dict, const Table<Rows> &t, Site at = Site()) {
  rows::read<Into::item>(r, dict, t, at);
}
// The same from a block already taken (Unchecked), for a table of
// fixed-width fields.
template <auto &Rows>
void read_items(Unchecked &block, PyObject *dict, const Table<Rows> &t, Site at = Site()) {
  static_assert(rows::table_width<Rows>() != rows::kVariable, "a table of fixed-width fields");
  rows::read<Into::item, Rows>(block, dict, t.keys(), nullptr, std::make_index_sequence<Table<Rows>::size>(), at);
}
template <auto &Rows>
void read_attrs(Reader &r, PyObject *obj, const Table<Rows> &t, Site at = Site()) {
  rows::read<Into::attr>(r, obj, t, at);
}
template <auto &Rows>
constexpr bool has_pair() {
  for (const Field &f : Rows)
    if (f.kind == Kind::pair || (f.kind == Kind::u32 && (f.arg & kRefill))) return true;
  return false;
}
// The same for an object just made when `fresh` (see Into::new_attr; only
// pairs and refilled numbers are stored differently).
template <auto &Rows>
void read_attrs(Reader &r, PyObject *obj, const Table<Rows> &t, bool fresh, Site at = Site()) {
  if (has_pair<Rows>() && fresh)
    rows::read<Into::new_attr>(r, obj, t, at);
  else
    rows::read<Into::attr>(r, obj, t, at);
}
// The same, on an object just made, from a block already taken (Unchecked):
// several tables read after one length check.
template <auto &Rows>
void read_new_attrs(Unchecked &block, PyObject *obj, const Table<Rows> &t, Site at = Site()) {
  static_assert(rows::table_width<Rows>() != rows::kVariable, "a table of fixed-width fields");
  rows::read<Into::new_attr, Rows>(block, obj, t.keys(), nullptr, std::make_index_sequence<Table<Rows>::size>(),
                                   at);
}
// Reads past every field of a table of skips.
template <auto &Rows>
void skip_fields(Reader &r, const Table<Rows> &t, Site at = Site()) {
  rows::read<Into::item>(r, nullptr, t, at);
}
// The same for a table with skip_since rows, which compare `version`.
template <auto &Rows>
void skip_fields(Reader &r, const Table<Rows> &t, PyObject *version, Site at = Site()) {
  rows::read<Into::item>(r, nullptr, t, at, nullptr, version);
}

// The numbers of a table of u8/u16/u32/u64 and skip rows into `out`, one
// slot per number, its width checked once; a short message raises
// BadMessageError() where its first missing field stands.
template <auto &Rows, size_t N>
inline __attribute__((always_inline)) void read_numbers(Reader &r, const Table<Rows> &, uint64_t (&out)[N],
                                                        Site at = Site()) {
  constexpr uint32_t width = rows::table_width<Rows>();
  static_assert(width != rows::kVariable, "fixed-width rows");
  constexpr auto seq = std::make_index_sequence<Table<Rows>::size>();
  if constexpr (Table<Rows>::size == 1 && Rows[0].kind != Kind::skip)
    out[0] = r.num<typename rows::Wire<width>::type>(at);
  else if (const uint8_t *p = r.try_take(width))
    rows::load_numbers<Rows>(p, out, seq);
  else
    rows::read_numbers<Rows>(r, out, seq, at);
}
// The same, giving false with nothing consumed when not even the first
// row's field is whole (where a run of records ends).
template <auto &Rows, size_t N>
inline __attribute__((always_inline)) bool try_read_numbers(Reader &r, const Table<Rows> &,
                                                            uint64_t (&out)[N], Site at = Site()) {
  if constexpr (Table<Rows>::size == 1 && Rows[0].kind != Kind::skip) {
    typename rows::Wire<rows::fixed_width(Rows[0])>::type v;
    if (!r.try_num(v)) return false;
    out[0] = v;
    return true;
  }
  constexpr auto seq = std::make_index_sequence<Table<Rows>::size>();
  if (const uint8_t *p = r.try_take(rows::table_width<Rows>())) {
    rows::load_numbers<Rows>(p, out, seq);
    return true;
  }
  if (!r.has(rows::fixed_width(Rows[0]))) return false;
  rows::read_numbers<Rows>(r, out, seq, at);
  return true;
}
// The number of a table of one number row (a count, a mask).
template <auto &Rows>
inline __attribute__((always_inline)) uint64_t read_number(Reader &r, const Table<Rows> &t, Site at = Site()) {
  uint64_t v[1];
  read_numbers(r, t, v, at);
  return v[0];
}

// The values of a table's fields as a new tuple. The values are read first
// and the tuple made of them last: reading may run Python code (a short
// field looks BadMessageError up, the collector may run), which must never
// find a tuple with empty slots.
template <auto &Rows>
constexpr size_t value_count() {
  size_t n = 0;
  for (const Field &f : Rows) n += !rows::stores_nothing(f.kind);
  return n;
}
// The values of a table's fields, in row order, into `values`.
template <auto &Rows, size_t N>
void read_values(Reader &r, const Table<Rows> &t, Ref (&values)[N], Site at = Site()) {
  static_assert(N == value_count<Rows>(), "one slot for each value of the table");
  rows::read<Into::tuple>(r, nullptr, t, at, values);
}
// The value of a table of one row.
template <auto &Rows>
Ref read_value(Reader &r, const Table<Rows> &, Site at = Site()) {
  static_assert(Table<Rows>::size == 1 && (rows::kReadAlone<Rows[0].kind> ||
                                           (Rows[0].kind == Kind::list && !(Rows[0].arg & (kGrow | kGrowEarly)))),
                "a table of one value");
  if constexpr (Rows[0].kind == Kind::list)
    return rows::list_value<Rows[0].arg>(r, at);
  else
    return rows::value<Rows[0].kind, Rows[0].arg>(r, at);
}
template <auto &Rows>
Ref read_tuple(Reader &r, const Table<Rows> &t, Site at = Site()) {
  constexpr size_t n = value_count<Rows>();
  Ref values[n];
  read_values(r, t, values, at);
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(n)), at);
  for (size_t i = 0; i < n; i++) PyTuple_SET_ITEM(tuple.get(), i, values[i].release());
  return tuple;
}

// try_read_numbers for a table of skips only.
template <auto &Rows>
bool try_skip_fields(Reader &r, const Table<Rows> &t, Site at = Site()) {
  uint64_t none[1];
  static_assert(value_count<Rows>() == 0, "skips only");
  return try_read_numbers(r, t, none, at);
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
// The rows are a constexpr table, so each read is a direct call.
template <auto &Rows, class Ctx, size_t... I>
inline void read_blocks(Reader &r, uint32_t flags, Ctx &ctx, std::index_sequence<I...>) {
  ((flags & Rows[I].flag ? Rows[I].read(r, ctx) : void()), ...);
}
template <auto &Rows, class Ctx>
void read_blocks(Reader &r, uint32_t flags, Ctx &ctx) {
  read_blocks<Rows>(r, flags, ctx, std::make_index_sequence<sizeof Rows / sizeof Rows[0]>());
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
// A function's entry: its `nparams` arguments parsed by the keyword names
// `kwlist`, then impl. Python 3 calls it with the positional arguments in a C
// array and the keyword names in a tuple, their values after the positional
// ones (METH_FASTCALL); Python 2.7 with a tuple and a dict.
#if KX_PY3
#define KX_ENTRY_FLAGS (METH_FASTCALL | METH_KEYWORDS)
#define KX_ENTRY_PARAMS PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames
#define KX_ENTRY_ARGS args, nargs, kwnames
#else
#define KX_ENTRY_FLAGS (METH_VARARGS | METH_KEYWORDS)
#define KX_ENTRY_PARAMS PyObject *args, PyObject *kw
#define KX_ENTRY_ARGS args, kw
#endif
PyObject *entry(const char *tbname, const char *const *kwlist, size_t nparams, KX_ENTRY_PARAMS, Impl impl);

// Calls the module function bound to `name` now with `args` (module functions
// that call others look them up at call time, so a caller may rebind them).
// While the name is still bound to this module's own function `own`,
// body(args) runs directly (its body, or the same reads on the caller's
// Reader): the same work and the same traceback entries, without a second
// argument parse. Any other binding is called as Python would.
// True while `name` is bound (in the module namespace, else the built-ins)
// to this module's own function `own`. The binding is only compared, so it
// is not held.
inline bool bound_to_own(const Name &name, PyCFunction own) {
  PyObject *binding = fast::lookup(module_dict, name, name.memo, 0);
  if (!binding) binding = fast::lookup(builtins_dict, name, name.memo, 1);
  return binding && PyCFunction_Check(binding) && PyCFunction_GET_FUNCTION(binding) == own;
}

template <size_t N, class Body>
Ref call_module_function(const Name &name, PyCFunction own, const char *tbname, PyObject *const (&args)[N],
                         Body body, Site at = Site()) {
  if (bound_to_own(name, own)) {
    try {
      return body(args);
    } catch (...) {
      exception_to_python(tbname);
      fail(at);
    }
  }
  Ref f = global(name, at);
  return call_args(f.get(), args, N, at);
}

// The same for a loop of such calls: run(calls) runs the loop, each call
// going through calls(...) as call_module_function would make it. The
// loop's one try block gives a body's failure its traceback entry, the
// function named by `inside` while that body runs.
class InlineCalls {
 public:
  template <size_t N, class Body>
  Ref operator()(const Name &name, PyCFunction own, const char *tbname, PyObject *const (&args)[N], Body body,
                 Site at = Site()) {
    if (bound_to_own(name, own)) {
      inside_ = tbname;
      Ref v = body(args);
      inside_ = nullptr;
      return v;
    }
    Ref f = global(name, at);
    return call_args(f.get(), args, N, at);
  }
  template <class Loop>
  static Ref run(Loop loop, Site at = Site()) {
    InlineCalls calls;
    try {
      return loop(calls);
    } catch (...) {
      if (!calls.inside_) throw;
      exception_to_python(calls.inside_);
      fail(at);
    }
  }

 private:
  InlineCalls() = default;
  const char *inside_ = nullptr;
};

}  // namespace kx

// Defines module function NAME with its keyword names; the body follows as a
// function of `arg` (the parsed arguments, by position) returning a kx::Ref.
#define KX_FUNCTION(NAME, ...)                                                        \
  static kx::Ref NAME##_impl(PyObject *const *arg);                                   \
  static const char *const NAME##_kwlist[] = {__VA_ARGS__, nullptr};                   \
  /* The keyword names as written, quotes and all: the frame makes the */             \
  /* function's signature line of them. */                                            \
  static const char NAME##_params[] = #__VA_ARGS__;                                   \
  static_assert(sizeof NAME##_kwlist / sizeof NAME##_kwlist[0] - 1 <= kx::kMaxArgs,     \
                #NAME " takes more arguments than a function entry holds");            \
  static PyObject *kx_fn_##NAME(PyObject *, KX_ENTRY_PARAMS) {                        \
    return kx::entry("KXdv17_0." #NAME, NAME##_kwlist,                                  \
                     sizeof NAME##_kwlist / sizeof NAME##_kwlist[0] - 1, KX_ENTRY_ARGS, \
                     NAME##_impl);                                                      \
  }                                                                                   \
  static kx::Ref NAME##_impl(PyObject *const *arg __attribute__((unused)))

// Calls module function NAME (defined in this file, with KX_NAME(NAME)
// declared) through its current binding in the module namespace.
#define KX_CALL_MODULE_FUNCTION(NAME, ...) KX_CALL_MODULE_BODY(NAME, NAME##_impl, __VA_ARGS__)
// The same, running BODY(args) while the binding is the module's own.
#define KX_CALL_MODULE_BODY(NAME, BODY, ...)                                                          \
  kx::call_module_function(n_##NAME, reinterpret_cast<PyCFunction>(kx_fn_##NAME), "KXdv17_0." #NAME, \
                           {__VA_ARGS__}, BODY)
// The same inside InlineCalls::run, through its `calls`.
#define KX_CALL_INLINE(CALLS, NAME, BODY, ...) \
  CALLS(n_##NAME, reinterpret_cast<PyCFunction>(kx_fn_##NAME), "KXdv17_0." #NAME, {__VA_ARGS__}, BODY)

// A handler NAME(m) whose message is one value: that of TABLE, a table of
// one row.
#define KX_VALUE_HANDLER(NAME, TABLE) \
  KX_FUNCTION(NAME, "m") {            \
    kx::Reader r(arg[0]);             \
    return kx::read_value(r, TABLE);  \
  }                                   \
  static_assert(true, "")

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
// ml_doc holds the keyword names as KX_FUNCTION wrote them until the frame
// turns them into the function's signature line.
#define KX_METHOD(NAME) \
  { #NAME, reinterpret_cast<PyCFunction>(kx_fn_##NAME), KX_ENTRY_FLAGS, NAME##_params }
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
