// The request writer (kxrequest.h).
#include "kxrequest.h"
#include "kxreader.h"

#include <string.h>

namespace kx {

KX_NAME(KXMsgv17_0);
KX_NAME(newMsg);
KX_NAME(writeMsg);

Request::Request(uint32_t type, Site at) {
  Ref factory = getattr(global(n_KXMsgv17_0, at).get(), n_newMsg, at);
  Ref typenum = check(PyInt_FromLong(type), at);
  obj_ = call_at(at, factory.get(), typenum);
  PyObject *o = obj_.get();
  if (!msg_type) raise_fmt(at, PyExc_SystemError, "Missing type object");
  // A builder has nothing to fill when the factory gives None: refuse it too.
  if (o == Py_None || !PyObject_TypeCheck(o, msg_type))
    raise_fmt(at, PyExc_TypeError, "Cannot convert %s to %s", short_name(Py_TYPE(o)),
              short_name(msg_type));
  m_ = msg_of(o);
}

void Request::put(Kind kind, const Value &v, Site at) {
  switch (kind) {
    case Kind::u8: u8(static_cast<uint8_t>(v.n), at); return;
    case Kind::u16: u16(static_cast<uint16_t>(v.n), at); return;
    case Kind::u32:
    case Kind::ip4: u32(static_cast<uint32_t>(v.n), at); return;
    case Kind::u64:
    case Kind::s64: u64(v.n, at); return;
    case Kind::string: string(v.text, at); return;
    case Kind::blob:
      u32(v.size, at);
      data(v.data, v.size, at);
      return;
    case Kind::ipaddr:
      u8(KX_IPADDR_TYPE_V4, at);
      u32(static_cast<uint32_t>(v.n), at);
      return;
    default: break;
  }
  kx_bug(__FILE__, __LINE__, __func__, "a field of kind %d is not written from one value", static_cast<int>(kind));
}

void Request::fits(void *put_result, Site at) {
  if (!put_result) raise_fmt(at, PyExc_ValueError, "request does not fit in one message");
}

void Request::ip(PyObject *text, Site at) {
  Site here;
  Ref keep;
  const char *s = text_chars(text, &keep);
  kx_ipaddrplen_t ip;
  memset(&ip, 0, sizeof ip);
  bool parsed = false;
  if (s) {
    if (kx_stringtoip_ip4_optplen(s, &ip.address[0], &ip.plen, 32)) {
      ip.ip_type = KX_IPADDR_TYPE_V4;
      parsed = true;
    } else {
      // An IPv6 text whose parse stops at a '.' has a dotted tail the parser
      // does not take (::ffff:10.0.0.1); sending the part before it would
      // name another address.
      const char *end = kx_stringtoip_ip6_u32_optplen(s, ip.address, &ip.plen, 128);
      if (end && *end != '.') {
        ip.ip_type = KX_IPADDR_TYPE_V6;
        parsed = true;
      }
    }
    if (!parsed) PyErr_SetString(PyExc_ValueError, "Unparsable ip address");
  }
  if (!parsed) {
    add_traceback("KXdv17_0._put_ip", here);
    fail(at);
  }
  fits(kx_msg_put_ipaddrplen(m_, &ip), at);
}

void Request::send(PyObject *io, Site at) {
  Ref write = getattr(io, n_writeMsg, at);
  call_at(at, write.get(), obj_);
}

}  // namespace kx
