// Out-of-line message primitives: the multi-field reader.
#include "kx_msg.h"

// Reads a varint of at most max_bytes bytes, most significant group first.
// On failure `*out` holds the groups read so far and `pos` stays after them.
static int kx_msg_get_varint(kx_msg_t *msg, uint64_t *out, unsigned max_bytes) {
  uint64_t value = 0;
  for (unsigned i = 0; i < max_bytes; i++) {
    if (!kx_msg_has(msg, 1)) {
      *out = value;
      return 0;
    }
    uint8_t b = msg->data[msg->pos++];
    value = (value << 7) | (b & 0x7f);
    if (!(b & 0x80)) {
      *out = value;
      return 1;
    }
  }
  *out = value;
  return 0;
}

int kx_msg_vget_fields(kx_msg_t *msg, va_list ap) {
  if (__builtin_expect(msg == NULL, 0)) KX_MSG_BUG(KX_LINE_MSG_GET_DATA, "kx_msg_get_data", "msg == ((void *)0)");
  for (;;) {
    int code = va_arg(ap, int);
    switch (code) {
      case KX_MSG_FIELD_END:
        return 1;
      case KX_MSG_FIELD_U8:
      case KX_MSG_FIELD_I8:
        if (!kx_msg_get_uint8(msg, va_arg(ap, uint8_t *))) return 0;
        break;
      case KX_MSG_FIELD_U16:
      case KX_MSG_FIELD_I16:
        if (!kx_msg_get_uint16(msg, va_arg(ap, uint16_t *))) return 0;
        break;
      case KX_MSG_FIELD_U32:
      case KX_MSG_FIELD_I32:
        if (!kx_msg_get_uint32(msg, va_arg(ap, uint32_t *))) return 0;
        break;
      case KX_MSG_FIELD_U64:
      case KX_MSG_FIELD_I64:
        if (!kx_msg_get_uint64(msg, va_arg(ap, uint64_t *))) return 0;
        break;
      case KX_MSG_FIELD_STRING: {
        uint32_t size = va_arg(ap, uint32_t);
        char *buf = va_arg(ap, char *);
        if (!kx_msg_get_string_len(msg, buf, size, NULL)) return 0;
        break;
      }
      case KX_MSG_FIELD_DATA: {
        uint32_t size = va_arg(ap, uint32_t);
        void *buf = va_arg(ap, void *);
        if (!kx_msg_get_data(msg, buf, size)) return 0;
        break;
      }
      case KX_MSG_FIELD_VARINT32: {
        uint32_t *out = va_arg(ap, uint32_t *);
        uint64_t v;
        int ok = kx_msg_get_varint(msg, &v, 5);
        *out = (uint32_t)v;
        if (!ok) return 0;
        break;
      }
      case KX_MSG_FIELD_ZIGZAG32: {
        int32_t *out = va_arg(ap, int32_t *);
        uint64_t v;
        if (!kx_msg_get_varint(msg, &v, 5)) return 0;
        uint32_t u = (uint32_t)v;
        *out = (int32_t)((u >> 1) ^ (0u - (u & 1u)));
        break;
      }
      case KX_MSG_FIELD_VARINT64: {
        uint64_t *out = va_arg(ap, uint64_t *);
        if (!kx_msg_get_varint(msg, out, 10)) return 0;
        break;
      }
      case KX_MSG_FIELD_ZIGZAG64: {
        int64_t *out = va_arg(ap, int64_t *);
        uint64_t v;
        if (!kx_msg_get_varint(msg, &v, 10)) return 0;
        *out = (int64_t)((v >> 1) ^ (0ull - (v & 1ull)));
        break;
      }
      case KX_MSG_FIELD_SKIP:
        if (!kx_msg_skip(msg, va_arg(ap, uint32_t))) return 0;
        break;
      case KX_MSG_FIELD_SKIP_STRING: {
        uint32_t n;
        if (!kx_msg_get_uint32(msg, &n)) return 0;
        if (!kx_msg_skip(msg, n)) return 0;
        break;
      }
      default:
        // Codes above 16 are skipped without consuming an argument.
        break;
    }
  }
}

int kx_msg_get_fields(kx_msg_t *msg, ...) {
  va_list ap;
  va_start(ap, msg);
  int ok = kx_msg_vget_fields(msg, ap);
  va_end(ap);
  return ok;
}
