// KXMsgv17_0: the message and ring-buffer objects and the message factory.
//
// A KXMsg is exactly an object header and one pointer to its kx_msg_t, and a
// KXRingbuf an object header and one pointer to its ring buffer: KXdv17_0
// checks both sizes at import and reaches the message through that pointer.
#include <Python.h>
#include <structmember.h>

#include <stdlib.h>

#include "kx_msg.h"

namespace {

struct KXMsgObject {
  PyObject_HEAD
  kx_msg_t *msg;
};

struct KXRingbufObject {
  PyObject_HEAD
  void *rb;
};

static_assert(sizeof(KXMsgObject) == 24, "KXMsg is an object header and one pointer");
static_assert(sizeof(KXRingbufObject) == 24, "KXRingbuf is an object header and one pointer");

extern PyTypeObject KXMsgType;

kx_msg_t *msg_alloc(uint32_t type) {
  kx_msg_t *m = static_cast<kx_msg_t *>(malloc(sizeof(kx_msg_t)));
  if (!m) return nullptr;
  kx_msg_init(m, type);
  memset(m->reserved, 0, sizeof m->reserved);
  return m;
}

void msg_release(kx_msg_t *m) { free(m); }

// Converts a Python int or long to a u32 message type.
bool to_type(PyObject *o, uint32_t *out) {
  if (!PyInt_Check(o) && !PyLong_Check(o)) {
    PyErr_Format(PyExc_TypeError, "message type must be an integer, not %.200s", Py_TYPE(o)->tp_name);
    return false;
  }
  unsigned long long v = PyLong_Check(o) ? PyLong_AsUnsignedLongLong(o) : 0;
  if (PyInt_Check(o)) {
    long l = PyInt_AS_LONG(o);
    if (l < 0) {
      PyErr_SetString(PyExc_OverflowError, "message type must be in 0..4294967295");
      return false;
    }
    v = (unsigned long long)l;
  } else if (PyErr_Occurred()) {
    PyErr_SetString(PyExc_OverflowError, "message type must be in 0..4294967295");
    return false;
  }
  if (v > 0xffffffffull) {
    PyErr_SetString(PyExc_OverflowError, "message type must be in 0..4294967295");
    return false;
  }
  *out = (uint32_t)v;
  return true;
}

PyObject *msg_wrap(PyTypeObject *type, uint32_t msgtype) {
  kx_msg_t *m = msg_alloc(msgtype);
  if (!m) return PyErr_NoMemory();
  KXMsgObject *self = reinterpret_cast<KXMsgObject *>(type->tp_alloc(type, 0));
  if (!self) {
    msg_release(m);
    return nullptr;
  }
  self->msg = m;
  return reinterpret_cast<PyObject *>(self);
}

// ---- KXMsg ------------------------------------------------------------------

PyObject *KXMsg_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"type", "payload", nullptr};
  PyObject *typeobj;
  const char *payload = "";
  Py_ssize_t n = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|s#:KXMsg", const_cast<char **>(kwlist), &typeobj,
                                   &payload, &n))
    return nullptr;
  uint32_t msgtype;
  if (!to_type(typeobj, &msgtype)) return nullptr;
  if ((size_t)n > KX_MSG_MAX_PAYLOAD) {
    PyErr_Format(PyExc_ValueError, "payload of %zd bytes does not fit in a message (at most %u)", n,
                 KX_MSG_MAX_PAYLOAD);
    return nullptr;
  }
  PyObject *self = msg_wrap(type, msgtype);
  if (self) kx_msg_put_data(reinterpret_cast<KXMsgObject *>(self)->msg, payload, (uint32_t)n);
  return self;
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
  return PyString_FromStringAndSize(reinterpret_cast<const char *>(m->data), m->len);
}

PyObject *KXMsg_append(PyObject *o, PyObject *arg) {
  kx_msg_t *m = reinterpret_cast<KXMsgObject *>(o)->msg;
  char *data;
  Py_ssize_t n;
  if (PyString_AsStringAndSize(arg, &data, &n) < 0) return nullptr;
  if ((size_t)n > KX_MSG_MAX_PAYLOAD || !kx_msg_put_data(m, data, (uint32_t)n)) {
    PyErr_Format(PyExc_ValueError, "%zd bytes do not fit in the message (%u bytes free)", n,
                 kx_msg_free_bytes(m));
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *KXMsg_repr(PyObject *o) {
  kx_msg_t *m = reinterpret_cast<KXMsgObject *>(o)->msg;
  return PyString_FromFormat("<KXMsg type=0x%x len=%u pos=%u>", m->type, (unsigned)m->len,
                             (unsigned)m->pos);
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

PyTypeObject KXMsgType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "KXMsgv17_0.KXMsg",
    sizeof(KXMsgObject),
};

// ---- KXRingbuf ----------------------------------------------------------------

PyObject *KXRingbuf_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"maxsize", nullptr};
  unsigned int maxsize;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "I:KXRingbuf", const_cast<char **>(kwlist), &maxsize))
    return nullptr;
  KXRingbufObject *self = reinterpret_cast<KXRingbufObject *>(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  self->rb = nullptr;
  return reinterpret_cast<PyObject *>(self);
}

void KXRingbuf_dealloc(PyObject *o) { Py_TYPE(o)->tp_free(o); }

PyTypeObject KXRingbufType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "KXMsgv17_0.KXRingbuf",
    sizeof(KXRingbufObject),
};

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

}  // namespace

PyMODINIT_FUNC __attribute__((visibility("default"))) initKXMsgv17_0(void) {
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
  if (PyType_Ready(&KXMsgType) < 0 || PyType_Ready(&KXRingbufType) < 0) return;

  PyObject *m = Py_InitModule3("KXMsgv17_0", module_methods, "Message and ring-buffer objects.");
  if (!m) return;
  Py_INCREF(&KXMsgType);
  PyModule_AddObject(m, "KXMsg", reinterpret_cast<PyObject *>(&KXMsgType));
  Py_INCREF(&KXRingbufType);
  PyModule_AddObject(m, "KXRingbuf", reinterpret_cast<PyObject *>(&KXRingbufType));
}
