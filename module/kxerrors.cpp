// Errors and tracebacks (kxerrors.h).
#include "kxerrors.h"

#include <frameobject.h>
#include <stdarg.h>

#include <exception>
#include <new>

namespace kx {

KX_NAME(BadMessageError);

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

void bad_message_in(const char *fn, Site inner, Site at) {
  set_new(global(n_BadMessageError, at).get(), nullptr);
  add_traceback(fn, inner);
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

}  // namespace kx
