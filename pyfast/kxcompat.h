// What differs between the Python 2.7 and the Python 3 C API, for sources
// built against both.
//
// Python 3 has one integer type. The 2.7 names of the int API stand for the
// int (long) API there, and the 2.7 type checks for the small int type are
// false, so code that special-cases 2.7's small ints takes its general path.
// The 2.7 string API has no counterpart: text goes through the module's
// helpers (module/kxops.h: str decoded and encoded as UTF-8 with
// surrogateescape), opaque data through the bytes API, which 2.7 also offers
// (as aliases of its str API).
#ifndef KX_PYFAST_KXCOMPAT_H
#define KX_PYFAST_KXCOMPAT_H

#include "kxconfig.h"

#if KX_PY3
#define PyInt_Type PyLong_Type
#define PyInt_Check(o) ((void)(o), 0)
#define PyInt_CheckExact(o) ((void)(o), 0)
#define PyInt_AS_LONG PyLong_AsLong
#define PyInt_FromLong PyLong_FromLong
#define PyInt_FromSize_t PyLong_FromSize_t
#define PyInt_AsLong PyLong_AsLong
#define PyInt_AsSsize_t PyLong_AsSsize_t
#define PyInt_AsUnsignedLongMask PyLong_AsUnsignedLongMask
#define PyInt_AsUnsignedLongLongMask PyLong_AsUnsignedLongLongMask
#define PyNumber_Int PyNumber_Long

// Python 3's print() keeps no "softspace" state between items.
inline int PyFile_SoftSpace(PyObject *, int) { return 0; }
#endif

#include <stdio.h>
#include <string.h>

// True when the running interpreter is the major.minor version this module
// was compiled for. Object layouts and the C API change between minor
// versions, so a module built for another one would decode wrong values or
// crash: otherwise sets ImportError naming both versions.
inline bool kx_interpreter_matches(const char *module) {
  const char *running = Py_GetVersion();  // "3.12.1 (main, ...)"
  char built[16], found[16];
  snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
  size_t n = strlen(built);
  if (strncmp(running, built, n) == 0 && (running[n] < '0' || running[n] > '9')) return true;
  const char *dot = strchr(running, '.');
  size_t len = dot ? static_cast<size_t>(dot + 1 - running) + strspn(dot + 1, "0123456789") : strcspn(running, " ");
  snprintf(found, sizeof found, "%.*s", static_cast<int>(len < 15 ? len : 15), running);
  PyErr_Format(PyExc_ImportError, "%s was built for Python %s and cannot be imported into Python %s",
               module, built, found);
  return false;
}

#endif
