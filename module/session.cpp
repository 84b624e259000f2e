// KXdv17_0 session control: version, authentication, features, refusals,
// XFB names, keep-alive and update requests.
#include "kxpy.h"

using kx::Reader;
using kx::Ref;
using kx::Request;

namespace {
KX_NAME(range);
}

// (protocol version, server value, first text, second text); a message that
// ends after the version gives (version, 0, "", "").
KX_FUNCTION(handleVersion, "m") {
  Reader r(arg[0]);
  Ref version = r.int16();
  uint64_t server;
  if (!kx_msg_get_uint64(r.msg(), &server)) {
    Ref zero = kx::py_int(0), empty = kx::py_str("", 0);
    return kx::check(PyTuple_Pack(4, version.get(), zero.get(), empty.get(), empty.get()));
  }
  Ref value = kx::py_u64(server);
  Ref first = r.string(256);
  Ref second = r.string(256);
  return kx::check(PyTuple_Pack(4, version.get(), value.get(), first.get(), second.get()));
}

KX_FUNCTION(handleAuth, "m") {
  Reader r(arg[0]);
  return r.int8();
}

KX_FUNCTION(handleFeatures, "m") {
  Reader r(arg[0]);
  return r.long64();
}

KX_FUNCTION(handleEperm, "m") {
  Reader r(arg[0]);
  return r.long32();
}

KX_FUNCTION(handleNotAvail, "m") {
  Reader r(arg[0]);
  return r.string(256);
}

// u8 count, then count names (at most 254 bytes kept of each).
KX_FUNCTION(handleServerXFBNames, "m") {
  Reader r(arg[0]);
  Ref names = kx::check(PyList_New(0));
  Ref count = r.int8();
  Ref indices = KX_CALL(kx::builtin(n_range).get(), count);
  Ref it = kx::check(PyObject_GetIter(indices.get()));
  while (Ref i{PyIter_Next(it.get())}) {
    Ref name = r.string(255);
    kx::check_rc(PyList_Append(names.get(), name.get()));
  }
  if (PyErr_Occurred()) kx::fail();
  return names;
}

KX_FUNCTION(doAuth, "io", "username", "passwd") {
  Request q(131073);
  q.string(kx::as_cstring(arg[1]));
  q.string(kx::as_cstring(arg[2]));
  q.send(arg[0]);
  return kx::py_none();
}

KX_FUNCTION(ping, "io") {
  Request q(132392);
  q.send(arg[0]);
  return kx::py_none();
}

KX_FUNCTION(requestUpdate, "io") {
  Request q(131074);
  q.send(arg[0]);
  return kx::py_none();
}

PyMethodDef kx_methods_session[] = {
    KX_METHOD(doAuth),
    KX_METHOD(handleVersion),
    KX_METHOD(handleAuth),
    KX_METHOD(handleFeatures),
    KX_METHOD(handleEperm),
    KX_METHOD(handleNotAvail),
    KX_METHOD(ping),
    KX_METHOD(requestUpdate),
    KX_METHOD(handleServerXFBNames),
    KX_METHODS_END,
};
