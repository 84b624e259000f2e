// The request writer: a request's fields put in order along its layout in
// the protocol definition, then sent.
//
// May touch: kx_msg_* (the reader and the request writer are the only rooms
// that do), the KXMsg objects of KXMsgv17_0. It never names a message: the
// builders give the request's number and layout.
#ifndef KX_MODULE_KXREQUEST_H
#define KX_MODULE_KXREQUEST_H

#include "kxkind.h"
#include "kxops.h"

#include <stddef.h>
#include <stdint.h>

#include "kx_msg.h"
#include "../protocol/kx_protocol.h"

namespace kx {

// The value of one field of a request layout: a number (cut to the field's
// width; for an ipaddr field an IPv4 address, sent with family 0), a text,
// or a blob's bytes.
struct Value {
  Value(uint64_t v) : n(v) {}
  Value(const CText &t) : text(t) {}
  Value(const char *t) : text(t) {}
  Value(const void *bytes, uint32_t len) : data(bytes), size(len) {}
  uint64_t n = 0;
  const char *text = nullptr;
  const void *data = nullptr;
  uint32_t size = 0;
};

// Builds one request: KXMsgv17_0.newMsg(type), the puts, io.writeMsg(msg).
// A field that does not fit raises ValueError and the request is never sent.
class Request {
 public:
  explicit Request(uint32_t type, Site at = Site());
  // One field of a plain kind (u8, u16, u32, ip4, u64, s64, string, blob,
  // ipaddr).
  void put(Kind kind, const Value &v, Site at = Site());
  // Every field of a layout of plain fields, one value each, in order.
  template <size_t M, size_t N>
  void write_fields(const kxp::LayoutRow (&layout)[M], const Value (&values)[N], Site at = Site()) {
    static_assert(M == N + 1, "one value for each field of the layout");
    for (size_t i = 0; i < N; i++) put(kind_of(layout[i].kind), values[i], at);
  }
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

// Writes a request's fields row by row along a layout, for layouts with
// lists: the caller takes each row in turn and writes what its kind asks.
class LayoutWriter {
 public:
  LayoutWriter(Request &q, const kxp::LayoutRow *rows) : q_(q), row_(rows) {}
  Request &request() const { return q_; }
  // The next row; a layout read past its end is a bug.
  const kxp::LayoutRow &next() {
    KX_BUG_ON(!row_->name, "a request written past its layout");
    return *row_++;
  }
  // The next row, a plain field, from one value.
  void put(const Value &v, Site at = Site()) { q_.put(kind_of(next().kind), v, at); }
  // Every row written.
  void done() const { KX_BUG_ON(row_->name, "field %s of a request left unwritten", row_->name); }

 private:
  Request &q_;
  const kxp::LayoutRow *row_;
};

}  // namespace kx

#endif
