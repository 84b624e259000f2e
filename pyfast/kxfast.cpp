// The out-of-line shortcuts of kxfast.h, each beside its generic twin.
#include "kxfast.h"

namespace kx {
namespace fast {

// ---- dict stores (2.7) ---------------------------------------------------------------------
//
// Python 2.7 keeps a dict's entries in an open-addressed table. A dict whose
// keys are all str (its lookup is the interpreter's string lookup, which a
// dict gives up for good at its first other key) finds a str key by the
// probe sequence below, which is that lookup's: the first slot that holds
// the key (the same object, or an equal str of equal hash), else the first
// deleted slot on the way, else the empty slot that ends the sequence. It
// compares str only with str, so it runs no Python code and cannot fail.
// PyDict_SetItem then replaces the value of a found key, or fills the slot
// and grows the table when it is two thirds used. dict_store does the same
// for a str key whose hash is already cached, leaving the stores that would
// grow the table, and every other case, to PyDict_SetItem itself; each slot
// ends as PyDict_SetItem would have left it, and the dict starts being
// tracked by the collector when PyDict_SetItem would start it.

#if !KX_PY3 && (KX_FAST_DICT_STORE || KX_FAST_REFILL)
using StringLookup = PyDictEntry *(*)(PyDictObject *, PyObject *, long);
static StringLookup string_lookup = nullptr;  // taken from a new dict at import
#endif

#if KX_FAST_DICT_STORE
static PyDictEntry *find_slot(PyDictObject *mp, PyObject *key, long hash) {
  size_t mask = static_cast<size_t>(mp->ma_mask);
  PyDictEntry *table = mp->ma_table;
  size_t i = static_cast<size_t>(hash) & mask;
  PyDictEntry *ep = &table[i];
  // A deleted slot keeps a key (the dict's dummy) and no value.
  if (!ep->me_key || ep->me_key == key) return ep;
  PyDictEntry *freeslot = nullptr;
  if (!ep->me_value)
    freeslot = ep;
  else if (ep->me_hash == hash && _PyString_Eq(ep->me_key, key))
    return ep;
  for (size_t perturb = static_cast<size_t>(hash);; perturb >>= 5) {
    i = (i << 2) + i + perturb + 1;
    ep = &table[i & mask];
    if (!ep->me_key) return freeslot ? freeslot : ep;
    if (ep->me_key == key || (ep->me_hash == hash && ep->me_value && _PyString_Eq(ep->me_key, key)))
      return ep;
    if (!ep->me_value && !freeslot) freeslot = ep;
  }
}

static inline void maintain_tracking(PyDictObject *mp, PyObject *key, PyObject *value) {
  if (!_PyObject_GC_IS_TRACKED(mp) &&
      (_PyObject_GC_MAY_BE_TRACKED(key) || _PyObject_GC_MAY_BE_TRACKED(value)))
    _PyObject_GC_TRACK(mp);
}

int dict_store(PyObject *dict, PyObject *key, PyObject *value) {
  PyDictObject *mp = reinterpret_cast<PyDictObject *>(dict);
  long hash;
  if (PyString_CheckExact(key) && (hash = reinterpret_cast<PyStringObject *>(key)->ob_shash) != -1 &&
      mp->ma_lookup == string_lookup) {
    PyDictEntry *ep = find_slot(mp, key, hash);
    if (ep->me_value) {  // the key is there: its value is replaced
      maintain_tracking(mp, key, value);
      PyObject *old = ep->me_value;
      Py_INCREF(value);
      ep->me_value = value;
      Py_DECREF(old);
      return 0;
    }
    Py_ssize_t fill = mp->ma_fill + (ep->me_key ? 0 : 1);
    if (fill * 3 < (mp->ma_mask + 1) * 2) {  // no growth after this store
      maintain_tracking(mp, key, value);
      if (ep->me_key)
        Py_DECREF(ep->me_key);  // the dummy's reference, as the dict drops it
      else
        mp->ma_fill++;
      Py_INCREF(key);
      Py_INCREF(value);
      ep->me_key = key;
      ep->me_hash = hash;
      ep->me_value = value;
      mp->ma_used++;
      return 0;
    }
  }
  return PyDict_SetItem(dict, key, value);
}
#endif

// ---- namespace lookups ---------------------------------------------------------------------

#if KX_FAST_LOOKUP
// Every change of any dict gives it a version tag no dict had before, so
// while the namespace's tag is the one seen at the last lookup, the dict is
// unchanged and that lookup's result (a borrowed value it still holds, or
// not bound) stands.
PyObject *lookup_again(PyObject *dict, PyObject *name, NameMemo &memo, int which) {
  uint64_t version = reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
  PyObject *v = PyDict_GetItem(dict, name);
  memo.seen_version[which] = version;
  memo.seen_value[which] = v;
  return v;
}
#endif

// ---- attribute stores ----------------------------------------------------------------------

#if KX_ABSENT_MEMO
bool lookup_absent(PyTypeObject *type, PyObject *name, NameMemo &memo) {
  // Python 3 gives every type a version tag on demand; 2.7 only types that
  // declare they can have one.
#if !KX_PY3
  if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VERSION_TAG)) return false;
#endif
  if (!type->tp_dict) return false;
  if (_PyType_Lookup(type, name)) return false;
  // The lookup gave the type a valid version tag when it could.
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
  Py_INCREF(type);
  Py_XDECREF(memo.absent_type);
  memo.absent_type = type;
  memo.absent_tag = type->tp_version_tag;
  return true;
}
#endif

#if KX_SHARED_KEYS_INDEX
Py_ssize_t index_again(PyDictKeysObject *keys, PyObject *name, NameMemo &memo) {
  if (!keys || keys->dk_kind != DICT_KEYS_SPLIT) return -1;
  PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
  memo.index_keys = keys;
  for (Py_ssize_t i = 0; i < keys->dk_nentries; i++) {
    if (entries[i].me_key == name) return memo.index = i;
  }
  memo.absent_entries = keys->dk_nentries;
  return memo.index = -1;
}
#endif

#if KX_FAST_INSTANCE_STORE
bool store_value(PyObject *o, PyObject *name, NameMemo &memo, PyObject *value) {
  PyTypeObject *tp = Py_TYPE(o);
  PyDictValues *values = instance_values(o);
  if (!values || tp->tp_setattro != PyObject_GenericSetAttr || !absent_from(tp, name, memo)) return false;
  Py_ssize_t ix = index_in(reinterpret_cast<PyHeapTypeObject *>(tp)->ht_cached_keys, name, memo);
  if (ix < 0) return false;
  PyObject *old = values->values[ix];
  Py_INCREF(value);
  values->values[ix] = value;
  if (old)
    Py_DECREF(old);
  else
    _PyDictValues_AddToInsertionOrder(values, ix);
  return true;
}
#endif

#if KX_FAST_REFILL && !KX_PY3
PyObject *own_attr(PyObject *o, PyObject *name, NameMemo &memo) {
  // The generic store puts the value into the instance dict (store_attr). A
  // dict of str keys only, and a str key: the lookup compares str with str.
  PyTypeObject *tp = Py_TYPE(o);
  if (tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_dictoffset <= 0) return nullptr;
  PyObject *dict = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + tp->tp_dictoffset);
  if (!dict || reinterpret_cast<PyDictObject *>(dict)->ma_lookup != string_lookup ||
      !absent_from(tp, name, memo))
    return nullptr;
  return PyDict_GetItem(dict, name);
}
#elif KX_FAST_REFILL
PyObject *own_attr(PyObject *o, PyObject *name, NameMemo &memo) {
  PyTypeObject *tp = Py_TYPE(o);
  // The generic store and the generic read, with nothing of that name on the
  // type: the read finds the instance's own value (or nothing) without
  // calling anything, and the optional-attribute read reports a missing one
  // without making an exception.
  if (tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_getattro != PyObject_GenericGetAttr ||
      !absent_from(tp, name, memo))
    return nullptr;
#if KX_FAST_INSTANCE_VALUES
  // The generic store and read use the slot the class's shared keys give.
  if (PyDictValues *values = instance_values(o)) {
    Py_ssize_t ix = index_in(reinterpret_cast<PyHeapTypeObject *>(tp)->ht_cached_keys, name, memo);
    if (ix >= 0) return values->values[ix];
  } else if (PyObject *dict = instance_dict(o)) {
    // Values moved into a dict of the instance's own (its __dict__ was read,
    // or the shared keys had no room for a name when it was stored): the
    // generic read finds the value there. In a dict of str keys only, the
    // lookup of a str compares str with str and runs no code.
    if (PyDict_CheckExact(dict) && DK_IS_UNICODE(reinterpret_cast<PyDictObject *>(dict)->ma_keys)) {
      PyObject *v = PyDict_GetItemWithError(dict, name);
      if (!v) PyErr_Clear();
      return v;
    }
  }
#endif
  PyObject *v = nullptr;
  if (kx_optional_attr(o, name, &v) <= 0) {
    PyErr_Clear();
    return nullptr;
  }
  // (An instance dict given keys of other types may compare them with the
  // name, as the generic store itself would.) The instance keeps its own
  // reference.
  Py_DECREF(v);
  return v;
}
#endif

// ---- calls ------------------------------------------------------------------------------------
//
// The callables a handler meets per record are the caller's: a class that
// makes a table entry, a populator function, a bound method of an entry.

#if KX_PY3
// Python 3 calls anything through vectorcall, on the argument array.
static PyObject *call_generic(PyObject *f, PyObject *const *args, size_t n) {
  return kx_vectorcall(f, args, n, nullptr);
}
#else
static PyObject *call_generic(PyObject *f, PyObject *const *args, size_t n) {
  PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(n));
  if (!t) return nullptr;
  for (size_t i = 0; i < n; i++) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(t, i, args[i]);
  }
  PyObject *result = PyObject_Call(f, t, nullptr);
  Py_DECREF(t);
  return result;
}
#endif

#if KX_FAST_CALLS
// PyObject_Call reaches a Python function's code, and a plain class's
// __init__, through steps that only move the arguments around; call takes
// those steps itself, on the argument array, and leaves everything else to
// the generic call.

static PyObject *init_name = nullptr;  // "__init__", interned
// The tp_init a class gets from an __init__ written in Python (the
// interpreter's slot that looks __init__ up and calls it), taken at import
// from a class made for the purpose.
static initproc python_init_slot = nullptr;

// A Python function called with positional arguments: what PyObject_Call
// does for one (a recursion guard around the function type's call slot),
// and what that slot does (the code evaluated on the argument array with
// the function's globals, defaults and closure), without the tuple.
static PyObject *call_function(PyObject *f, PyObject *const *args, size_t n) {
  PyObject *defaults = PyFunction_GET_DEFAULTS(f);
  PyObject **d = nullptr;
  int nd = 0;
  if (defaults && PyTuple_Check(defaults)) {
    d = &PyTuple_GET_ITEM(defaults, 0);
    nd = static_cast<int>(PyTuple_GET_SIZE(defaults));
  }
  if (Py_EnterRecursiveCall(const_cast<char *>(" while calling a Python object"))) return nullptr;
  PyObject *result = PyEval_EvalCodeEx(
      reinterpret_cast<PyCodeObject *>(PyFunction_GET_CODE(f)), PyFunction_GET_GLOBALS(f), nullptr,
      const_cast<PyObject **>(args), static_cast<int>(n), nullptr, 0, d, nd,
      PyFunction_GET_CLOSURE(f));
  Py_LeaveRecursiveCall();
  if (!result && !PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  return result;
}

// The arguments with `first` in front, into `out` (room for n + 1).
static PyObject *const *prepend(PyObject *first, PyObject *const *args, size_t n, PyObject **out) {
  out[0] = first;
  for (size_t i = 0; i < n; i++) out[i + 1] = args[i];
  return out;
}

static PyObject *call_any(PyObject *f, PyObject *const *args, size_t n);

// Calls with more arguments than this take the generic call as they are.
constexpr size_t kMaxDirectArgs = 7;

// A class of the plain kind: made by `type` itself (no metaclass __call__),
// object's __new__ (no __new__ of its own), not abstract, and an __init__
// written in Python. Calling it does what the interpreter's type call does
// for such a class: object.__new__ allocates the instance (arguments are
// allowed, as __init__ is overridden), then the init slot looks __init__ up
// on the instance's type, binds it and calls it, and refuses a result other
// than None. The bound method is never made: its call is the function's call
// with the instance in front.
static PyObject *construct(PyTypeObject *t, PyObject *init, PyObject *const *args, size_t n) {
  // object.__new__ is the allocation alone.
  PyObject *obj = t->tp_alloc(t, 0);
  if (!obj) return nullptr;
  Py_INCREF(init);  // the class may drop its __init__ while it runs
  PyObject *with_self[kMaxDirectArgs + 1];
  PyObject *result = call_any(init, prepend(obj, args, n, with_self), n + 1);
  Py_DECREF(init);
  if (result && result != Py_None) {
    PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                 Py_TYPE(result)->tp_name);
    Py_CLEAR(result);
  }
  if (!result) {
    Py_DECREF(obj);
    return nullptr;
  }
  Py_DECREF(result);
  return obj;
}

static PyObject *call_any(PyObject *f, PyObject *const *args, size_t n) {
  if (PyFunction_Check(f)) return call_function(f, args, n);
  // A bound method calls its function with the instance in front.
  if (PyMethod_Check(f) && PyMethod_GET_SELF(f) && n <= kMaxDirectArgs) {
    PyObject *buf[kMaxDirectArgs + 1];
    PyObject *fn = PyMethod_GET_FUNCTION(f);
    Py_INCREF(fn);
    PyObject *result = call_any(fn, prepend(PyMethod_GET_SELF(f), args, n, buf), n + 1);
    Py_DECREF(fn);
    return result;
  }
  if (Py_TYPE(f) == &PyType_Type && n <= kMaxDirectArgs) {
    PyTypeObject *t = reinterpret_cast<PyTypeObject *>(f);
    if (t->tp_new == PyBaseObject_Type.tp_new && python_init_slot && t->tp_init == python_init_slot &&
        !(t->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) {
      PyObject *init = _PyType_Lookup(t, init_name);
      if (init && PyFunction_Check(init)) return construct(t, init, args, n);
    }
  }
  return call_generic(f, args, n);
}

PyObject *call(PyObject *f, PyObject *const *args, size_t n) { return call_any(f, args, n); }

static bool init_calls() {
  init_name = PyString_InternFromString("__init__");
  if (!init_name) return false;
  PyObject *ns = PyDict_New();
  if (!ns) return false;
  PyObject *result = nullptr;
  if (PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) == 0)
    result = PyRun_String("class Probe(object):\n    def __init__(self):\n        pass\n",
                          Py_file_input, ns, ns);
  PyObject *probe = result ? PyDict_GetItemString(ns, "Probe") : nullptr;
  if (probe && PyType_Check(probe))
    python_init_slot = reinterpret_cast<PyTypeObject *>(probe)->tp_init;
  else if (result)
    PyErr_SetString(PyExc_SystemError, "KXdv17_0: no probe class");
  Py_XDECREF(result);
  Py_DECREF(ns);
  return python_init_slot != nullptr;
}
#else
PyObject *call(PyObject *f, PyObject *const *args, size_t n) { return call_generic(f, args, n); }
#endif

bool init() {
#if !KX_PY3 && (KX_FAST_DICT_STORE || KX_FAST_REFILL)
  PyObject *probe_dict = PyDict_New();
  if (!probe_dict) return false;
  string_lookup = reinterpret_cast<PyDictObject *>(probe_dict)->ma_lookup;
  Py_DECREF(probe_dict);
#endif
#if KX_FAST_CALLS
  if (!init_calls()) return false;
#endif
  return true;
}

}  // namespace fast
}  // namespace kx
