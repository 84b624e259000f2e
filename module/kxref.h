// Owned references, names made once at import, and the module's state.
//
// Every reference a body holds is a kx::Ref, released on every path, so no
// body counts references by hand.
//
// May touch: reference counts, the module's and the built-ins' namespaces.
// It never reads or writes a message (no kx_msg_*) and never names one.
#ifndef KX_MODULE_KXREF_H
#define KX_MODULE_KXREF_H

#include "kxsite.h"
#include "../pyfast/kxfast.h"

#include <utility>

namespace kx {

// ---- owned references ----------------------------------------------------------

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject *owned) : p_(owned) {}
  static Ref borrowed(PyObject *p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref &o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref &operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject *get() const { return p_; }
  PyObject *release() {
    PyObject *p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject *p_ = nullptr;
};

inline PyObject *ptr(PyObject *p) { return p; }
inline PyObject *ptr(const Ref &r) { return r.get(); }

// Takes the new reference a C-API call returned; null means an exception is set.
inline Ref check(PyObject *p, Site at = Site()) {
  if (!p) fail(at);
  return Ref(p);
}
inline void check_rc(int rc, Site at = Site()) {
  if (rc < 0) fail(at);
}

// ---- names made once at import ---------------------------------------------------

// An interned string created when the module is imported. Declare them at file
// scope (KX_NAME) and use them wherever an attribute, key or global is named.
class Name {
 public:
  explicit Name(const char *text) : text_(text), next_(all_) { all_ = this; }
  Name(const Name &) = delete;
  Name &operator=(const Name &) = delete;
  PyObject *get() const { return obj_; }
  operator PyObject *() const { return obj_; }
  const char *text() const { return text_; }
  // Interns every declared name; false with an exception set on failure.
  static bool init_all();

  // What the shortcuts of kxfast.h remember about this name.
  mutable fast::NameMemo memo;

 private:
  const char *text_;
  PyObject *obj_ = nullptr;
  Name *next_;
  static Name *all_;
};

#define KX_NAME(id) static kx::Name n_##id(#id)

// ---- module state ----------------------------------------------------------------

extern PyObject *module_dict;    // KXdv17_0's namespace (the module lives forever)
extern PyObject *builtins_dict;  // the built-ins' namespace (__builtin__, or builtins)
extern PyTypeObject *msg_type;   // KXMsgv17_0.KXMsg, taken at import

// Raises NameError for a name bound nowhere.
[[noreturn]] void unbound(const Name &name, Site at);
// A module global, looked up now in the module namespace (then the built-ins).
inline Ref global(const Name &name, Site at = Site()) {
  PyObject *v = fast::lookup(module_dict, name, name.memo, 0);
  if (!v) v = fast::lookup(builtins_dict, name, name.memo, 1);
  if (!v) unbound(name, at);
  return Ref::borrowed(v);
}
// A built-in name, looked up now in the built-ins module.
inline Ref builtin(const Name &name, Site at = Site()) {
  PyObject *v = fast::lookup(builtins_dict, name, name.memo, 1);
  if (!v) unbound(name, at);
  return Ref::borrowed(v);
}

}  // namespace kx

#endif
