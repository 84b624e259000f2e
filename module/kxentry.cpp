// Function entries (kxentry.h).
#include "kxentry.h"

#include <stdio.h>
#include <string.h>

namespace kx {

// The arguments of a call that passes any by keyword, or not exactly
// nparams, as the interpreter's parser takes them: every one an object ("O"
// once per keyword name), the function named after ":" for its messages.
static bool parse(const char *tbname, const char *const *kwlist, size_t nparams, PyObject *args, PyObject *kw,
                  PyObject **arg) {
  static_assert(kMaxArgs == 6, "the parser below fills six argument slots");
  char format[80];
  memset(format, 'O', nparams);
  snprintf(format + nparams, sizeof format - nparams, ":%s", tbname + sizeof "KXdv17_0." - 1);
  return PyArg_ParseTupleAndKeywords(args, kw, format, const_cast<char **>(kwlist), &arg[0], &arg[1], &arg[2],
                                     &arg[3], &arg[4], &arg[5]) != 0;
}

PyObject *entry(const char *tbname, const char *const *kwlist, size_t nparams, KX_ENTRY_PARAMS, Impl impl) {
  PyObject *arg[kMaxArgs] = {};
#if KX_PY3
  Ref tuple, kw;  // what the parser's arguments are lent from
  if (!kwnames && nargs == Py_ssize_t(nparams)) {
    // All arguments by position: nothing for the parser to check.
    for (size_t i = 0; i < nparams; i++) arg[i] = args[i];
  } else {
    tuple = Ref(PyTuple_New(nargs));
    bool made = bool(tuple);
    for (Py_ssize_t i = 0; made && i < nargs; i++) PyTuple_SET_ITEM(tuple.get(), i, Ref::borrowed(args[i]).release());
    if (made && kwnames && PyTuple_GET_SIZE(kwnames)) {
      kw = Ref(PyDict_New());
      made = bool(kw);
      for (Py_ssize_t i = 0; made && i < PyTuple_GET_SIZE(kwnames); i++)
        made = PyDict_SetItem(kw.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) == 0;
    }
    if (!made || !parse(tbname, kwlist, nparams, tuple.get(), kw.get(), arg)) {
      add_traceback(tbname, Site());
      return nullptr;
    }
  }
#else
  if (!kw && PyTuple_GET_SIZE(args) == Py_ssize_t(nparams)) {
    // All arguments by position: nothing for the parser to check.
    for (size_t i = 0; i < nparams; i++) arg[i] = PyTuple_GET_ITEM(args, i);
  } else if (!parse(tbname, kwlist, nparams, args, kw, arg)) {
    add_traceback(tbname, Site());
    return nullptr;
  }
#endif
  // The parser lends the arguments from the keyword dict, which Python 2.7
  // and 3.8 hand over as the caller's own for f(**kw): code the call runs
  // may empty it. Every argument is held until the call returns.
  struct Held {
    PyObject *const *arg;
    size_t n;
    ~Held() {
      for (size_t i = 0; i < n; i++) Py_XDECREF(arg[i]);
    }
  } held{arg, nparams};
  for (size_t i = 0; i < nparams; i++) Py_XINCREF(arg[i]);
  try {
    return impl(arg).release();
  } catch (...) {
    exception_to_python(tbname);
    return nullptr;
  }
}

}  // namespace kx
