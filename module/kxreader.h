// The wire reader: a handler's message argument, and the Reader that takes
// its fields one by one (or a block of them at once, BlockReader).
//
// May touch: kx_msg_* (the reader and the request writer are the only rooms
// that do), the KXMsg objects of KXMsgv17_0. It never names a message: the
// handlers know which message they read.
#ifndef KX_MODULE_KXREADER_H
#define KX_MODULE_KXREADER_H

#include "kxops.h"

#include <stdint.h>
#include <string.h>

#include "kx_msg.h"
#include "../msgmodule/kxmsg_objects.h"

namespace kx {

// The part of a type's name after its last dot ("KXMsgv17_0.KXMsg" -> "KXMsg").
const char *short_name(PyTypeObject *t);
// The kx_msg_t a KXMsg object holds.
kx_msg_t *msg_of(PyObject *o);

// The kx_msg_t of a handler's message argument, after the KXMsg type check.
kx_msg_t *message_arg(PyObject *m, const char *argname = "m", Site at = Site());
// message_arg(m) for a handler's message, inline for a KXMsg itself holding
// its message (what message_arg returns then); anything else goes there.
inline kx_msg_t *message_of(PyObject *m, Site at = Site()) {
  if (Py_TYPE(m) == msg_type) {
    kx_msg_t *msg = reinterpret_cast<KXMsgObject *>(m)->msg;
    if (msg) return msg;
  }
  return message_arg(m, "m", at);
}

// Reads a received message field by field; every short field raises
// BadMessageError() at the caller's line. Only the reader (and the request
// writer, for the messages it fills) touches the support library's message
// calls: handlers read through a Reader.
class Reader {
 public:
  explicit Reader(PyObject *m, Site at = Site()) : m_(message_of(m, at)) {}
  uint32_t remaining() const { return kx_msg_remaining(m_); }

  // One unsigned wire number of T's width (most significant byte first).
  template <class T>
  T num(Site at = Site()) {
    T v;
    if (!try_num(v)) bad_message(at);
    return v;
  }
  uint8_t u8(Site at = Site()) { return num<uint8_t>(at); }
  uint16_t u16(Site at = Site()) { return num<uint16_t>(at); }
  uint32_t u32(Site at = Site()) { return num<uint32_t>(at); }
  uint64_t u64(Site at = Site()) { return num<uint64_t>(at); }
  // A number of `width` bytes (1, 2, 4 or 8), sign-extended when `is_signed`.
  uint64_t number(uint32_t width, bool is_signed, Site at = Site());
  // Optional fields and loop ends: false (nothing consumed) when the field
  // is not whole.
  template <class T>
  bool try_num(T &v) {
    static_assert(sizeof v == 1 || sizeof v == 2 || sizeof v == 4 || sizeof v == 8, "a wire width");
    if (!kx_msg_get_data(m_, &v, sizeof v)) return false;
    if constexpr (sizeof v == 2) v = __builtin_bswap16(v);
    if constexpr (sizeof v == 4) v = __builtin_bswap32(v);
    if constexpr (sizeof v == 8) v = __builtin_bswap64(v);
    return true;
  }

  // The next n bytes, consumed, when that many remain (read them with
  // load()); null, nothing consumed, otherwise.
  static constexpr bool kTakeNeverFails = false;  // a take may fail
  const uint8_t *try_take(uint32_t n) {
    if (!kx_msg_has(m_, n)) return nullptr;
    const uint8_t *p = m_->data + m_->pos;
    m_->pos = static_cast<uint16_t>(m_->pos + n);
    return p;
  }
  // True when n more bytes remain.
  bool has(uint32_t n) const { return kx_msg_has(m_, n) != 0; }
  kx_msg_t *msg() const { return m_; }
  // The wire number of T's width at p (most significant byte first).
  template <class T>
  static T load(const uint8_t *p) {
    T v;
    memcpy(&v, p, sizeof v);
    if constexpr (sizeof v == 2) v = __builtin_bswap16(v);
    if constexpr (sizeof v == 4) v = __builtin_bswap32(v);
    if constexpr (sizeof v == 8) v = __builtin_bswap64(v);
    return v;
  }

  void data(void *buf, uint32_t n, Site at = Site()) {
    if (!kx_msg_get_data(m_, buf, n)) bad_message(at);
  }
  void skip(uint32_t n, Site at = Site()) {
    if (!try_skip(n)) bad_message(at);
  }
  // False (nothing consumed) when fewer than n bytes remain.
  bool try_skip(uint32_t n) { return kx_msg_skip(m_, n) != 0; }
  // One string field consumed exactly as string(bufsize) would read it.
  void skip_string(uint32_t bufsize, Site at = Site()) {
    if (!try_skip_string(bufsize)) bad_message(at);
  }
  // The same without raising: a short field leaves the position where the
  // library's string read leaves it when it fails (past the length, then
  // past the bytes a buffer of bufsize keeps, then past the rest), with no
  // bytes copied.
  bool try_skip_string(uint32_t bufsize) {
    uint32_t kept;
    return try_take_string(bufsize, &kept) != nullptr;
  }
  // A string field consumed as the library's string read into a buffer of
  // bufsize bytes consumes it: the length, the bytes such a buffer keeps
  // (their address in the message, and their number in *kept), the rest.
  // Null when a step's bytes are not all there; the position then stays
  // after the steps that were.
  const uint8_t *try_take_string(uint32_t bufsize, uint32_t *kept) {
    if (bufsize == 0) kx_bug(__FILE__, __LINE__, __func__, "bufsize 0");
    uint32_t n;
    if (!kx_msg_get_uint32(m_, &n)) return nullptr;
    *kept = n < bufsize - 1 ? n : bufsize - 1;
    const uint8_t *p = try_take(*kept);
    return p && try_skip(n - *kept) ? p : nullptr;
  }
  // True when a whole string field (length word and all its bytes) stands at
  // the read position, so reading it cannot fail.
  bool has_whole_string() const {
    uint32_t n;
    return kx_msg_peek_uint32(m_, &n) && remaining() - 4 >= n;
  }
  // A bounded string field into the caller's buffer of `size` bytes, the
  // rest of the buffer untouched.
  void cstring(char *buf, uint32_t size, Site at = Site()) {
    if (!kx_msg_get_string_len(m_, buf, size, nullptr)) bad_message(at);
  }
  // n raw bytes as a byte string; a short message allocates nothing.
  Ref bytes(uint32_t n, Site at = Site());

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
  Ref address(bool v6, Site at = Site()) { return v6 ? v6addr(at) : v4addr(at); }
  // An address field consumed as address() consumes it, without its text:
  // a whole field is skipped; a short one is read by address(), which
  // consumes its whole words and raises as it always does.
  void skip_address(bool v6, Site at = Site()) {
    if (!kx_msg_skip(m_, v6 ? 16 : 4)) address(v6, at);
  }
  // An address family byte: false for IPv4 (0), true for IPv6 (1); any other
  // value raises BadMessageError(unknown % family), or a bare one when
  // `unknown` is null.
  bool family(const char *unknown, Site at = Site());
  // ipaddr / ipaddrplen fields as text in the library's compressed forms.
  Ref ipaddr(Site at = Site());
  Ref ipaddrplen(Site at = Site());

 private:
  kx_msg_t *m_;
};

// The fixed-width reads of a Reader over a block whose bytes were taken from
// the message at once (Reader::try_take): each field is read from that block
// without checking the length again. Python code run between two fields (a
// caller's setter that moves m.pos, a finalizer run by the collector) cannot
// make a later field come from anywhere else.
class BlockReader {
 public:
  explicit BlockReader(const uint8_t *block) : p_(block) {}
  template <class T>
  T num(Site = Site()) {
    T v = Reader::load<T>(p_);
    p_ += sizeof v;
    return v;
  }
  uint8_t u8(Site at = Site()) { return num<uint8_t>(at); }
  uint16_t u16(Site at = Site()) { return num<uint16_t>(at); }
  uint32_t u32(Site at = Site()) { return num<uint32_t>(at); }
  uint64_t u64(Site at = Site()) { return num<uint64_t>(at); }
  // The block holds every field read from it: a take never fails.
  static constexpr bool kTakeNeverFails = true;
  const uint8_t *try_take(uint32_t n) {
    const uint8_t *p = p_;
    p_ += n;
    return p;
  }
  void skip(uint32_t n, Site = Site()) { p_ += n; }
  Ref int8(Site at = Site()) { return py_int(u8(at), at); }
  Ref int16(Site at = Site()) { return py_int(u16(at), at); }
  Ref long32(Site at = Site()) { return py_u32(u32(at), at); }
  Ref long64(Site at = Site()) { return py_u64(u64(at), at); }

 private:
  const uint8_t *p_;
};

}  // namespace kx

#endif
