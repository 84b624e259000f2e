// The helper layer every KXdv17_0 function is written with.
//
// A module function is declared with KX_FUNCTION(name, "kw1", "kw2", ...) and
// its body reads its fields through a Reader or fills a Request. Errors travel
// as C++ exceptions (kx::Error) once the Python error indicator is set; the
// function entry catches them, adds the "KXdv17_0.<name>" traceback entry and
// returns NULL. Every reference a body holds is a kx::Ref, released on every
// path, so no body counts references by hand.
#ifndef KX_MODULE_KXPY_H
#define KX_MODULE_KXPY_H

#include "kxcompat.h"

#include <stdint.h>
#include <string.h>
#include <utility>

#include "kx_msg.h"

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

[[noreturn]] inline void fail(Site at = Site()) { throw Error{at}; }

// Adds one traceback entry named `funcname` at `at` to the current exception.
void add_traceback(const char *funcname, Site at);

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
extern PyTypeObject *ringbuf_type;

// A module global, looked up now in the module namespace (then the built-ins).
Ref global(const Name &name, Site at = Site());
// A built-in name, looked up now in the built-ins module.
Ref builtin(const Name &name, Site at = Site());

// ---- Python operations that throw on failure ----------------------------------------

template <class... A>
Ref call_at(Site at, PyObject *f, const A &...a) {
  return check(PyObject_CallFunctionObjArgs(f, ptr(a)..., nullptr), at);
}
// KX_CALL(f, args...): f(*args), the call site recorded for the traceback.
#define KX_CALL(...) kx::call_at(kx::Site(), __VA_ARGS__)

inline Ref getattr(PyObject *o, PyObject *name, Site at = Site()) {
  return check(PyObject_GetAttr(o, name), at);
}
inline void setattr(PyObject *o, PyObject *name, PyObject *value, Site at = Site()) {
  check_rc(PyObject_SetAttr(o, name, value), at);
}
inline Ref getitem(PyObject *o, PyObject *key, Site at = Site()) {
  return check(PyObject_GetItem(o, key), at);
}
inline void setitem(PyObject *o, PyObject *key, PyObject *value, Site at = Site()) {
  check_rc(PyObject_SetItem(o, key, value), at);
}
inline void delitem(PyObject *o, PyObject *key, Site at = Site()) {
  check_rc(PyObject_DelItem(o, key), at);
}

// Wire numbers: 8 and 16 bits become ints, 32 and 64 bits longs (under
// Python 3 all of them ints).
inline Ref py_int(long v, Site at = Site()) { return check(PyInt_FromLong(v), at); }
#if KX_PY3
// Python 3's int constructor from a C long has the fast paths (cached small
// ints, one-digit values); every u32, and most u64, fit in a 64-bit long.
static_assert(sizeof(long) == 8, "a C long holds every u32");
inline Ref py_u32(uint32_t v, Site at = Site()) { return check(PyLong_FromLong(v), at); }
inline Ref py_u64(uint64_t v, Site at = Site()) {
  return check(v <= static_cast<uint64_t>(LONG_MAX) ? PyLong_FromLong(static_cast<long>(v))
                                                    : PyLong_FromUnsignedLongLong(v),
               at);
}
#else
inline Ref py_u32(uint32_t v, Site at = Site()) { return check(PyLong_FromUnsignedLong(v), at); }
inline Ref py_u64(uint64_t v, Site at = Site()) {
  return check(PyLong_FromUnsignedLongLong(v), at);
}
#endif
// Wire text: a str; under Python 3 decoded as UTF-8 with surrogateescape, so
// any byte survives the round trip through as_cstring.
#if KX_PY3
inline Ref py_str(const char *s, Py_ssize_t n, Site at = Site()) {
  return check(PyUnicode_DecodeUTF8(s, n, "surrogateescape"), at);
}
#else
inline Ref py_str(const char *s, Py_ssize_t n, Site at = Site()) {
  return check(PyString_FromStringAndSize(s, n), at);
}
#endif
inline Ref py_str(const char *s, Site at = Site()) {
  return py_str(s, static_cast<Py_ssize_t>(strlen(s)), at);
}
// Opaque wire data: a byte string (str under 2.7, bytes under 3).
inline Ref py_bytes(const char *s, Py_ssize_t n, Site at = Site()) {
  return check(PyBytes_FromStringAndSize(s, n), at);
}
inline Ref py_none() { return Ref::borrowed(Py_None); }
// True for exactly the str type (not a subclass).
inline bool is_str_exact(PyObject *o) {
#if KX_PY3
  return PyUnicode_CheckExact(o);
#else
  return PyString_CheckExact(o);
#endif
}

// The zero-terminated bytes of a text argument, valid while the CText lives
// (a temporary lives to the end of the statement that made it).
class CText {
 public:
  CText(const char *p, Ref keep) : p_(p), keep_(std::move(keep)) {}
  operator const char *() const { return p_; }

 private:
  const char *p_;
  Ref keep_;
};
// The interpreter's string conversion. Python 2.7: a str as is, a unicode
// object through the default encoding, anything else TypeError. Python 3: a
// str encoded as UTF-8 with surrogateescape, bytes as they are, anything else
// TypeError; an embedded zero byte is a ValueError.
CText as_cstring(PyObject *o, Site at = Site());
// As as_cstring, without throwing: null with the exception set.
const char *text_chars(PyObject *o, Ref *keep);

// The bytes of a data argument, valid while the Data lives. Python 2.7 takes
// a str; Python 3 any bytes-like object, and a str is a TypeError.
class Data {
 public:
  Data(PyObject *o, const char *argname, Site at = Site());
  ~Data();
  Data(const Data &) = delete;
  Data &operator=(const Data &) = delete;
  const char *bytes() const { return p_; }
  Py_ssize_t size() const { return n_; }

 private:
  const char *p_ = nullptr;
  Py_ssize_t n_ = 0;
#if KX_PY3
  Py_buffer view_;
#endif
};

// cmp(a, b) >= 0 under Python 2.7 (its three-way comparison); a >= b, the
// rich comparison, under Python 3, which has no three-way comparison.
bool cmp_at_least(PyObject *a, PyObject *b, Site at = Site());
// mapping.has_key(key) under Python 2.7; `key in mapping` under Python 3.
bool has_key(PyObject *mapping, PyObject *key, Site at = Site());

// A signed 32-bit long (the target platform's C long): OverflowError outside
// -2147483648..2147483647 on every host.
int32_t as_long32(PyObject *o, Site at = Site());
// The low 64 bits of an integer (narrower fields cast the result down);
// anything that is not an integer, floats included, raises TypeError.
uint64_t as_mask64(PyObject *o, Site at = Site());

// Unpacks `seq` by iteration into exactly n items (new references in out[0..n-1]);
// fewer or more items raise ValueError "unpack sequence of wrong size".
void unpack(PyObject *seq, Ref *out, size_t n, Site at = Site());

// Raises BadMessageError() (or with a text), the class looked up now.
[[noreturn]] void bad_message(Site at = Site());
[[noreturn]] void bad_message_text(Site at, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// Sets `exc` with a formatted message and throws.
[[noreturn]] void raise_fmt(Site at, PyObject *exc, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// ---- messages ------------------------------------------------------------------------

// The kx_msg_t of a handler's message argument, after the KXMsg type check.
kx_msg_t *message_arg(PyObject *m, const char *argname = "m", Site at = Site());

// Reads a received message field by field; every short field raises
// BadMessageError() at the caller's line.
class Reader {
 public:
  explicit Reader(PyObject *m, Site at = Site()) : m_(message_arg(m, "m", at)) {}
  kx_msg_t *msg() const { return m_; }
  uint32_t remaining() const { return kx_msg_remaining(m_); }

  uint8_t u8(Site at = Site()) {
    uint8_t v;
    if (!kx_msg_get_uint8(m_, &v)) bad_message(at);
    return v;
  }
  uint16_t u16(Site at = Site()) {
    uint16_t v;
    if (!kx_msg_get_uint16(m_, &v)) bad_message(at);
    return v;
  }
  uint32_t u32(Site at = Site()) {
    uint32_t v;
    if (!kx_msg_get_uint32(m_, &v)) bad_message(at);
    return v;
  }
  uint64_t u64(Site at = Site()) {
    uint64_t v;
    if (!kx_msg_get_uint64(m_, &v)) bad_message(at);
    return v;
  }
  void data(void *buf, uint32_t n, Site at = Site()) {
    if (!kx_msg_get_data(m_, buf, n)) bad_message(at);
  }
  void skip(uint32_t n, Site at = Site()) {
    if (!kx_msg_skip(m_, n)) bad_message(at);
  }
  // Python values of wire fields.
  Ref int8(Site at = Site()) { return py_int(u8(at), at); }
  Ref int16(Site at = Site()) { return py_int(u16(at), at); }
  Ref long32(Site at = Site()) { return py_u32(u32(at), at); }
  Ref long64(Site at = Site()) { return py_u64(u64(at), at); }
  // A bounded string of buffer `bufsize`: at most bufsize - 1 bytes kept, the
  // rest of the field skipped; the value ends at the first zero byte among
  // the bytes actually read.
  Ref string(uint32_t bufsize, Site at = Site());
  // ip4 / ip6 fields as text ("a.b.c.d", eight uncompressed hex groups).
  Ref v4addr(Site at = Site());
  Ref v6addr(Site at = Site());
  // ipaddr / ipaddrplen fields as text in the library's compressed forms.
  Ref ipaddr(Site at = Site());
  Ref ipaddrplen(Site at = Site());

 private:
  kx_msg_t *m_;
};

// Builds one request: KXMsgv17_0.newMsg(type), the puts, io.writeMsg(msg).
// A field that does not fit raises ValueError and the request is never sent.
class Request {
 public:
  explicit Request(uint32_t type, Site at = Site());
  kx_msg_t *msg() const { return m_; }
  void u8(uint8_t v, Site at = Site()) { fits(kx_msg_put_uint8(m_, v), at); }
  void u16(uint16_t v, Site at = Site()) { fits(kx_msg_put_uint16(m_, v), at); }
  void u32(uint32_t v, Site at = Site()) { fits(kx_msg_put_uint32(m_, v), at); }
  void u64(uint64_t v, Site at = Site()) { fits(kx_msg_put_uint64(m_, v), at); }
  void data(const void *p, uint32_t n, Site at = Site()) { fits(kx_msg_put_data(m_, p, n), at); }
  void string(const char *text, Site at = Site()) { fits(kx_msg_put_string(m_, text), at); }
  // Parses address text and appends it as an ipaddrplen field.
  void ip(PyObject *text, Site at = Site());
  // io.writeMsg(msg), once, last; its result is discarded.
  void send(PyObject *io, Site at = Site());

 private:
  static void fits(void *put_result, Site at);
  Ref obj_;
  kx_msg_t *m_ = nullptr;
};

// ---- function entries -----------------------------------------------------------------

using Impl = Ref (*)(PyObject *const *arg);
PyObject *entry(const char *tbname, const char *const *kwlist, PyObject *args, PyObject *kw,
                Impl impl);

// Calls the module function bound to `name` now with `args` (module functions
// that call others look them up at call time, so a caller may rebind them).
// While the name is still bound to this module's own function `own`, its body
// runs directly: the same work and the same traceback entries, without a
// second argument parse. Any other binding is called as Python would.
template <size_t N>
Ref call_module_function(const Name &name, PyCFunction own, Impl impl, const char *tbname,
                         PyObject *const (&args)[N], Site at = Site()) {
  Ref f = global(name, at);
  if (PyCFunction_Check(f.get()) && PyCFunction_GET_FUNCTION(f.get()) == own) {
    try {
      return impl(args);
    } catch (const Error &e) {
      add_traceback(tbname, e.site);
      fail(at);
    }
  }
  Ref t = check(PyTuple_New(N), at);
  for (size_t i = 0; i < N; i++) PyTuple_SET_ITEM(t.get(), i, Ref::borrowed(args[i]).release());
  return check(PyObject_Call(f.get(), t.get(), nullptr), at);
}

}  // namespace kx

// Defines module function NAME with its keyword names; the body follows as a
// function of `arg` (the parsed arguments, by position) returning a kx::Ref.
#define KX_FUNCTION(NAME, ...)                                                        \
  static kx::Ref NAME##_impl(PyObject *const *arg);                                   \
  static const char *const NAME##_kwlist[] = {__VA_ARGS__, nullptr};                   \
  static PyObject *kx_fn_##NAME(PyObject *, PyObject *args, PyObject *kw) {           \
    return kx::entry("KXdv17_0." #NAME, NAME##_kwlist, args, kw, NAME##_impl);          \
  }                                                                                   \
  static kx::Ref NAME##_impl(PyObject *const *arg __attribute__((unused)))

// Calls module function NAME (defined in this file, with KX_NAME(NAME)
// declared) through its current binding in the module namespace.
#define KX_CALL_MODULE_FUNCTION(NAME, ...)                                                     \
  kx::call_module_function(n_##NAME, reinterpret_cast<PyCFunction>(kx_fn_##NAME), NAME##_impl, \
                           "KXdv17_0." #NAME, {__VA_ARGS__})

// A request builder NAME(io) that sends an empty request of type TYPE.
#define KX_EMPTY_REQUEST(NAME, TYPE)  \
  KX_FUNCTION(NAME, "io") {           \
    kx::Request q(TYPE);              \
    q.send(arg[0]);                   \
    return kx::py_none();             \
  }                                   \
  static_assert(true, "")

// One line of an area's method table.
#define KX_METHOD(NAME) \
  { #NAME, reinterpret_cast<PyCFunction>(kx_fn_##NAME), METH_VARARGS | METH_KEYWORDS, nullptr }
#define KX_METHODS_END \
  { nullptr, nullptr, 0, nullptr }

// Each protocol area's method table, in any order; the frame orders them.
extern PyMethodDef kx_methods_session[];
extern PyMethodDef kx_methods_hosts[];
extern PyMethodDef kx_methods_connections[];
extern PyMethodDef kx_methods_views[];
extern PyMethodDef kx_methods_channels[];
extern PyMethodDef kx_methods_shaping[];
extern PyMethodDef kx_methods_firewall[];
extern PyMethodDef kx_methods_diagnostics[];

#endif
