// The wire reader (kxreader.h).
#include "kxreader.h"
#include "kxaddr.h"

namespace kx {

const char *short_name(PyTypeObject *t) {
  const char *dot = strrchr(t->tp_name, '.');
  return dot ? dot + 1 : t->tp_name;
}

kx_msg_t *msg_of(PyObject *o) {
  kx_msg_t *m = reinterpret_cast<KXMsgObject *>(o)->msg;
  // Worded as the support library words a failed check: the expanded
  // condition and two spaces.
  if (!m) kx_bug(__FILE__, __LINE__, __func__, "%s  ", "msg == ((void *)0)");
  return m;
}

kx_msg_t *message_arg(PyObject *m, const char *argname, Site at) {
  if (!msg_type) raise_fmt(at, PyExc_SystemError, "Missing type object");
  if (m == Py_None || !PyObject_TypeCheck(m, msg_type))
    raise_fmt(at, PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", argname,
              short_name(msg_type), short_name(Py_TYPE(m)));
  return msg_of(m);
}

Ref Reader::string(uint32_t bufsize, Site at) {
  // The text is made from the kept bytes where they stand in the message (no
  // Python code runs between taking them and making it) and ends at the
  // first zero among them.
  uint32_t kept;
  const uint8_t *p = try_take_string(bufsize, &kept);
  if (!p) bad_message(at);
  const void *zero = memchr(p, 0, kept);
  size_t len = zero ? static_cast<size_t>(static_cast<const uint8_t *>(zero) - p) : kept;
  return py_str(reinterpret_cast<const char *>(p), static_cast<Py_ssize_t>(len), at);
}

uint64_t Reader::number(uint32_t width, bool is_signed, Site at) {
  switch (width) {
    case 1: return is_signed ? static_cast<uint64_t>(static_cast<int8_t>(u8(at))) : u8(at);
    case 2: return is_signed ? static_cast<uint64_t>(static_cast<int16_t>(u16(at))) : u16(at);
    case 4: return is_signed ? static_cast<uint64_t>(static_cast<int32_t>(u32(at))) : u32(at);
    case 8: return u64(at);
  }
  kx_bug(__FILE__, __LINE__, __func__, "a number of %u bytes", width);
  return 0;
}

Ref Reader::bytes(uint32_t n, Site at) {
  if (remaining() < n) bad_message(at);
  Ref data_bytes = check(PyBytes_FromStringAndSize(nullptr, n), at);
  data(PyBytes_AS_STRING(data_bytes.get()), n, at);
  return data_bytes;
}

bool Reader::family(const char *unknown, Site at) {
  uint8_t f = u8(at);
  if (f > 1) {
    if (unknown) bad_message_text(at, unknown, f);
    bad_message(at);
  }
  return f == 1;
}

Ref Reader::v4addr(Site at) {
  uint32_t a;
  if (!kx_msg_get_uint32(m_, &a)) bad_message_in("KXdv17_0._get_v4addr", Site(), at);
  return v4_text(a, at);
}

Ref Reader::v6addr(Site at) {
  uint32_t w[4];
  for (uint32_t &word : w)
    if (!kx_msg_get_uint32(m_, &word)) bad_message_in("KXdv17_0._get_v6addr", Site(), at);
  return v6_text(w, at);
}

Ref Reader::ipaddr(Site at) {
  // A whole IPv4 field: the library's text of it, made here.
  if (has(5) && m_->data[m_->pos] == KX_IPADDR_TYPE_V4) {
    const uint8_t *p = try_take(5);
    return v4_text(load<uint32_t>(p + 1), at);
  }
  kx_ipaddr_t ip;
  if (!kx_msg_get_ipaddr(m_, &ip)) bad_message(at);
  char text[128];
  return py_str(kx_ipaddr_tostring(&ip, text, sizeof text), at);
}

Ref Reader::ipaddrplen(Site at) {
  kx_ipaddrplen_t ip;
  if (!kx_msg_get_ipaddrplen(m_, &ip)) bad_message(at);
  char text[128];
  return py_str(kx_ipaddrplen_tostring(&ip, text, sizeof text), at);
}

}  // namespace kx
