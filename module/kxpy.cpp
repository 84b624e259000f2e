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

bool Name::lookup_absent(PyTypeObject *type) const {
  // Python 3 gives every type a version tag on demand; 2.7 only types that
  // declare they can have one.
#if PY_MAJOR_VERSION < 3
  if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VERSION_TAG)) return false;
#endif
  if (!type->tp_dict) return false;
  if (_PyType_Lookup(type, obj_)) return false;
  // The lookup gave the type a valid version tag when it could.
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
  Py_INCREF(type);
  Py_XDECREF(absent_type_);
  absent_type_ = type;
  absent_tag_ = type->tp_version_tag;
  return true;
}

void setattr_slot(PyObject *o, const Name &name, PyObject *value, Site at) {
  setattrofunc set = Py_TYPE(o)->tp_setattro;
  check_rc(set ? set(o, name, value) : PyObject_SetAttr(o, name, value), at);
}

// ---- dict stores ---------------------------------------------------------------------
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

#if PY_MAJOR_VERSION < 3
using StringLookup = PyDictEntry *(*)(PyDictObject *, PyObject *, long);
static StringLookup string_lookup = nullptr;  // taken from a new dict at import

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
#endif

int dict_store(PyObject *dict, PyObject *key, PyObject *value) {
#if PY_MAJOR_VERSION < 3
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
#endif
  return PyDict_SetItem(dict, key, value);
}

// ---- attribute values for refilling ---------------------------------------------

#if KX_INSTANCE_VALUES
Py_ssize_t Name::index_in(PyDictKeysObject *keys) const {
  if (!keys || keys->dk_kind != DICT_KEYS_SPLIT) return -1;
  // Shared keys only grow, and an entry keeps its key: the remembered index
  // holds while the entry there is still this name.
  PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
  if (keys == index_keys_ && index_ < keys->dk_nentries && entries[index_].me_key == obj_)
    return index_;
  for (Py_ssize_t i = 0; i < keys->dk_nentries; i++) {
    if (entries[i].me_key == obj_) {
      index_keys_ = keys;
      index_ = i;
      return i;
    }
  }
  return -1;
}
#endif

PyObject *own_attr(PyObject *o, const Name &name) {
#if PY_MAJOR_VERSION < 3
  // The generic store puts the value into the instance dict (see setattr).
  // A dict of str keys only, and a str key: the lookup compares str with str.
  PyObject *dict = store_dict(o, name);
  if (!dict || reinterpret_cast<PyDictObject *>(dict)->ma_lookup != string_lookup) return nullptr;
  return PyDict_GetItem(dict, name);
#else
  PyTypeObject *tp = Py_TYPE(o);
  // The generic store and the generic read, with nothing of that name on the
  // type: the read finds the instance's own value (or nothing) without
  // calling anything, and the optional-attribute read reports a missing one
  // without making an exception.
  if (tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_getattro != PyObject_GenericGetAttr ||
      !name.absent_from(tp))
    return nullptr;
#if KX_INSTANCE_VALUES
  // An instance of a plain class that has no __dict__ object yet holds its
  // values in an array, four pointers before the object, indexed as the
  // class's shared keys (the generic store and read use the same slot).
  if (PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) {
    PyDictValues *values = reinterpret_cast<PyDictValues **>(o)[-4];
    if (values) {
      Py_ssize_t ix = name.index_in(reinterpret_cast<PyHeapTypeObject *>(tp)->ht_cached_keys);
      if (ix >= 0) return values->values[ix];
    }
  }
#endif
  PyObject *v = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  if (PyObject_GetOptionalAttr(o, name, &v) <= 0) {
#else
  if (_PyObject_LookupAttr(o, name, &v) <= 0) {
#endif
    PyErr_Clear();
    return nullptr;
  }
  // (An instance dict given keys of other types may compare them with the
  // name, as the generic store itself would.) The instance keeps its own
  // reference.
  Py_DECREF(v);
  return v;
#endif
}

// ---- calls -------------------------------------------------------------------------
//
// The callables a handler meets per record are the caller's: a class that
// makes a table entry, a populator function, a bound method of an entry.
// PyObject_Call reaches a Python function's code through steps that only
// move the arguments around; call_args takes those steps itself, on the
// argument array, and leaves everything else to PyObject_Call.

KX_NAME(__init__);

// The tp_init a class gets from an __init__ written in Python (the
// interpreter's slot that looks __init__ up and calls it), taken at import
// from a class made for the purpose.
static initproc python_init_slot = nullptr;
#if KX_PY3
static PyObject *no_args = nullptr;  // the empty tuple
#endif

#ifdef KX_SMALL_LONGS
PyObject *small_longs[kSmallLongMax - kSmallLongMin + 1];
#endif

bool init_shortcuts() {
#ifdef KX_SMALL_LONGS
  for (int v = kSmallLongMin; v <= kSmallLongMax; v++) {
    if (small_longs[v - kSmallLongMin]) continue;
    small_longs[v - kSmallLongMin] = PyLong_FromLong(v);
    if (!small_longs[v - kSmallLongMin]) return false;
  }
#endif
#if KX_PY3
  no_args = PyTuple_New(0);
  if (!no_args) return false;
#endif
#if PY_MAJOR_VERSION < 3
  Ref probe_dict = check(PyDict_New());
  string_lookup = reinterpret_cast<PyDictObject *>(probe_dict.get())->ma_lookup;
#endif
  Ref ns = check(PyDict_New());
  if (PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return false;
  Ref result(PyRun_String("class Probe(object):\n    def __init__(self):\n        pass\n",
                          Py_file_input, ns.get(), ns.get()));
  if (!result) return false;
  PyObject *probe = PyDict_GetItemString(ns.get(), "Probe");
  if (!probe || !PyType_Check(probe)) {
    PyErr_SetString(PyExc_SystemError, "KXdv17_0: no probe class");
    return false;
  }
  python_init_slot = reinterpret_cast<PyTypeObject *>(probe)->tp_init;
  return true;
}

#if PY_MAJOR_VERSION < 3
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
#endif

// The arguments with `first` in front, into `out` (room for n + 1).
static PyObject *const *prepend(PyObject *first, PyObject *const *args, size_t n, PyObject **out) {
  out[0] = first;
  for (size_t i = 0; i < n; i++) out[i + 1] = args[i];
  return out;
}

static PyObject *call_plain(PyObject *f, PyObject *const *args, size_t n) {
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

static PyObject *call_any(PyObject *f, PyObject *const *args, size_t n);

// Calls with more arguments than this go through PyObject_Call as they are.
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
#if KX_PY3
  // Python 3's object.__new__ also prepares the instance's attribute storage
  // (3.11: the array its values go to), so it is called itself; with no
  // arguments, as it does not look at them when __init__ is overridden.
  PyObject *obj = t->tp_new(t, no_args, nullptr);
#else
  // Python 2.7's object.__new__ is the allocation alone.
  PyObject *obj = t->tp_alloc(t, 0);
#endif
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
#if PY_MAJOR_VERSION < 3
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
#endif
  if (Py_TYPE(f) == &PyType_Type && n <= kMaxDirectArgs) {
    PyTypeObject *t = reinterpret_cast<PyTypeObject *>(f);
    if (t->tp_new == PyBaseObject_Type.tp_new && python_init_slot && t->tp_init == python_init_slot &&
        !(t->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) {
      PyObject *init = _PyType_Lookup(t, n___init__);
      if (init && PyFunction_Check(init)) return construct(t, init, args, n);
    }
  }
  return call_plain(f, args, n);
}

Ref call_args(PyObject *f, PyObject *const *args, size_t n, Site at) {
  return check(call_any(f, args, n), at);
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

// Python 2.7: a dict holds each key in one entry of its table, and an entry
// whose key is deleted gets another key (the dummy) at once. So while the
// dict still has the table in which a lookup found the name and that entry
// still holds the very same key object, the entry's value is the name's
// binding: the lookup would end there again. Otherwise (resized, deleted,
// never found) the lookup is done as PyDict_GetItem does it, and where it
// found the name is remembered. The two namespaces live as long as the module.
PyObject *Name::bound_in(PyObject *dict, int which) const {
#if PY_MAJOR_VERSION < 3
  PyDictObject *d = reinterpret_cast<PyDictObject *>(dict);
  PyDictEntry *e = static_cast<PyDictEntry *>(found_entry_[which]);
  if (e && d->ma_table == found_table_[which] && e->me_key == obj_) return e->me_value;
  // PyDict_GetItem for an interned str key: its hash is cached, and a
  // failing comparison with another key counts as not found (the error
  // dropped, an error already set kept).
  long hash = reinterpret_cast<PyStringObject *>(obj_)->ob_shash;
  if (hash == -1) return PyDict_GetItem(dict, obj_);
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  e = d->ma_lookup(d, obj_, hash);
  if (!e) PyErr_Clear();
  PyErr_Restore(type, value, tb);
  if (!e || !e->me_value) return nullptr;
  if (e->me_key == obj_) {
    found_table_[which] = d->ma_table;
    found_entry_[which] = e;
  }
  return e->me_value;
#elif PY_VERSION_HEX < 0x030C0000
  // Every change of any dict gives it a version tag no dict had before, so
  // while the namespace's tag is the one seen at the last lookup, the dict is
  // unchanged and that lookup's result (a borrowed value it still holds, or
  // not bound) stands.
  uint64_t version = reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
  if (version == seen_version_[which]) return seen_value_[which];
  PyObject *v = PyDict_GetItem(dict, obj_);
  seen_version_[which] = version;
  seen_value_[which] = v;
  return v;
#else
  (void)which;
  return PyDict_GetItem(dict, obj_);
#endif
}

static Ref lookup_in(bool module_first, const Name &name, Site at) {
  PyObject *v = module_first ? name.bound_in(module_dict, 0) : nullptr;
  if (!v) v = name.bound_in(builtins_dict, 1);
  if (!v) {
    PyErr_SetObject(PyExc_NameError, name);
    fail(at);
  }
  return Ref::borrowed(v);
}

Ref global(const Name &name, Site at) { return lookup_in(true, name, at); }

Ref builtin(const Name &name, Site at) { return lookup_in(false, name, at); }

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

int32_t as_long32(PyObject *o, Site at) {
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
  // With the generic read too, the value own_attr finds is what o.attr
  // gives; appending to a real list runs no code.
  if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) {
    PyObject *list = own_attr(obj, attr);
    if (list && PyList_CheckExact(list)) {
      check_rc(PyList_Append(list, item), at);
      return;
    }
  }
  Ref list = getattr(obj, attr, at);
  append_to(list.get(), item, at);
}

void set_empty_list(PyObject *obj, const Name &attr, Site at) {
  // A list only the attribute holds, of numbers only, is emptied instead of
  // replaced: nobody can tell it from a new one, dropping the numbers runs
  // no code, and the appends that follow reuse its room.
  PyObject *list = own_attr(obj, attr);
  if (list && PyList_CheckExact(list) && Py_REFCNT(list) == 1) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
    bool numbers = true;
    for (Py_ssize_t i = 0; i < n && numbers; i++)
      numbers = PyLong_CheckExact(items[i]) || PyInt_CheckExact(items[i]);
    if (numbers) {
      reinterpret_cast<PyVarObject *>(list)->ob_size = 0;
      for (Py_ssize_t i = 0; i < n; i++) Py_DECREF(items[i]);
      return;
    }
  }
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
  char buf[4096];
  if (bufsize > sizeof buf || bufsize == 0)
    kx_bug(__FILE__, __LINE__, __func__, "bufsize %u outside 1..%zu", bufsize, sizeof buf);
  uint32_t n = 0;
  if (!kx_msg_get_string_len(m_, buf, bufsize, &n)) bad_message(at);
  // Only the bytes the read copied count; the text ends at the first zero among them.
  uint32_t copied = n < bufsize - 1 ? n : bufsize - 1;
  const void *zero = memchr(buf, 0, copied);
  size_t len = zero ? static_cast<size_t>(static_cast<const char *>(zero) - buf) : copied;
  return py_str(buf, static_cast<Py_ssize_t>(len), at);
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

bool Reader::try_skip_string(uint32_t bufsize) {
  char buf[4096];
  if (bufsize > sizeof buf || bufsize == 0)
    kx_bug(__FILE__, __LINE__, __func__, "bufsize %u outside 1..%zu", bufsize, sizeof buf);
  return kx_msg_get_string_len(m_, buf, bufsize, nullptr) != 0;
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
// address is four copies from it.
struct OctetText {
  char text[4][256];  // text[i][v]: byte i of "v." (unused bytes after the dot)
  uint8_t len[256];
  OctetText() {
    for (unsigned v = 0; v < 256; v++) {
      char buf[4];
      int n = 0;
      if (v >= 100) buf[n++] = static_cast<char>('0' + v / 100);
      if (v >= 10) buf[n++] = static_cast<char>('0' + v / 10 % 10);
      buf[n++] = static_cast<char>('0' + v % 10);
      buf[n++] = '.';
      for (int i = 0; i < 4; i++) text[i][v] = i < n ? buf[i] : '.';
      len[v] = static_cast<uint8_t>(n);
    }
  }
};
static const OctetText kOctets;

static char *put_octet(char *p, unsigned v) {
  for (int i = 0; i < 4; i++) p[i] = kOctets.text[i][v];
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

Ref Reader::v4addr(Site at) {
  uint32_t a;
  if (!kx_msg_get_uint32(m_, &a)) bad_address("KXdv17_0._get_v4addr", Site(), at);
  char text[20];  // "%d.%d.%d.%d", octets from the most significant
  char *p = text;
  p = put_octet(p, a >> 24);
  p = put_octet(p, (a >> 16) & 0xff);
  p = put_octet(p, (a >> 8) & 0xff);
  p = put_octet(p, a & 0xff);
  return py_str(text, p - 1 - text, at);
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
  return py_str(text, p - 1 - text, at);
}

Ref Reader::ipaddr(Site at) {
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
    case Kind::family:
    case Kind::addr:
    case Kind::pair:
    case Kind::skip:
    case Kind::run: break;
  }
  kx_bug(__FILE__, __LINE__, __func__, "kind %d is not read on its own", static_cast<int>(k));
  return Ref();
}

Ref read_value(Reader &r, Kind k, uint32_t arg, Site at) { return value_of(r, k, arg, at); }

Ref read_id_names(Reader &r, void (*store)(PyObject *table, const Ref &id, const Ref &name),
                  Site at) {
  bool flag = (r.u32(at) & 0x80000000u) != 0;
  Ref table = new_dict(at);
  while (r.remaining() >= 4) {
    Ref id = r.long32(at);
    Ref name = r.string(256, at);
    store(table.get(), id, name);
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

PyObject *entry(const char *tbname, const char *const *kwlist, PyObject *args, PyObject *kw,
                Impl impl) {
  PyObject *arg[kMaxArgs] = {};
  static_assert(kMaxArgs == 6, "the parser below fills six argument slots");
  size_t nargs = 0;
  while (kwlist[nargs]) nargs++;
  if (!kw && PyTuple_GET_SIZE(args) == Py_ssize_t(nargs)) {
    // All arguments by position: nothing for the parser to check.
    for (size_t i = 0; i < nargs; i++) arg[i] = PyTuple_GET_ITEM(args, i);
  } else {
    // All arguments are objects: "O" once per keyword, then ":" and the name.
    char format[80];
    memset(format, 'O', nargs);
    snprintf(format + nargs, sizeof format - nargs, ":%s", tbname + sizeof "KXdv17_0." - 1);
    if (!PyArg_ParseTupleAndKeywords(args, kw, format, const_cast<char **>(kwlist), &arg[0],
                                     &arg[1], &arg[2], &arg[3], &arg[4], &arg[5])) {
      add_traceback(tbname, Site());
      return nullptr;
    }
  }
  try {
    return impl(arg).release();
  } catch (...) {
    exception_to_python(tbname);
    return nullptr;
  }
}

}  // namespace kx
