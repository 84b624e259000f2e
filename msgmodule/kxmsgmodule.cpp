// KXMsgv17_0: the message and ring-buffer objects and the message factory.
//
// The objects' layout is in kxmsg_objects.h, shared with KXdv17_0, which
// checks both sizes at import and reaches the message through the pointer.
// "s#", "y*" and "n" store Py_ssize_t lengths.
//
// Data is a str under Python 2.7 and bytes under Python 3, where any
// bytes-like object is taken where data goes in and a str is refused.
#define PY_SSIZE_T_CLEAN
#include "../pyfast/kxcompat.h"
#include <structmember.h>

#include <errno.h>
#include <stdint.h>

#include "kx_msg.h"
#include "kx_ringbuf.h"
#include "kxmsg_objects.h"

namespace {

extern PyTypeObject KXMsgType;

// Messages come from the process-wide message pool and go back to it.
kx_msg_t *msg_alloc(uint32_t type) { return kx_msg_new(type); }

void msg_release(kx_msg_t *m) { kx_msg_free(m); }

// The bytes of a data argument (see the top of the file); release with
// PyBuffer_Release.
bool get_data(PyObject *o, Py_buffer *view) {
#if KX_PY3
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "a bytes-like object is required, not 'str'");
    return false;
  }
  return PyObject_GetBuffer(o, view, PyBUF_SIMPLE) == 0;
#else
  char *data;
  Py_ssize_t n;
  if (PyString_AsStringAndSize(o, &data, &n) < 0) return false;
  // The str (or the default-encoded form a unicode object keeps) outlives the call.
  return PyBuffer_FillInfo(view, nullptr, data, n, 1, PyBUF_SIMPLE) == 0;
#endif
}

// Converts a Python int or long to a u32; `what` names the argument in the
// errors. Anything but an integer is a TypeError (a float is not truncated),
// a value outside 0..4294967295 an OverflowError (never reduced modulo 2**64).
bool to_u32(PyObject *o, const char *what, uint32_t *out) {
  if (!PyInt_Check(o) && !PyLong_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.200s", what, Py_TYPE(o)->tp_name);
    return false;
  }
  unsigned long long v = PyLong_Check(o) ? PyLong_AsUnsignedLongLong(o) : 0;
  bool bad = PyLong_Check(o) && PyErr_Occurred();
  if (PyInt_Check(o)) {
    long l = PyInt_AS_LONG(o);
    bad = l < 0;
    v = (unsigned long long)l;
  }
  if (bad || v > 0xffffffffull) {
    PyErr_Format(PyExc_OverflowError, "%s must be in 0..4294967295", what);
    return false;
  }
  *out = (uint32_t)v;
  return true;
}

bool to_type(PyObject *o, uint32_t *out) { return to_u32(o, "message type", out); }

// Wraps a message taken from the pool; the object owns it from then on.
PyObject *msg_adopt(PyTypeObject *type, kx_msg_t *m) {
  KXMsgObject *self = reinterpret_cast<KXMsgObject *>(type->tp_alloc(type, 0));
  if (!self) {
    msg_release(m);
    return nullptr;
  }
  self->msg = m;
  return reinterpret_cast<PyObject *>(self);
}

PyObject *msg_wrap(PyTypeObject *type, uint32_t msgtype) { return msg_adopt(type, msg_alloc(msgtype)); }

// ---- KXMsg ------------------------------------------------------------------

PyObject *KXMsg_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"type", "payload", nullptr};
  PyObject *typeobj;
  const char *payload = "";
  Py_ssize_t n = 0;
#if KX_PY3
  Py_buffer view;
  view.buf = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|y*:KXMsg", const_cast<char **>(kwlist), &typeobj,
                                   &view))
    return nullptr;
  struct Release {
    Py_buffer *v;
    ~Release() {
      if (v->buf) PyBuffer_Release(v);
    }
  } release{&view};
  if (view.buf) {
    payload = static_cast<const char *>(view.buf);
    n = view.len;
  }
#else
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|s#:KXMsg", const_cast<char **>(kwlist), &typeobj,
                                   &payload, &n))
    return nullptr;
#endif
  uint32_t msgtype;
  if (!to_type(typeobj, &msgtype)) return nullptr;
  if ((size_t)n > KX_MSG_MAX_PAYLOAD) {
    PyErr_Format(PyExc_ValueError, "payload of %zd bytes does not fit in a message (at most %u)", n,
                 KX_MSG_MAX_PAYLOAD);
    return nullptr;
  }
  // The payload is copied before the object is made: making an instance of a
  // subclass may run a collection, and code it runs may free a payload the
  // caller's keyword dict held (Python 2.7 lends it as the caller's own).
  kx_msg_t *m = msg_alloc(msgtype);
  kx_msg_put_data(m, payload, (uint32_t)n);
  return msg_adopt(type, m);
}

void KXMsg_dealloc(PyObject *o) {
  KXMsgObject *self = reinterpret_cast<KXMsgObject *>(o);
  if (self->msg) msg_release(self->msg);
  self->msg = nullptr;
  Py_TYPE(o)->tp_free(o);
}

PyObject *KXMsg_get_type(PyObject *o, void *) {
  return PyLong_FromUnsignedLong(reinterpret_cast<KXMsgObject *>(o)->msg->type);
}

PyObject *KXMsg_get_len(PyObject *o, void *) {
  return PyInt_FromLong(reinterpret_cast<KXMsgObject *>(o)->msg->len);
}

PyObject *KXMsg_get_pos(PyObject *o, void *) {
  return PyInt_FromLong(reinterpret_cast<KXMsgObject *>(o)->msg->pos);
}

int KXMsg_set_pos(PyObject *o, PyObject *value, void *) {
  kx_msg_t *m = reinterpret_cast<KXMsgObject *>(o)->msg;
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "pos cannot be deleted");
    return -1;
  }
  if (!PyInt_Check(value) && !PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "pos must be an integer, not %.200s", Py_TYPE(value)->tp_name);
    return -1;
  }
  long v = PyInt_AsLong(value);
  if (v == -1 && PyErr_Occurred()) return -1;
  if (v < 0 || v > m->len) {
    PyErr_Format(PyExc_ValueError, "pos %ld outside 0..%u", v, (unsigned)m->len);
    return -1;
  }
  m->pos = (uint16_t)v;
  return 0;
}

PyObject *KXMsg_get_payload(PyObject *o, void *) {
  kx_msg_t *m = reinterpret_cast<KXMsgObject *>(o)->msg;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(m->data), m->len);
}

PyObject *KXMsg_append(PyObject *o, PyObject *arg) {
  kx_msg_t *m = reinterpret_cast<KXMsgObject *>(o)->msg;
  Py_buffer view;
  if (!get_data(arg, &view)) return nullptr;
  Py_ssize_t n = view.len;
  bool fits = (size_t)n <= KX_MSG_MAX_PAYLOAD && kx_msg_put_data(m, view.buf, (uint32_t)n);
  PyBuffer_Release(&view);
  if (!fits) {
    PyErr_Format(PyExc_ValueError, "%zd bytes do not fit in the message (%u bytes free)", n,
                 kx_msg_free_bytes(m));
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *KXMsg_repr(PyObject *o) {
  kx_msg_t *m = reinterpret_cast<KXMsgObject *>(o)->msg;
#if KX_PY3
  return PyUnicode_FromFormat("<KXMsg type=0x%x len=%u pos=%u>", m->type, (unsigned)m->len,
                              (unsigned)m->pos);
#else
  return PyString_FromFormat("<KXMsg type=0x%x len=%u pos=%u>", m->type, (unsigned)m->len,
                             (unsigned)m->pos);
#endif
}

PyGetSetDef KXMsg_getset[] = {
    {const_cast<char *>("type"), KXMsg_get_type, nullptr, const_cast<char *>("message type number"), nullptr},
    {const_cast<char *>("len"), KXMsg_get_len, nullptr, const_cast<char *>("payload length in bytes"), nullptr},
    {const_cast<char *>("pos"), KXMsg_get_pos, KXMsg_set_pos,
     const_cast<char *>("read position (0..len)"), nullptr},
    {const_cast<char *>("payload"), KXMsg_get_payload, nullptr, const_cast<char *>("the len payload bytes"),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef KXMsg_methods[] = {
    {"append", KXMsg_append, METH_O, "append(data): appends raw bytes to the payload"},
    {nullptr, nullptr, 0, nullptr},
};

// The remaining slots are zero and filled in by the module init.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject KXMsgType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "KXMsgv17_0.KXMsg",
    sizeof(KXMsgObject),
};
#pragma GCC diagnostic pop

// ---- KXRingbuf ----------------------------------------------------------------

kx_ringbuf_t *ring_of(PyObject *o) { return reinterpret_cast<KXRingbufObject *>(o)->rb; }

PyObject *KXRingbuf_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"maxsize", nullptr};
  PyObject *maxobj;
  uint32_t maxsize;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:KXRingbuf", const_cast<char **>(kwlist), &maxobj) ||
      !to_u32(maxobj, "maxsize", &maxsize))
    return nullptr;
  KXRingbufObject *self = reinterpret_cast<KXRingbufObject *>(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  self->rb = kx_ringbuf_new(maxsize);
  return reinterpret_cast<PyObject *>(self);
}

void KXRingbuf_dealloc(PyObject *o) {
  KXRingbufObject *self = reinterpret_cast<KXRingbufObject *>(o);
  if (self->rb) kx_ringbuf_destroy(self->rb);
  self->rb = nullptr;
  Py_TYPE(o)->tp_free(o);
}

// A byte count argument: not negative; counts beyond 32 bits mean "all".
bool to_count(Py_ssize_t n, uint32_t *out) {
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "byte count must not be negative");
    return false;
  }
  *out = (uint64_t)n > 0xffffffffull ? 0xffffffffu : (uint32_t)n;
  return true;
}

PyObject *KXRingbuf_write(PyObject *o, PyObject *args) {
#if KX_PY3
  Py_buffer view;
  if (!PyArg_ParseTuple(args, "y*:write", &view)) return nullptr;
  const char *data = static_cast<const char *>(view.buf);
  Py_ssize_t n = view.len;
#else
  const char *data;
  Py_ssize_t n;
  if (!PyArg_ParseTuple(args, "s#:write", &data, &n)) return nullptr;
#endif
  uint32_t count = (uint64_t)n > 0xffffffffull ? 0xffffffffu : (uint32_t)n;
  size_t written = kx_ringbuf_write(ring_of(o), data, count);
#if KX_PY3
  PyBuffer_Release(&view);
#endif
  return PyInt_FromSize_t(written);
}

// read(n) and peek(n): up to n buffered bytes as a string.
PyObject *ring_copy(PyObject *o, PyObject *args, const char *format, int consume) {
  Py_ssize_t n;
  uint32_t count;
  if (!PyArg_ParseTuple(args, format, &n) || !to_count(n, &count)) return nullptr;
  kx_ringbuf_t *rb = ring_of(o);
  uint32_t k = count < kx_ringbuf_used(rb) ? count : kx_ringbuf_used(rb);
  PyObject *s = PyBytes_FromStringAndSize(nullptr, k);
  if (!s) return nullptr;
  kx_ringbuf_read2(rb, PyBytes_AS_STRING(s), k, consume, 1);
  return s;
}

PyObject *KXRingbuf_read(PyObject *o, PyObject *args) { return ring_copy(o, args, "n:read", 1); }

PyObject *KXRingbuf_peek(PyObject *o, PyObject *args) { return ring_copy(o, args, "n:peek", 0); }

PyObject *KXRingbuf_skip(PyObject *o, PyObject *args) {
  Py_ssize_t n;
  uint32_t count;
  if (!PyArg_ParseTuple(args, "n:skip", &n) || !to_count(n, &count)) return nullptr;
  kx_ringbuf_t *rb = ring_of(o);
  uint32_t k = count < kx_ringbuf_used(rb) ? count : kx_ringbuf_used(rb);
  kx_ringbuf_skip(rb, k);
  return PyInt_FromSize_t(k);
}

PyObject *KXRingbuf_used(PyObject *o, PyObject *) { return PyInt_FromSize_t(kx_ringbuf_used(ring_of(o))); }

PyObject *KXRingbuf_space(PyObject *o, PyObject *) { return PyInt_FromSize_t(kx_ringbuf_space(ring_of(o))); }

PyObject *KXRingbuf_capacity(PyObject *o, PyObject *) {
  return PyInt_FromSize_t(kx_ringbuf_capacity(ring_of(o)));
}

PyObject *KXRingbuf_complete(PyObject *o, PyObject *) {
  return PyBool_FromLong(kx_msg_ringbuf_complete(ring_of(o)));
}

PyObject *KXRingbuf_readMsg(PyObject *o, PyObject *) {
  kx_msg_t *m = kx_msg_read_from_ringbuf(ring_of(o));
  if (!m) Py_RETURN_NONE;
  return msg_adopt(&KXMsgType, m);
}

PyObject *KXRingbuf_readMsgInto(PyObject *o, PyObject *args) {
  PyObject *msg;
  if (!PyArg_ParseTuple(args, "O!:readMsgInto", &KXMsgType, &msg)) return nullptr;
  return PyBool_FromLong(kx_msg_read_into_from_ringbuf(ring_of(o), reinterpret_cast<KXMsgObject *>(msg)->msg));
}

PyObject *KXRingbuf_writeMsg(PyObject *o, PyObject *args) {
  PyObject *msg;
  if (!PyArg_ParseTuple(args, "O!:writeMsg", &KXMsgType, &msg)) return nullptr;
  return PyBool_FromLong(kx_msg_write_to_ringbuf(ring_of(o), reinterpret_cast<KXMsgObject *>(msg)->msg));
}

// The result of a descriptor operation: a count, None when the descriptor
// would block, OSError for any other failure.
PyObject *fd_result(int r, int err) {
  if (r >= 0) return PyInt_FromLong(r);
  if (err == EAGAIN || err == EWOULDBLOCK) Py_RETURN_NONE;
  errno = err;
  return PyErr_SetFromErrno(PyExc_OSError);
}

PyObject *KXRingbuf_readFd(PyObject *o, PyObject *args) {
  int fd;
  if (!PyArg_ParseTuple(args, "i:readFd", &fd)) return nullptr;
  if (fd < 0) {
    PyErr_SetString(PyExc_ValueError, "fd must not be negative");
    return nullptr;
  }
  errno = 0;
  int r = kx_ringbuf_read_fd(ring_of(o), fd);
  return fd_result(r, errno);
}

PyObject *KXRingbuf_writeFd(PyObject *o, PyObject *args) {
  int fd;
  Py_ssize_t n;
  if (!PyArg_ParseTuple(args, "in:writeFd", &fd, &n)) return nullptr;
  if (fd < 0 || n <= 0) {
    PyErr_SetString(PyExc_ValueError, fd < 0 ? "fd must not be negative" : "n must be positive");
    return nullptr;
  }
  uint32_t count = (uint64_t)n > 0xffffffffull ? 0xffffffffu : (uint32_t)n;
  int r = kx_ringbuf_write_fd(ring_of(o), fd, count);
  return fd_result(r < 0 ? -1 : r, r < 0 ? -r : 0);
}

PyMethodDef KXRingbuf_methods[] = {
    {"write", KXRingbuf_write, METH_VARARGS,
     "write(data): appends as many bytes of data as fit; returns how many were written"},
    {"read", KXRingbuf_read, METH_VARARGS, "read(n): removes and returns up to n buffered bytes"},
    {"peek", KXRingbuf_peek, METH_VARARGS, "peek(n): returns up to n buffered bytes without removing them"},
    {"skip", KXRingbuf_skip, METH_VARARGS, "skip(n): removes up to n buffered bytes; returns how many"},
    {"used", KXRingbuf_used, METH_NOARGS, "used(): number of buffered bytes"},
    {"space", KXRingbuf_space, METH_NOARGS, "space(): number of bytes that still fit"},
    {"capacity", KXRingbuf_capacity, METH_NOARGS, "capacity(): size in bytes (whole 262144-byte chunks)"},
    {"complete", KXRingbuf_complete, METH_NOARGS, "complete(): True when a whole frame is buffered"},
    {"readMsg", KXRingbuf_readMsg, METH_NOARGS,
     "readMsg(): the next frame as a new KXMsg, or None when no whole frame is buffered.\n"
     "A frame header announcing more than 32768 bytes is logged and skipped once enough bytes\n"
     "are buffered; readMsg then returns None."},
    {"readMsgInto", KXRingbuf_readMsgInto, METH_VARARGS,
     "readMsgInto(msg): reads the next frame into msg (type, payload, pos 0) and returns True;\n"
     "returns False and leaves msg unchanged when no whole frame is buffered"},
    {"writeMsg", KXRingbuf_writeMsg, METH_VARARGS,
     "writeMsg(msg): appends msg as one frame and returns True, or returns False and writes\n"
     "nothing when the frame does not fit"},
    {"readFd", KXRingbuf_readFd, METH_VARARGS,
     "readFd(fd): reads from the descriptor until the ring buffer is full, the stream ends or\n"
     "the descriptor would block, so fd is meant to be non-blocking (on a blocking descriptor\n"
     "the call waits for more data after the first read). Returns the number of bytes read;\n"
     "0 at the end of the stream or when the ring buffer is full; None when the descriptor\n"
     "would block before anything was read. Other failures raise OSError."},
    {"writeFd", KXRingbuf_writeFd, METH_VARARGS,
     "writeFd(fd, n): writes up to n buffered bytes (at most 262144) to the descriptor with one\n"
     "write and removes what was written. Returns that count (0 when nothing is buffered);\n"
     "None when the descriptor would block. Other failures raise OSError."},
    {nullptr, nullptr, 0, nullptr},
};

// The remaining slots are zero and filled in by the module init.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject KXRingbufType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "KXMsgv17_0.KXRingbuf",
    sizeof(KXRingbufObject),
};
#pragma GCC diagnostic pop

// ---- module -------------------------------------------------------------------

PyObject *newMsg(PyObject *, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"type", nullptr};
  PyObject *typeobj;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:newMsg", const_cast<char **>(kwlist), &typeobj))
    return nullptr;
  uint32_t msgtype;
  if (!to_type(typeobj, &msgtype)) return nullptr;
  return msg_wrap(&KXMsgType, msgtype);
}

PyMethodDef module_methods[] = {
    {"newMsg", reinterpret_cast<PyCFunction>(newMsg), METH_VARARGS | METH_KEYWORDS,
     "newMsg(type): a new empty KXMsg of that type"},
    {nullptr, nullptr, 0, nullptr},
};

#if KX_PY3
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "KXMsgv17_0", "Message and ring-buffer objects.",
                          -1, module_methods, nullptr, nullptr, nullptr, nullptr};
#endif

// Readies the types and makes the module: a new reference under Python 3,
// the borrowed one Py_InitModule3 gives under 2.7; null on failure.
PyObject *init_module() {
  kx_msg_pool_init();
  KXMsgType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  KXMsgType.tp_doc = "KXMsg(type, payload=''): one protocol message";
  KXMsgType.tp_new = KXMsg_new;
  KXMsgType.tp_dealloc = KXMsg_dealloc;
  KXMsgType.tp_getset = KXMsg_getset;
  KXMsgType.tp_methods = KXMsg_methods;
  KXMsgType.tp_repr = KXMsg_repr;
  KXRingbufType.tp_flags = Py_TPFLAGS_DEFAULT;
  KXRingbufType.tp_doc = "KXRingbuf(maxsize): a byte ring buffer that frames messages";
  KXRingbufType.tp_new = KXRingbuf_new;
  KXRingbufType.tp_dealloc = KXRingbuf_dealloc;
  KXRingbufType.tp_methods = KXRingbuf_methods;
  if (PyType_Ready(&KXMsgType) < 0 || PyType_Ready(&KXRingbufType) < 0) return nullptr;

#if KX_PY3
  PyObject *m = PyModule_Create(&module_def);
#else
  PyObject *m = Py_InitModule3("KXMsgv17_0", module_methods, "Message and ring-buffer objects.");
#endif
  if (!m) return nullptr;
  PyModule_AddStringConstant(m, "__version__", KX_VERSION);
  Py_INCREF(&KXMsgType);
  PyModule_AddObject(m, "KXMsg", reinterpret_cast<PyObject *>(&KXMsgType));
  Py_INCREF(&KXRingbufType);
  PyModule_AddObject(m, "KXRingbuf", reinterpret_cast<PyObject *>(&KXRingbufType));
  return m;
}

}  // namespace

#if KX_PY3
extern "C" __attribute__((visibility("default"))) PyObject *PyInit_KXMsgv17_0(void) {
  return kx_interpreter_matches("KXMsgv17_0") ? init_module() : nullptr;
}
#else
PyMODINIT_FUNC __attribute__((visibility("default"))) initKXMsgv17_0(void) {
  if (kx_interpreter_matches("KXMsgv17_0")) init_module();
}
#endif
