// KXdv17_0: module initialisation, constants and the BadMessageError class.
#include "kxpy.h"
#include "../msgmodule/kxmsg_objects.h"

#include <string.h>

#include <array>
#include <string>

namespace {

using kx::Ref;
using kx::Site;

KX_NAME(__builtins__);
KX_NAME(__init__);
KX_NAME(__import__);
KX_NAME(__module__);
KX_NAME(KXdv17_0);
KX_NAME(KXMsg);
KX_NAME(KXRingbuf);
KX_NAME(KXMsgv17_0);
KX_NAME(socket);
KX_NAME(struct);
KX_NAME(ValueError);
KX_NAME(BadMessageError);

const kx::Method *const kAreaTables[] = {
    kx_methods_session, kx_methods_hosts,  kx_methods_connections, kx_methods_views,
    kx_methods_channels, kx_methods_shaping, kx_methods_firewall,    kx_methods_diagnostics,
};

// The functions have no docstrings. Under Python 3 ml_doc still carries the
// signature line, "name($module, m, typ)\n--\n\n", made from the keyword
// names as written in the source ("m", "typ"): inspect.signature reads it as
// __text_signature__, and __doc__, which is what follows the line, stays None.
// Made once at import and kept for the life of the process, as the method
// table is. Python 2.7 has no such line: nothing.
const char *signature_doc(const char *name, const char *params) {
  if (!KX_PY3) return nullptr;
  std::string doc = name;
  doc += "($module, ";
  for (const char *p = params; *p; p++)
    if (*p != '"') doc += *p;
  doc += ")\n--\n\n";
  char *kept = new char[doc.size() + 1];
  memcpy(kept, doc.c_str(), doc.size() + 1);
  return kept;
}

// The module's method table: each area function at the place its area's
// table gives it. Made at the first import and kept for the life of the
// process; a place out of range or taken twice is a bug.
PyMethodDef *method_table() {
  static PyMethodDef *table = nullptr;
  if (table) return table;
  size_t n = 0;
  for (const kx::Method *area : kAreaTables)
    for (const kx::Method *m = area; m->def.ml_name; m++) n++;
  table = new PyMethodDef[n + 1]();
  for (const kx::Method *area : kAreaTables)
    for (const kx::Method *m = area; m->def.ml_name; m++) {
      KX_BUG_ON(m->place >= n || table[m->place].ml_name, "module function %s: place %u out of range or taken",
                m->def.ml_name, m->place);
      table[m->place] = m->def;
      table[m->place].ml_doc = signature_doc(m->def.ml_name, m->def.ml_doc);
    }
  return table;
}

struct Constant {
  const char *name;
  long value;
};

// The constant rows of the definition, each stored at its place in the
// binding order; a place named twice, or one left out, fails to compile.
#define KX_CONSTANT_ROWS(NAME, value, order) +1
constexpr size_t kNumConstants = 0
#define KX_CONST KX_CONSTANT_ROWS
#define KX_SERVER KX_CONSTANT_ROWS
#define KX_FEATURE KX_CONSTANT_ROWS
#define KX_FIELD_TYPE(NAME, n, kind, order) +1
#define KX_FILTER_TYPE(NAME, n, kind, order) +1
#define KX_VIEW_OP KX_CONSTANT_ROWS
#define KX_FWLOG_QTYPE KX_CONSTANT_ROWS
#define KX_COND KX_CONSTANT_ROWS
#define KX_CRITERION(NAME, bit, key, kind, order) +1
#define KX_CRITERION_LIST(NAME, bit, key, count, LAYOUT, order) +1
#include "../protocol/kx_protocol.def"
    ;
#undef KX_CONSTANT_ROWS

constexpr std::array<Constant, kNumConstants> constants_in_order() {
  std::array<Constant, kNumConstants> c{};
  size_t placed = 0;
  auto place = [&](size_t at, const char *name, long value) {
    if (c.at(at).name) throw "two constants at one place";
    c.at(at) = Constant{name, value};
    placed++;
  };
#define KX_CONST(NAME, value, order) place(order, #NAME, value);
#define KX_SERVER(NAME, number, order) place(order, "PROTOCOL_SERVER_" #NAME, number);
#define KX_FEATURE(NAME, bit, order) place(order, "FEATURES_" #NAME, bit);
#define KX_FIELD_TYPE(NAME, n, kind, order) place(order, "PROTOCOL_VIEW_FIELD_TYPE_" #NAME, n);
#define KX_FILTER_TYPE(NAME, n, kind, order) place(order, "PROTOCOL_VIEW_FILTER_TYPE_" #NAME, n);
#define KX_VIEW_OP(NAME, n, order) place(order, "PROTOCOL_SERVER_VIEW_UPDATE_OP_" #NAME, n);
#define KX_FWLOG_QTYPE(NAME, n, order) place(order, "PROTOCOL_FWRULE_QTYPE_" #NAME, n);
#define KX_COND(NAME, bit, order) place(order, "VIRTUAL_COND_" #NAME, bit);
#define KX_CRITERION(NAME, bit, key, kind, order) place(order, "VIRTUAL_COND_" #NAME, bit);
#define KX_CRITERION_LIST(NAME, bit, key, count, LAYOUT, order) place(order, "VIRTUAL_COND_" #NAME, bit);
#include "../protocol/kx_protocol.def"
  return placed == kNumConstants ? c : throw "a constant without a place";
}

// Bound in the definition's binding order; a failure leaves the later names unbound.
constexpr std::array<Constant, kNumConstants> kConstants = constants_in_order();

// BadMessageError.__init__(self, msg="Couldn't read msg"): ValueError.__init__(self, msg).
PyObject *BadMessageError_init(PyObject *, PyObject *args, PyObject *kw) {
  static const char *kwlist[] = {"self", "msg", nullptr};
  PyObject *self;
  PyObject *msg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "O|O:__init__", const_cast<char **>(kwlist), &self,
                                   &msg)) {
    kx::add_traceback("KXdv17_0.BadMessageError.__init__", Site());
    return nullptr;
  }
  // Both are held: a keyword dict lent by the caller may be emptied by code
  // the lookups below run.
  Ref held_self = Ref::borrowed(self);
  try {
    Ref text = msg ? Ref::borrowed(msg) : kx::py_str("Couldn't read msg");
    Ref init = kx::getattr(kx::builtin(n_ValueError).get(), n___init__);
    KX_CALL(init.get(), self, text);
    Py_RETURN_NONE;
  } catch (...) {
    kx::exception_to_python("KXdv17_0.BadMessageError.__init__");
    return nullptr;
  }
}

PyMethodDef BadMessageError_init_def = {"__init__", reinterpret_cast<PyCFunction>(BadMessageError_init),
                                        METH_VARARGS | METH_KEYWORDS, nullptr};

// __import__(name, globals, {}, fromlist) through the interpreter's current
// __import__, so import hooks see the module's imports too.
Ref import(const kx::Name &name, PyObject *globals, PyObject *fromlist, Site at = Site()) {
  Ref locals = kx::check(PyDict_New(), at);
  Ref hook = kx::builtin(n___import__, at);
  return kx::call_at(at, hook.get(), name.get(), globals, locals, fromlist);
}

// True when the objects of `t` are laid out as KXMsgv17_0.<name>'s: the first
// base of `t` that is not a class made in Python is that type. (A class made
// in Python with one slot, or under Python 3 with none, has the size too.)
bool laid_out_as(PyTypeObject *t, const char *name) {
  while (t && (t->tp_flags & Py_TPFLAGS_HEAPTYPE)) t = t->tp_base;
  return t && strncmp(t->tp_name, "KXMsgv17_0.", 11) == 0 && strcmp(t->tp_name + 11, name) == 0;
}

// Fetches KXMsgv17_0.<name> and checks that its instances have the size of
// the layout this module reaches them through, and are laid out as the
// extension's own.
PyTypeObject *import_type(PyObject *globals, const kx::Name &name, size_t size, Site at = Site()) {
  Ref fromlist = kx::check(PyList_New(1), at);
  PyList_SET_ITEM(fromlist.get(), 0, Ref::borrowed(name).release());
  Ref mod = import(n_KXMsgv17_0, globals, fromlist.get(), at);
  Ref type = kx::getattr(mod.get(), name, at);
  if (!PyType_Check(type.get()))
    kx::raise_fmt(at, PyExc_TypeError, "%s.%s is not a type object", "KXMsgv17_0", name.text());
  PyTypeObject *t = reinterpret_cast<PyTypeObject *>(type.get());
  if (static_cast<size_t>(t->tp_basicsize) != size || !laid_out_as(t, name.text()))
    kx::raise_fmt(at, PyExc_ValueError, "%s.%s does not appear to be the correct type object",
                  "KXMsgv17_0", name.text());
  return reinterpret_cast<PyTypeObject *>(type.release());
}

// __import__(name, globals, {}, []) bound under its own name.
void import_module(PyObject *module, PyObject *globals, const kx::Name &name, Site at = Site()) {
  Ref fromlist = kx::check(PyList_New(0), at);
  Ref mod = import(name, globals, fromlist.get(), at);
  kx::setattr(module, name, mod.get(), at);
}

#if KX_PY3
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "KXdv17_0", nullptr, -1, nullptr,
                          nullptr, nullptr, nullptr, nullptr};
#endif

// Makes the module and fills its namespace; returns a new reference under
// Python 3 and the borrowed one Py_InitModule4 gives under 2.7.
PyObject *init_module() {
#if KX_PY3
  module_def.m_methods = method_table();
  Ref owned = kx::check(PyModule_Create(&module_def));
  PyObject *module = owned.get();
  Ref builtin_mod = kx::check(PyImport_ImportModule("builtins"));
#else
  PyObject *module = Py_InitModule4("KXdv17_0", method_table(), nullptr, nullptr, PYTHON_API_VERSION);
  if (!module) kx::fail();
  Ref builtin_mod = kx::check(PyImport_ImportModule("__builtin__"));
#endif
  kx::module_dict = PyModule_GetDict(module);
  kx::builtins_dict = PyModule_GetDict(builtin_mod.get());
  kx::check_rc(PyModule_AddObject(module, "__builtins__", builtin_mod.release()));

  if (!kx::Name::init_all() || !kx::init_shortcuts()) kx::fail();

  PyObject *globals = kx::module_dict;
  kx::msg_type = import_type(globals, n_KXMsg, sizeof(KXMsgObject));
  // Only checked: no function of this module takes a ring buffer.
  Py_DECREF(import_type(globals, n_KXRingbuf, sizeof(KXRingbufObject)));

  import_module(module, globals, n_KXMsgv17_0);
  import_module(module, globals, n_socket);
  import_module(module, globals, n_struct);

  for (const Constant &c : kConstants) {
    Ref value = kx::py_int(c.value);
    kx::check_rc(PyDict_SetItemString(kx::module_dict, c.name, value.get()));
  }

  kx::check_rc(PyModule_AddStringConstant(module, "__version__", KX_VERSION));
  Ref dict = kx::check(PyDict_New());
  Ref modname = kx::py_str("KXdv17_0");
  kx::setitem(dict.get(), n___module__, modname.get());
  Ref bases = kx::check(PyTuple_Pack(1, kx::builtin(n_ValueError).get()));
  Ref metaclass = Ref::borrowed(reinterpret_cast<PyObject *>(Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0))));
  Ref cls = KX_CALL(metaclass.get(), n_BadMessageError.get(), bases, dict);
  Ref func = kx::check(PyCFunction_NewEx(&BadMessageError_init_def, nullptr, modname.get()));
#if KX_PY3
  Ref method = kx::check(PyInstanceMethod_New(func.get()));
#else
  Ref method = kx::check(PyMethod_New(func.get(), nullptr, cls.get()));
#endif
  kx::setattr(cls.get(), n___init__, method.get());
  kx::setitem(kx::module_dict, n_BadMessageError, cls.get());
#if KX_PY3
  return owned.release();
#else
  return module;
#endif
}

}  // namespace

#if KX_PY3
extern "C" __attribute__((visibility("default"))) PyObject *PyInit_KXdv17_0(void) {
  if (!kx_interpreter_matches("KXdv17_0")) return nullptr;
  try {
    return init_module();
  } catch (...) {
    kx::exception_to_python("KXdv17_0");
    return nullptr;
  }
}
#else
PyMODINIT_FUNC __attribute__((visibility("default"))) initKXdv17_0(void) {
  if (!kx_interpreter_matches("KXdv17_0")) return;
  try {
    init_module();
  } catch (...) {
    kx::exception_to_python("KXdv17_0");
  }
}
#endif
