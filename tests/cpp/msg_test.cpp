// Message buffer primitives: put bounds and bytes (the getters, peeks, bounded strings, the multi-field reader and
// address round trips are the fuzz target's).
#include "kxtest.h"

using Bytes = std::vector<uint8_t>;

kx_msg_t msg = {7, 0, 0, {}, {}};  // a zeroed payload

// Width 4: the u32 0x81828384; 3: a string "ab"; 5: a null string; 6: an empty string; 17: the address
// 1:2:3:4:5:6:7:8/127 (the other widths' bytes are the Python request tests').
void *put(kx_msg_t *m, int width) {
  static const kx_ipaddrplen_t ip6 = {KX_IPADDR_TYPE_V6, {0x10002, 0x30004, 0x50006, 0x70008}, 127};
  switch (width) {
    case 17: return kx_msg_put_ipaddrplen(m, &ip6);
    case 4: return kx_msg_put_uint32(m, 0x81828384u);
    case 3: return kx_msg_put_string(m, "ab");
    case 6: return kx_msg_put_string(m, "");
    default: return kx_msg_put_string(m, nullptr);
  }
}

TEST(Msg, PutWritesWholeFieldOrNothingAndPeekPastTheEndReadsNothing) {
  const Bytes ab = {0, 0, 0, 3, 'a', 'b', 0}, none = {0, 0, 0, 0};
  struct Case { uint16_t len; int width; Bytes bytes; int result_at; };
  const Case cases[] = {
      {32764, 4, {0x81, 0x82, 0x83, 0x84}, 0}, {32765, 4, {}, -1},  // one bound for every width
      {0, 3, ab, 4}, {32761, 3, ab, 4}, {32762, 3, {}, -1},  // no length word without its text
      {32764, 5, none, 0}, {32765, 5, {}, -1}, {0, 6, {0, 0, 0, 1, 0}, 4},
      {32751, 17, {160, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}, 0}, {32752, 17, {}, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.len) + " width " + std::to_string(c.width));
    msg.len = c.len;
    void *r = put(&msg, c.width);
    EXPECT_EQ(r, c.result_at < 0 ? nullptr : msg.data + c.len + c.result_at);
    EXPECT_EQ(Bytes(msg.data + c.len, msg.data + msg.len), c.bytes);
  }
  memset(msg.data, 0xee, 16);  // a peek past the end (within the payload is the fuzz target's)
  msg.len = 7, msg.pos = 9;
  uint32_t v = 99;
  EXPECT_EQ(0, kx_msg_peek_uint32(&msg, &v));
  EXPECT_EQ(std::make_pair(0u, (uint16_t)9), std::make_pair(v, msg.pos));
}
