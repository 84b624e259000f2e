// Where a failure stands and how it unwinds: the Site of a failing
// statement, the Error that carries it, fail().
//
// Errors travel as C++ exceptions (kx::Error) once the Python error
// indicator is set; the function entry (kxentry.h) catches them, adds the
// "KXdv17_0.<name>" traceback entry (kxerrors.h) and returns NULL.
//
// Where a Site goes: every function that can fail takes `Site at = Site()`
// as its last parameter (the printf-style raisers take it first, before the
// format) and hands it to everything it calls that can fail, so a failure
// is reported at the line that called it. Handler bodies and the block
// readers of a table never pass one: their own lines are the ones reported.
//
// May touch: nothing but the C++ exception it throws. It never reads or
// writes a message (no kx_msg_*) and never names one.
#ifndef KX_MODULE_KXSITE_H
#define KX_MODULE_KXSITE_H

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

}  // namespace kx

#endif
