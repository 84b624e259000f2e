// Function entries: how a module function is declared (KX_FUNCTION), its
// arguments parsed and its failures turned into Python exceptions, how one
// module function calls another through its current binding, and the
// areas' method tables.
//
// May touch: the interpreter's calling conventions and the module's
// namespace. It never reads or writes a message (no kx_msg_*) and never
// names one.
#ifndef KX_MODULE_KXENTRY_H
#define KX_MODULE_KXENTRY_H

#include "kxops.h"

#include <stddef.h>

namespace kx {

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

namespace kx {
// One function of an area's method table and its place (0, 1, ...) in the
// module's: the frame puts each at its place, which sets the order of the
// module's namespace. Places run from 0 with no gap and none taken twice.
struct Method {
  unsigned place;
  PyMethodDef def;
};
}  // namespace kx

// One line of an area's method table: function NAME at place PLACE.
// ml_doc holds the keyword names as KX_FUNCTION wrote them until the frame
// turns them into the function's signature line.
#define KX_METHOD(NAME, PLACE) \
  { PLACE, { #NAME, reinterpret_cast<PyCFunction>(kx_fn_##NAME), KX_ENTRY_FLAGS, NAME##_params } }
#define KX_METHODS_END \
  { 0, { nullptr, nullptr, 0, nullptr } }

// Each protocol area's method table, in any order; the frame orders them.
extern const kx::Method kx_methods_session[];
extern const kx::Method kx_methods_hosts[];
extern const kx::Method kx_methods_connections[];
extern const kx::Method kx_methods_views[];
extern const kx::Method kx_methods_channels[];
extern const kx::Method kx_methods_shaping[];
extern const kx::Method kx_methods_firewall[];
extern const kx::Method kx_methods_diagnostics[];

#endif
