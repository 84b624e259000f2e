// Message buffer primitives: put bounds and bytes, peeks, bounded strings
// and the multi-field reader (failed single reads are the fuzz target's).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kx_msg.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::unique_ptr<kx_msg_t> make_msg(const Bytes &payload, uint16_t len = 0) {
  std::unique_ptr<kx_msg_t> m(new kx_msg_t());
  kx_msg_init(m.get(), 7);
  if (!payload.empty()) memcpy(m->data, payload.data(), payload.size());
  m->len = payload.empty() ? len : (uint16_t)payload.size();
  return m;
}

// Width 1..8: the matching put of 0x81 0x82 ...; 3: a string "ab"; 5: a null string.
void *put(kx_msg_t *m, int width) {
  switch (width) {
    case 1: return kx_msg_put_uint8(m, 0x81);
    case 2: return kx_msg_put_uint16(m, 0x8182);
    case 4: return kx_msg_put_uint32(m, 0x81828384u);
    case 8: return kx_msg_put_uint64(m, 0x8182838485868788ull);
    case 3: return kx_msg_put_string(m, "ab");
    default: return kx_msg_put_string(m, nullptr);
  }
}

TEST(Msg, PutWritesWholeFieldOrNothing) {
  const Bytes ab = {0, 0, 0, 3, 'a', 'b', 0}, none = {0, 0, 0, 0};
  struct Case { uint16_t len; int width; Bytes bytes; int result_at; };
  const Case cases[] = {
      {32764, 4, {0x81, 0x82, 0x83, 0x84}, 0}, {32765, 4, {}, -1}, {32765, 2, {0x81, 0x82}, 0},
      {32767, 2, {}, -1}, {32767, 1, {0x81}, 0}, {32768, 1, {}, -1},
      {32760, 8, {0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88}, 0}, {32761, 8, {}, -1},
      {0, 3, ab, 4}, {32761, 3, ab, 4}, {32762, 3, {}, -1},  // no length word without its text
      {32764, 5, none, 0}, {32765, 5, {}, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.len) + " width " + std::to_string(c.width));
    auto m = make_msg({}, c.len);
    void *r = put(m.get(), c.width);
    EXPECT_EQ(r, c.result_at < 0 ? nullptr : m->data + c.len + c.result_at);
    EXPECT_EQ(Bytes(m->data + c.len, m->data + m->len), c.bytes);
  }
  auto m = make_msg({});
  kx_msg_put_string(m.get(), "");
  EXPECT_EQ(Bytes(m->data, m->data + m->len), (Bytes{0, 0, 0, 1, 0}));
}

TEST(Msg, PeekLeavesPosition) {
  auto m = make_msg({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07});
  struct Case { uint16_t pos; int ok; uint32_t value; };
  const Case cases[] = {{0, 1, 0x01020304u}, {3, 1, 0x04050607u}, {4, 0, 0}, {7, 0, 0}, {9, 0, 0}};
  for (const Case &c : cases) {
    m->pos = c.pos;
    uint32_t v = 99;
    EXPECT_EQ(kx_msg_peek_uint32(m.get(), &v), c.ok) << c.pos;
    EXPECT_EQ(v, c.value) << c.pos;
    EXPECT_EQ(m->pos, c.pos);
  }
}

Bytes string_field(uint32_t n, uint32_t present) {
  Bytes b = {(uint8_t)(n >> 24), (uint8_t)(n >> 16), (uint8_t)(n >> 8), (uint8_t)n};
  for (uint32_t i = 0; i < present; i++) b.push_back((uint8_t)('A' + i % 26));
  return b;
}

TEST(Msg, BoundedString) {
  struct Case { Bytes wire; uint32_t size; int ok; uint16_t pos; uint32_t kept; uint32_t wire_len; };
  const Case cases[] = {
      {string_field(300, 300), 256, 1, 304, 255, 300},
      {string_field(300, 200), 256, 0, 4, 0, 300},      // copy fails: buffer zeroed
      {string_field(300, 260), 256, 0, 259, 255, 300},  // skip fails after the copy
      {string_field(0, 0), 256, 1, 4, 0, 0},
      {string_field(4, 4), 1, 1, 8, 0, 4},
      {{0, 0, 0}, 256, 0, 0, 0, 12345},  // no length word
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.wire.size()) + " bytes, size " + std::to_string(c.size));
    auto m = make_msg(c.wire);
    std::vector<char> buf(c.size, 'x');
    uint32_t wire_len = 12345;
    EXPECT_EQ(kx_msg_get_string_len(m.get(), buf.data(), c.size, &wire_len), c.ok);
    EXPECT_EQ(m->pos, c.pos);
    EXPECT_EQ(wire_len, c.wire_len);
    EXPECT_EQ(buf[c.size - 1], 0);
    for (uint32_t i = 0; i + 1 < c.size && c.wire.size() >= 4; i++)
      ASSERT_EQ(buf[i], i < c.kept ? (char)c.wire[4 + i] : !c.ok || (i == 0 && !c.wire_len) ? 0 : 'x') << i;
  }
}

TEST(Msg, FieldsEveryCodeInOneCall) {
  Bytes wire = {0x01, 0xfe, 0x01, 0x02, 0xff, 0xfe, 0, 0, 0, 3, 0xff, 0xff, 0xff, 0xfd, 1, 2, 3, 4, 5, 6, 7, 8};
  wire.insert(wire.end(), 8, 0xff);
  wire.insert(wire.end(), {0, 0, 0, 4, 'a', 'b', 'c', 0, 'D', 'A', 'T', 0x81, 0x00, 0x03, 0x82, 0x01, 0x04,
                           0xee, 0xee, 0, 0, 0, 2, 'z', 0});
  auto m = make_msg(wire);
  uint8_t u8, i8;
  uint16_t u16, i16;
  uint32_t u32, i32, v32;
  uint64_t u64, i64, v64;
  int32_t z32;
  int64_t z64;
  char str[8], data[3];
  ASSERT_EQ(kx_msg_get_fields(m.get(), KX_MSG_FIELD_U8, &u8, KX_MSG_FIELD_I8, &i8, KX_MSG_FIELD_U16, &u16,
                              KX_MSG_FIELD_I16, &i16, KX_MSG_FIELD_U32, &u32, KX_MSG_FIELD_I32, &i32,
                              KX_MSG_FIELD_U64, &u64, KX_MSG_FIELD_I64, &i64, KX_MSG_FIELD_STRING,
                              (uint32_t)sizeof str, str, KX_MSG_FIELD_DATA, (uint32_t)sizeof data, data,
                              KX_MSG_FIELD_VARINT32, &v32, KX_MSG_FIELD_ZIGZAG32, &z32, KX_MSG_FIELD_VARINT64, &v64,
                              KX_MSG_FIELD_ZIGZAG64, &z64, 17, 250, KX_MSG_FIELD_SKIP, (uint32_t)2,
                              KX_MSG_FIELD_SKIP_STRING, KX_MSG_FIELD_END),
            1);
  EXPECT_EQ(std::vector<uint64_t>({u8, i8, u16, i16, u32, i32, u64, i64, v32, (uint64_t)(int64_t)z32, v64,
                                   (uint64_t)z64}),
            std::vector<uint64_t>({1, 0xfe, 0x0102, 0xfffe, 3, 0xfffffffd, 0x0102030405060708ull, ~0ull, 128,
                                   (uint64_t)-2, 257, 2}));
  EXPECT_STREQ(str, "abc");
  EXPECT_EQ(std::string(data, 3), "DAT");
  EXPECT_EQ(m->pos, m->len);  // codes 17 and 250 took no argument and no byte
}

TEST(Msg, FieldsVarints) {
  const uint64_t kUnchanged = 0x5a5a5a5a;
  struct Case { int code; Bytes wire; int ok; uint64_t value; uint16_t pos; };
  const Case cases[] = {
      {KX_MSG_FIELD_VARINT32, {0x81, 0x00}, 1, 128, 2},
      {KX_MSG_FIELD_VARINT32, {0x7f}, 1, 127, 1},
      {KX_MSG_FIELD_VARINT32, {0xff, 0xff, 0xff, 0xff, 0xff, 0x01}, 0, 0xffffffffu, 5},  // no end in 5
      {KX_MSG_FIELD_VARINT32, {0x81, 0x82}, 0, (1 << 7) | 2, 2},  // groups read so far
      {KX_MSG_FIELD_ZIGZAG32, {0x03}, 1, (uint32_t)-2, 1},
      {KX_MSG_FIELD_ZIGZAG32, {0x04}, 1, 2, 1},
      {KX_MSG_FIELD_ZIGZAG32, {0x8f, 0xff, 0xff, 0xff, 0x7f}, 1, (uint32_t)INT32_MIN, 5},
      {KX_MSG_FIELD_ZIGZAG32, {0x83}, 0, kUnchanged, 1},
      {KX_MSG_FIELD_VARINT64, {0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, 1, 1ull << 63, 10},
      {KX_MSG_FIELD_VARINT64, Bytes(11, 0xff), 0, ~0ull, 10},
      {KX_MSG_FIELD_ZIGZAG64, {0x81, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}, 1, (uint64_t)INT64_MIN, 10},
      {KX_MSG_FIELD_ZIGZAG64, {0x80}, 0, kUnchanged, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("code " + std::to_string(c.code) + " bytes " + std::to_string(c.wire.size()));
    auto m = make_msg(c.wire);
    uint64_t out64 = kUnchanged;
    uint32_t out32 = (uint32_t)kUnchanged;
    bool wide = c.code >= KX_MSG_FIELD_VARINT64;
    EXPECT_EQ(kx_msg_get_fields(m.get(), c.code, wide ? (void *)&out64 : (void *)&out32, KX_MSG_FIELD_END), c.ok);
    EXPECT_EQ(wide ? out64 : out32, wide ? c.value : (uint32_t)c.value);
    EXPECT_EQ(m->pos, c.pos);
  }
}

TEST(Msg, FieldsStopAtTheFirstFailingField) {
  // A u16 that reads, one failing field, then a u32 that must stay untouched.
  struct Case { Bytes wire; int code; uint16_t pos; };
  const Case cases[] = {
      {{0, 5, 1, 2, 3}, KX_MSG_FIELD_U32, 2},
      {{0, 5, 0, 0, 0, 9, 'a', 'b'}, KX_MSG_FIELD_STRING, 6},
      {{0, 5, 1, 2}, KX_MSG_FIELD_DATA, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("code " + std::to_string(c.code));
    auto m = make_msg(c.wire);
    uint16_t first = 0;
    uint32_t out = 7, later = 7;
    char buf[8] = "xxxxxxx";
    int ok = c.code == KX_MSG_FIELD_U32
                 ? kx_msg_get_fields(m.get(), KX_MSG_FIELD_U16, &first, c.code, &out, KX_MSG_FIELD_U32, &later, 0)
                 : kx_msg_get_fields(m.get(), KX_MSG_FIELD_U16, &first, c.code, (uint32_t)sizeof buf, buf,
                                     KX_MSG_FIELD_U32, &later, 0);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(first, 5);
    EXPECT_EQ(m->pos, c.pos);
    EXPECT_EQ(later, 7u);
    EXPECT_EQ(out, c.code == KX_MSG_FIELD_U32 ? 0u : 7u);
    EXPECT_EQ(buf[0], c.code == KX_MSG_FIELD_U32 ? 'x' : 0);
  }
}

}  // namespace
