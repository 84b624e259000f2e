// The kinds of wire fields: one vocabulary for the fields the module reads
// (its field tables, kxrows.h) and the fields its requests write
// (kxrequest.h).
//
// The first kinds are the protocol definition's wire kinds, in its order, so
// a kind of a request layout (kxp::WireKind) is the same kind here
// (kind_of); the kinds after them are read only, each with the Python value
// it becomes.
//
// May touch: nothing but constants. It never reads or writes a message (no
// kx_msg_*) and never names one.
#ifndef KX_MODULE_KXKIND_H
#define KX_MODULE_KXKIND_H

#include <stdint.h>

#include "../protocol/kx_protocol.h"

namespace kx {

// How one field travels and the Python value it becomes; `arg` is the
// argument of the field's row (Field below). The definition's kinds, read
// as:
//   u8, u16            -> int
//   u32, u64           -> long (under Python 3 int)
//   s64                   u64 taken as signed (requests only)
//   string                a string of buffer `arg`: at most arg - 1 bytes kept
//                         and the rest of the field read past -> str
//   blob                  a length of width `arg` (requests: u32), then that
//                         many bytes -> bytes
//   ip4                   "a.b.c.d"
//   ipaddr, ipaddrplen    an ipaddr / ipaddrplen field as compressed text
//   filter_value          a view filter's value (requests only)
//   bps                   u32 bytes per second -> int(value) * 8 (bits per second)
//   s16, s32              u16, u32 taken as signed -> int
//   boolean               u8 -> True or False
//   family                u8 0 (IPv4) or 1 (IPv6) -> int; the addr fields after it follow it
//   addr                  ip4 or ip6 text, as the last family field said
//   blob16, field_value   (server records only; read as blob with `arg` 2, and by
//                         the field type's kind)
enum class Kind : uint8_t {
#define KX_KIND(kind, width) kind,
#include "../protocol/kx_protocol.def"
  list,          // a count, then that many values (list_of) or records of a layout -> [value, ...]
  criteria,      // the rule-test criteria, each present when its bit of the mask is set (requests only)
  rest,          // a list's count kind in a server record: items until the payload ends (not read)
  u32_via_int,   // u32 -> int(value) through the built-in `int` looked up now
  u32_pairs,     // u32 count, then count (u32, u32) -> [(long, long)]
  pair,          // two numbers of width `arg` (| kSigned, | kTimes8, | kInterleaved...) -> (long, long)
  zero,          // nothing on the wire: the int 0
  skip,          // `arg` bytes read past; nothing is stored
  skip_counted,  // a length of width `arg`, then that many bytes read past; nothing is stored
  skip_words,    // `arg` u32 words read past; a short message consumes the whole words there, then fails
  skip_text,     // a string field read past as a string of buffer `arg` reads it
  skip_if,       // a u8; when it is nonzero, `arg` more bytes read past; nothing is stored
  skip_family,   // u8 0 (IPv4) or 1 (IPv6) for the skip_addr rows after it, else BadMessageError()
  skip_addr,     // an address of the last family row's family, read past
  skip_since,    // `arg` bytes read past when the protocol version the read was given is at least the
                 // module global the row's key names (looked up at each row); nothing is stored
  repeat,        // first row only: a count of width `arg`; the (skipped) rows after it read that many times
};

// The kind of a request layout's field.
constexpr Kind kind_of(kxp::WireKind k) { return static_cast<Kind>(k); }
#define KX_KIND(kind, width) \
  static_assert(kind_of(kxp::kind_##kind) == Kind::kind, "the definition's kinds come first, in order");
#include "../protocol/kx_protocol.def"
static_assert(kind_of(kxp::kind_list) == Kind::list && kind_of(kxp::kind_criteria) == Kind::criteria &&
                  kind_of(kxp::kind_rest) == Kind::rest,
              "the layouts' compound kinds follow them");

// The largest count a count field of this kind holds.
constexpr uint64_t count_limit(Kind count) { return kxp::count_limit(static_cast<kxp::WireKind>(count)); }

// Kind::skip_since argument flag: the version compared by Python's >=
// ordering (greater_equal) rather than by the three-way comparison.
constexpr uint32_t kGreaterEqual = 0x10000;

// Kind::u32 argument: an attribute already holding a long only it holds has
// that long refilled with the new value (set_number) instead of a new one
// stored.
constexpr uint32_t kRefill = 1;

// Kind::pair arguments: the width in bytes of each number (1, 2, 4 or 8), and
// these flags.
constexpr uint32_t kSigned = 0x100;  // the numbers taken as signed
constexpr uint32_t kTimes8 = 0x200;  // each multiplied by 8 modulo 2^64 (byte rates as bit rates)
// Two pairs interleaved on the wire (a1 b1 a2 b2): the kInterleaved row reads
// all four numbers and takes (a1, a2); the kInterleavedSecond row right after
// it reads nothing and takes (b1, b2).
constexpr uint32_t kInterleaved = 0x400;
constexpr uint32_t kInterleavedSecond = 0x800;

// Kind::list arguments: the count's width in bytes, the kind of the values
// (u8, u16, u32, u64 or u32_via_int) and the bytes read past before each value;
constexpr uint32_t list_of(uint32_t count_width, Kind element, uint32_t gap = 0) {
  return count_width | static_cast<uint32_t>(element) << 8 | gap << 16;
}
// and, for an attribute, how it grows: an empty list is assigned to it once
// the count is read (kGrow) or before the count (kGrowEarly), and each value
// is appended to whatever list the attribute holds at that moment. Without
// either flag the list is made whole, then stored.
constexpr uint32_t kGrow = 0x1000000;
constexpr uint32_t kGrowEarly = 0x2000000;

// One field of a fixed layout: the dict key or attribute name it is stored
// under (a skipped field's name only tells what it is), its kind and the
// kind's argument (a string's buffer size, a pair's or a skip's width).
struct Field {
  const char *key;
  Kind kind;
  uint32_t arg;
};

}  // namespace kx

#endif
