// Errors and tracebacks: how a failure travels from the line that found it
// to the function entry, and the exceptions the module raises.
//
// Errors travel as C++ exceptions (kx::Error) once the Python error
// indicator is set; the function entry (kxentry.h) catches them, adds the
// "KXdv17_0.<name>" traceback entry and returns NULL.
//
// Where a Site goes: every function that can fail takes `Site at = Site()`
// as its last parameter (the printf-style raisers take it first, before the
// format) and hands it to everything it calls that can fail, so a failure
// is reported at the line that called it. Handler bodies and the block
// readers of a table never pass one: their own lines are the ones reported.
//
// May touch: the interpreter's error indicator and traceback. It never reads
// or writes a message (no kx_msg_*) and never names one.
#ifndef KX_MODULE_KXERRORS_H
#define KX_MODULE_KXERRORS_H

#include "../pyfast/kxcompat.h"

#include <assert.h>

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


// Raises BadMessageError() (or with a text), the class looked up now.
[[noreturn]] void bad_message(Site at = Site());
[[noreturn]] void bad_message_text(Site at, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// BadMessageError() found by the module's internal reader `fn` (its
// traceback entry at `inner`) for the caller at `at`.
[[noreturn]] void bad_message_in(const char *fn, Site inner, Site at);
// Sets `exc` with a formatted message and throws.
[[noreturn]] void raise_fmt(Site at, PyObject *exc, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace kx

#endif
