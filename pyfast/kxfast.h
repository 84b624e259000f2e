// The helper layer's operations that may take a shortcut into the
// interpreter's internals, each beside its generic twin. kxconfig.h says
// which shortcuts a build takes (KX_FAST_*; none with KX_GENERIC); the
// generic twin is what the public API does, and each shortcut gives the same
// observable result, for the reason given where it is taken.
//
// These are raw operations: new references or borrowed ones as each says,
// null or -1 with a Python exception set on failure. module/kxops.h wraps
// them. May touch: the interpreter's structures (kxconfig.h says which);
// never a message (no kx_msg_*).
#ifndef KX_PYFAST_KXFAST_H
#define KX_PYFAST_KXFAST_H

#include "kxcompat.h"

#include <limits.h>
#include <stddef.h>
#include <stdint.h>

namespace kx {
namespace fast {

// What the shortcuts remember per interned name (kept in each kx::Name).
struct NameMemo {
#if KX_ABSENT_MEMO
  // The last type found without an attribute of this name along its MRO,
  // with the version tag it had then (owned, so that the address is never
  // reused for another type while it is remembered).
  PyTypeObject *absent_type = nullptr;
  unsigned int absent_tag = 0;
#endif
#if KX_FAST_LOOKUP
  // The version tag each namespace had at the last lookup (0: none yet) and
  // what that lookup gave, null for not bound.
  uint64_t seen_version[2] = {0, 0};
  PyObject *seen_value[2] = {nullptr, nullptr};
#endif
#if KX_SHARED_KEYS_INDEX
  // The index of the name in the shared keys last looked at, or -1 when
  // they did not hold it while they had absent_entries entries.
  PyDictKeysObject *index_keys = nullptr;
  Py_ssize_t index = -1;
  Py_ssize_t absent_entries = -1;
#endif
};

// Prepares what the shortcuts take from the interpreter at import; false
// with an exception set on failure.
bool init();

// ---- numbers -------------------------------------------------------------------------

#if KX_FAST_INTS
// Python 2.7 makes a long of a C unsigned value by allocating a long of as
// many 30-bit digits as the value needs and filling them, with no cache of
// small values; make_long does the same inline, without three calls per value.
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
#endif

// A new long (an int under Python 3) of a C value.
#if KX_FAST_INTS
inline PyObject *new_ulong(uint64_t v) { return make_long(v, false); }
inline PyObject *new_slong(int64_t v) {
  return v < 0 ? make_long(0 - static_cast<uint64_t>(v), true)
               : make_long(static_cast<uint64_t>(v), false);
}
#elif KX_PY3
// The constructor from a C long has the fast paths for one digit (cached
// small ints, values below 2**30); the unsigned one makes longer values
// with fewer instructions.
inline PyObject *new_ulong(uint64_t v) {
  return v < (uint64_t(1) << 30) ? PyLong_FromLong(static_cast<long>(v))
                                 : PyLong_FromUnsignedLongLong(v);
}
inline PyObject *new_slong(int64_t v) { return PyLong_FromLongLong(v); }
#else
inline PyObject *new_ulong(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject *new_slong(int64_t v) { return PyLong_FromLongLong(v); }
#endif

template <class T>
inline PyObject *new_number(T v) {
  return T(-1) < T(0) ? new_slong(static_cast<int64_t>(v)) : new_ulong(static_cast<uint64_t>(v));
}

// ---- dicts ---------------------------------------------------------------------------------

// A new empty dict that takes n items without growing its table (generic:
// a plain new dict, grown as it is filled).
inline PyObject *new_dict_room(Py_ssize_t n) {
#if KX_FAST_PRESIZED_DICT
  return _PyDict_NewPresized(n);
#else
  (void)n;
  return PyDict_New();
#endif
}

// ---- namespaces and attributes -----------------------------------------------------------

// The value bound to `name` (an interned str) in a namespace that lives as
// long as the module (which: 0 the module's, 1 the built-ins'), borrowed;
// null when unbound. As PyDict_GetItem.
#if KX_FAST_LOOKUP
// The lookup itself, when the namespace changed since the last one.
PyObject *lookup_again(PyObject *dict, PyObject *name, NameMemo &memo, int which);
inline PyObject *lookup(PyObject *dict, PyObject *name, NameMemo &memo, int which) {
  uint64_t version = reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
  if (version == memo.seen_version[which]) return memo.seen_value[which];
  return lookup_again(dict, name, memo, which);
}
#else
inline PyObject *lookup(PyObject *dict, PyObject *name, NameMemo &, int) {
  return PyDict_GetItem(dict, name);
}
#endif

// PyDict_SetItem(dict, key, value) for a dict (an instance of dict or of a
// subclass: PyDict_SetItem never calls a subclass's own __setitem__).
#if KX_FAST_DICT_STORE
int dict_store(PyObject *dict, PyObject *key, PyObject *value);
#else
inline int dict_store(PyObject *dict, PyObject *key, PyObject *value) {
  return PyDict_SetItem(dict, key, value);
}
#endif

#if KX_ABSENT_MEMO
// True when a lookup of `name` along the MRO of `type` finds nothing (no
// class attribute, property or slot of that name). The memo keeps the last
// type where it found nothing and the type's version tag then; the
// interpreter invalidates the tag whenever the type or one of its bases
// changes, so while it is valid and equal the lookup would find nothing again.
bool lookup_absent(PyTypeObject *type, PyObject *name, NameMemo &memo);
inline bool absent_from(PyTypeObject *type, PyObject *name, NameMemo &memo) {
  if (type == memo.absent_type && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
      type->tp_version_tag == memo.absent_tag)
    return true;
  return lookup_absent(type, name, memo);
}
#endif

// o.name = value (value null: del o.name), as PyObject_SetAttr with an
// interned name: the type's store slot called directly.
//
// 2.7 with KX_FAST_DICT_STORE: an instance whose type keeps the generic
// store and holds its attributes in a __dict__ gets the value in that dict,
// as the generic store puts it there when nothing along the type's MRO of
// that name would take the store (a property, a __slots__ member, any class
// attribute).
#if KX_FAST_DICT_STORE
// The instance dict that `o.name = v` would store into, when the store is
// the generic one and goes there; null otherwise.
inline PyObject *store_dict(PyObject *o, PyObject *name, NameMemo &memo) {
  PyTypeObject *tp = Py_TYPE(o);
  if (tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_dictoffset <= 0) return nullptr;
  PyObject *dict = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + tp->tp_dictoffset);
  return dict && absent_from(tp, name, memo) ? dict : nullptr;
}
#endif
#if KX_SHARED_KEYS_INDEX
// Python 3.11 keeps the attributes of a plain class's instance in an array
// laid out by keys the class shares among its instances; the index of the
// name there, or -1 when the keys do not hold it. Shared keys only grow, and
// an entry keeps its key: the remembered index holds while the entry there is
// still this name, and "not held" while they have as many entries as then.
Py_ssize_t index_again(PyDictKeysObject *keys, PyObject *name, NameMemo &memo);
inline Py_ssize_t index_in(PyDictKeysObject *keys, PyObject *name, NameMemo &memo) {
  if (keys && keys == memo.index_keys) {
    if (memo.index < 0) {
      if (keys->dk_nentries == memo.absent_entries) return -1;
    } else if (memo.index < keys->dk_nentries && DK_UNICODE_ENTRIES(keys)[memo.index].me_key == name) {
      return memo.index;
    }
  }
  return index_again(keys, name, memo);
}
// The array of a plain instance that holds its values there (no __dict__
// object made yet), four pointers before the object; null otherwise.
inline PyDictValues *instance_values(PyObject *o) {
  return PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_MANAGED_DICT) ? reinterpret_cast<PyDictValues **>(o)[-4]
                                                                 : nullptr;
}
// The dict of such an instance whose values are no longer in that array,
// three pointers before the object; null when it has none.
inline PyObject *instance_dict(PyObject *o) {
  return PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_MANAGED_DICT) ? reinterpret_cast<PyObject **>(o)[-3] : nullptr;
}
#endif

#if KX_FAST_INSTANCE_STORE
// 3.11 with KX_FAST_INSTANCE_STORE: an instance of a plain class whose values
// are still in that array, and a name the class's shared keys hold with
// nothing of that name along the MRO, gets the value in the array, as the
// generic store puts it there (_PyObject_StoreInstanceAttribute once the
// keys gave the index): the new value in the slot, the slot added to the
// instance's insertion order when it was empty, the old value dropped last.
// True when done.
bool store_value(PyObject *o, PyObject *name, NameMemo &memo, PyObject *value);
#endif
inline int store_attr(PyObject *o, PyObject *name, NameMemo &memo, PyObject *value) {
#if KX_FAST_DICT_STORE
  PyObject *dict = value ? store_dict(o, name, memo) : nullptr;
  if (dict) {
    Py_INCREF(dict);  // as the generic store: the insertion may replace __dict__
    int rc = dict_store(dict, name, value);
    Py_DECREF(dict);
    return rc;
  }
#else
  (void)memo;
#endif
  setattrofunc set = Py_TYPE(o)->tp_setattro;
  return set ? set(o, name, value) : PyObject_SetAttr(o, name, value);
}

// store_attr of a value into an object just made, whose class the handler
// meets again and again (with KX_FAST_INSTANCE_STORE, store_value).
inline int store_new_attr(PyObject *o, PyObject *name, NameMemo &memo, PyObject *value) {
#if KX_FAST_INSTANCE_STORE
  if (store_value(o, name, memo, value)) return 0;
#endif
  return store_attr(o, name, memo, value);
}

// ---- refilling values nobody else holds ----------------------------------------------------
//
// A handler that updates a caller's object replaces attribute values that
// are numbers and pairs of numbers. Where the value the
// attribute holds now is referenced by that attribute alone (reference count
// one), no code can ever see it again once it is replaced: writing the new
// value into the old object gives the same observable result as storing a
// new object and freeing the old one, and saves the allocations, the store
// and the frees. Only exact ints, longs and tuples qualify: freeing
// them runs no code, and no subclass can notice.

#if KX_FAST_REFILL
// The value o.name holds now (borrowed), when `o.name = v` would go straight
// into o's own attribute storage (the generic store, and no class attribute
// of that name along the MRO that could take it) and finding the value runs
// no Python code; null otherwise, with no exception set.
PyObject *own_attr(PyObject *o, PyObject *name, NameMemo &memo);
#endif

#if KX_FAST_REFILL
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
  Py_SET_SIZE(x, negative ? -n : n);
}
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

// o.name = a long of v done by refilling the long o.name holds: true when
// done, false when the caller stores a new one.
template <class T>
inline bool refill_number(PyObject *o, PyObject *name, NameMemo &memo, T v) {
#if KX_FAST_REFILL
  PyObject *x = own_attr(o, name, memo);
  if (x && number_takes(x, v)) {
    number_write(x, v);
    return true;
  }
#else
  (void)o, (void)name, (void)memo, (void)v;
#endif
  return false;
}

// o.name = (a, b) done by refilling the pair o.name holds, when it is an
// exact pair of exact numbers: each number in place where it can take the
// value, else replaced by a new one. The new ones are made before anything
// changes, so a failed allocation leaves the pair as it was. 1 when done,
// 0 when the caller stores a new pair, -1 on failure.
template <class T>
inline int refill_pair(PyObject *o, PyObject *name, NameMemo &memo, T a, T b) {
#if KX_FAST_REFILL
  PyObject *t = own_attr(o, name, memo);
  if (!t || !PyTuple_CheckExact(t) || Py_REFCNT(t) != 1 || PyTuple_GET_SIZE(t) != 2) return 0;
  PyObject *x = PyTuple_GET_ITEM(t, 0), *y = PyTuple_GET_ITEM(t, 1);
  if (!(PyLong_CheckExact(x) || PyInt_CheckExact(x)) || !(PyLong_CheckExact(y) || PyInt_CheckExact(y)))
    return 0;
  bool wx = number_takes(x, a), wy = number_takes(y, b);
  PyObject *nx = wx ? nullptr : new_number(a);
  PyObject *ny = wy ? nullptr : new_number(b);
  if ((!wx && !nx) || (!wy && !ny)) {
    Py_XDECREF(nx);
    Py_XDECREF(ny);
    return -1;
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
  return 1;
#else
  (void)o, (void)name, (void)memo, (void)a, (void)b;
  return 0;
#endif
}

// ---- calls ----------------------------------------------------------------------------------

// f(args[0], ..., args[n-1]), as PyObject_Call(f, tuple of the args, NULL);
// a new reference or null. Python 3 makes the call through vectorcall;
// with KX_FAST_CALLS, see kxfast.cpp for the callables called directly.
PyObject *call(PyObject *f, PyObject *const *args, size_t n);

}  // namespace fast
}  // namespace kx

#endif
