// Errors and tracebacks: the traceback entries a failure gets on its way to
// the function entry, and the exceptions the module raises (Site, Error and
// fail(), how a failure travels, are in kxsite.h).
//
// May touch: the interpreter's error indicator and traceback, the module's
// namespace (where BadMessageError is looked up). It never reads or writes a
// message (no kx_msg_*) and never names one.
#ifndef KX_MODULE_KXERRORS_H
#define KX_MODULE_KXERRORS_H

#include "kxref.h"

namespace kx {

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
