// The layout of KXMsgv17_0's objects, the one definition both extension
// modules compile against: KXMsgv17_0 allocates them and KXdv17_0 reaches a
// message through them. Python.h comes first in every includer.
#ifndef KX_MSGMODULE_KXMSG_OBJECTS_H
#define KX_MSGMODULE_KXMSG_OBJECTS_H

#include "kx_msg.h"
#include "kx_ringbuf.h"

// A KXMsg: an object header and the message it owns.
struct KXMsgObject {
  PyObject_HEAD
  kx_msg_t *msg;
};

// A KXRingbuf: an object header and the ring buffer it owns.
struct KXRingbufObject {
  PyObject_HEAD
  kx_ringbuf_t *rb;
};

static_assert(sizeof(KXMsgObject) == sizeof(PyObject) + sizeof(kx_msg_t *),
              "a KXMsg is an object header and one pointer");
static_assert(sizeof(KXRingbufObject) == sizeof(PyObject) + sizeof(kx_ringbuf_t *),
              "a KXRingbuf is an object header and one pointer");

#endif
