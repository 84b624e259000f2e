// Owned references, names and module state (kxref.h).
#include "kxref.h"

namespace kx {

PyObject *module_dict = nullptr;
PyObject *builtins_dict = nullptr;
PyTypeObject *msg_type = nullptr;

Name *Name::all_ = nullptr;

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

void unbound(const Name &name, Site at) {
  PyErr_SetObject(PyExc_NameError, name);
  fail(at);
}

}  // namespace kx
