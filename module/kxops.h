// Python operations that throw on failure: calls, attributes, items,
// numbers, text and data, lists, dicts and tuples, conversions of arguments.
//
// These run once or more per decoded record; those that may take a shortcut
// into the interpreter go through pyfast/kxfast.h.
//
// May touch: Python objects through the C API and kxfast.h. It never reads or
// writes a message (no kx_msg_*) and never names one.
#ifndef KX_MODULE_KXOPS_H
#define KX_MODULE_KXOPS_H

#include "kxerrors.h"
#include "kxref.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <initializer_list>
#include <utility>

namespace kx {

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

}  // namespace kx

#endif
