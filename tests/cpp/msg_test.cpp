// Message buffer primitives: put bounds, string and multi-field reads,
// failure positions and the bug reports for null arguments.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kx_msg.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::unique_ptr<kx_msg_t> make_msg(const Bytes &payload = {}, uint16_t len = 0) {
  std::unique_ptr<kx_msg_t> m(new kx_msg_t());
  kx_msg_init(m.get(), 7);
  if (!payload.empty()) memcpy(m->data, payload.data(), payload.size());
  m->len = payload.empty() ? len : (uint16_t)payload.size();
  return m;
}

Bytes written(const kx_msg_t *m, uint16_t from) { return Bytes(m->data + from, m->data + m->len); }

void *put_width(kx_msg_t *m, int width) {
  switch (width) {
    case 1: return kx_msg_put_uint8(m, 0x81);
    case 2: return kx_msg_put_uint16(m, 0x8182);
    case 4: return kx_msg_put_uint32(m, 0x81828384u);
    case 8: return kx_msg_put_uint64(m, 0x8182838485868788ull);
    default: return kx_msg_put_data(m, "", 0);  // an empty field fits even a full message
  }
}

TEST(MsgPut, FitsOnlyWhenTheWholeFieldFits) {
  struct Case { uint16_t len; int width; bool fits; };
  const Case cases[] = {
      {32764, 4, true},  {32765, 4, false}, {32765, 2, true},  {32765, 1, true},
      {32766, 2, true},  {32767, 2, false}, {32767, 1, true},  {32768, 1, false},
      {32760, 8, true},  {32761, 8, false}, {0, 8, true},   {32768, 0, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("len " + std::to_string(c.len) + " width " + std::to_string(c.width));
    auto m = make_msg({}, c.len);
    void *r = put_width(m.get(), c.width);
    if (!c.fits) {
      EXPECT_EQ(r, nullptr);
      EXPECT_EQ(m->len, c.len);
      continue;
    }
    EXPECT_EQ(r, m->data + c.len);
    ASSERT_EQ(m->len, c.len + c.width);
    Bytes expect;  // big-endian 0x81, 0x82, ...
    for (int i = 0; i < c.width; i++) expect.push_back((uint8_t)(0x81 + i));
    EXPECT_EQ(written(m.get(), c.len), expect);
  }
}

TEST(MsgPut, StringForms) {
  struct Case { const char *text; uint16_t len; Bytes bytes; int result_offset; };
  const Case cases[] = {
      {"abc", 0, {0, 0, 0, 4, 'a', 'b', 'c', 0}, 4},
      {"", 0, {0, 0, 0, 1, 0}, 4},
      {nullptr, 0, {0, 0, 0, 0}, 0},
      {"abc", 32760, {0, 0, 0, 4, 'a', 'b', 'c', 0}, 4},  // ends at exactly 32768
      {"abc", 32761, {}, -1},                              // neither length nor text
      {"", 32764, {}, -1},
      {nullptr, 32764, {0, 0, 0, 0}, 0},
      {nullptr, 32765, {}, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.text ? c.text : "(null)") + " at " + std::to_string(c.len));
    auto m = make_msg({}, c.len);
    void *r = kx_msg_put_string(m.get(), c.text);
    EXPECT_EQ(written(m.get(), c.len), c.bytes);
    if (c.result_offset < 0)
      EXPECT_EQ(r, nullptr);
    else
      EXPECT_EQ(r, m->data + c.len + c.result_offset);
  }
}

TEST(MsgGet, ShortReadZeroesOutputAndKeepsPosition) {
  for (int width : {1, 2, 4, 8}) {
    SCOPED_TRACE("width " + std::to_string(width));
    auto m = make_msg(Bytes(width, 0x11));  // one byte short after pos 1
    m->pos = 1;
    alignas(8) uint8_t out[16];
    memset(out, 0xee, sizeof out);
    int ok = width == 1 ? kx_msg_get_uint8(m.get(), out)
             : width == 2 ? kx_msg_get_uint16(m.get(), (uint16_t *)out)
             : width == 4 ? kx_msg_get_uint32(m.get(), (uint32_t *)out)
                          : kx_msg_get_uint64(m.get(), (uint64_t *)out);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(m->pos, 1);
    Bytes expect(16, 0xee);
    std::fill(expect.begin(), expect.begin() + width, 0);
    EXPECT_EQ(Bytes(out, out + 16), expect);
  }
}

TEST(MsgGet, FailedWideReadLeavesRoomForNarrowerOne) {
  auto m = make_msg({0x12, 0x34, 0x56});
  uint32_t v32 = 1;
  EXPECT_EQ(kx_msg_get_uint32(m.get(), &v32), 0);
  EXPECT_EQ(v32, 0u);
  EXPECT_EQ(m->pos, 0);
  uint16_t v16 = 0;
  EXPECT_EQ(kx_msg_get_uint16(m.get(), &v16), 1);
  EXPECT_EQ(v16, 0x1234);
  EXPECT_EQ(m->pos, 2);
  uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_EQ(kx_msg_get_data(m.get(), buf, 2), 0);
  EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0, 0, 3, 4}));
  EXPECT_EQ(kx_msg_skip(m.get(), 2), 0);
  EXPECT_EQ(kx_msg_skip(m.get(), 1), 1);
  EXPECT_EQ(m->pos, 3);
  EXPECT_EQ(kx_msg_remaining(m.get()), 0u);
}

Bytes string_field(uint32_t n, uint32_t present) {
  Bytes b = {(uint8_t)(n >> 24), (uint8_t)(n >> 16), (uint8_t)(n >> 8), (uint8_t)n};
  for (uint32_t i = 0; i < present; i++) b.push_back((uint8_t)('A' + i % 26));
  return b;
}

TEST(MsgGet, StringLen) {
  struct Case { Bytes wire; uint32_t size; int ok; uint16_t pos; uint32_t kept; uint32_t wire_len; };
  const Case cases[] = {
      {string_field(300, 300), 256, 1, 304, 255, 300},
      {string_field(300, 200), 256, 0, 4, 0, 300},    // copy fails: first 255 zeroed
      {string_field(300, 260), 256, 0, 259, 255, 300},  // skip fails after the copy
      {string_field(0, 0), 256, 1, 4, 0, 0},
      {string_field(4, 4), 256, 1, 8, 4, 4},
      {string_field(4, 4), 1, 1, 8, 0, 4},
      {{0, 0, 0}, 256, 0, 0, 0, 12345},  // no length word: wire length untouched
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("wire bytes " + std::to_string(c.wire.size()) + " size " + std::to_string(c.size));
    auto m = make_msg(c.wire);
    std::vector<char> buf(c.size, 'x');
    uint32_t wire_len = 12345;
    EXPECT_EQ(kx_msg_get_string_len(m.get(), buf.data(), c.size, &wire_len), c.ok);
    EXPECT_EQ(m->pos, c.pos);
    EXPECT_EQ(wire_len, c.wire_len);
    EXPECT_EQ(buf[c.size - 1], 0);
    for (uint32_t i = 0; i < c.kept; i++) ASSERT_EQ(buf[i], c.wire[4 + i]) << i;
    if (c.wire.size() >= 4 && !c.ok && c.kept == 0) {
      for (uint32_t i = 0; i + 1 < c.size; i++) ASSERT_EQ(buf[i], 0) << i;
    }
    if (c.wire_len == 0) {
      EXPECT_EQ(buf[0], 0);
    }
  }
}

// ---- kx_msg_get_fields ----

TEST(MsgFields, EveryCodeInOneCall) {
  Bytes wire = {0x01, 0xfe, 0x01, 0x02, 0xff, 0xfe, 0, 0, 0, 3, 0xff, 0xff, 0xff, 0xfd};
  for (int i = 0; i < 8; i++) wire.push_back((uint8_t)(i + 1));
  for (int i = 0; i < 8; i++) wire.push_back(0xff);
  Bytes s = string_field(4, 0);
  wire.insert(wire.end(), s.begin(), s.end());
  wire.insert(wire.end(), {'a', 'b', 'c', 0, 'D', 'A', 'T', 0x81, 0x00, 0x03, 0x82, 0x01, 0x04,
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
                              KX_MSG_FIELD_VARINT32, &v32, KX_MSG_FIELD_ZIGZAG32, &z32,
                              KX_MSG_FIELD_VARINT64, &v64, KX_MSG_FIELD_ZIGZAG64, &z64, 17, 250,
                              KX_MSG_FIELD_SKIP, (uint32_t)2, KX_MSG_FIELD_SKIP_STRING, KX_MSG_FIELD_END),
            1);
  EXPECT_EQ(u8, 1);
  EXPECT_EQ((int8_t)i8, -2);
  EXPECT_EQ(u16, 0x0102);
  EXPECT_EQ((int16_t)i16, -2);
  EXPECT_EQ(u32, 3u);
  EXPECT_EQ((int32_t)i32, -3);
  EXPECT_EQ(u64, 0x0102030405060708ull);
  EXPECT_EQ((int64_t)i64, -1);
  EXPECT_STREQ(str, "abc");
  EXPECT_EQ(std::string(data, 3), "DAT");
  EXPECT_EQ(v32, 128u);
  EXPECT_EQ(z32, -2);
  EXPECT_EQ(v64, 257u);
  EXPECT_EQ(z64, 2);
  EXPECT_EQ(m->pos, m->len);  // codes 17 and 250 took no argument and no byte
}

TEST(MsgFields, VarintForms) {
  struct Case { int code; Bytes wire; int ok; uint64_t value; uint16_t pos; };
  const uint64_t kUnchanged = 0x5a5a5a5a;
  const Case cases[] = {
      {KX_MSG_FIELD_VARINT32, {0x81, 0x00}, 1, 128, 2},
      {KX_MSG_FIELD_VARINT32, {0x7f}, 1, 127, 1},
      {KX_MSG_FIELD_VARINT32, {0x8f, 0xff, 0xff, 0xff, 0x7f}, 1, 0xffffffffu, 5},
      {KX_MSG_FIELD_VARINT32, {0xff, 0xff, 0xff, 0xff, 0xff, 0x01}, 0, 0xffffffffu, 5},  // no end in 5
      {KX_MSG_FIELD_VARINT32, {0x81, 0x82}, 0, (1 << 7) | 2, 2},  // groups read so far
      {KX_MSG_FIELD_VARINT32, {}, 0, 0, 0},
      {KX_MSG_FIELD_ZIGZAG32, {0x03}, 1, (uint32_t)-2, 1},
      {KX_MSG_FIELD_ZIGZAG32, {0x04}, 1, 2, 1},
      {KX_MSG_FIELD_ZIGZAG32, {0x01}, 1, (uint32_t)-1, 1},
      {KX_MSG_FIELD_ZIGZAG32, {0x8f, 0xff, 0xff, 0xff, 0x7f}, 1, (uint32_t)INT32_MIN, 5},
      {KX_MSG_FIELD_ZIGZAG32, {0x83}, 0, kUnchanged, 1},
      {KX_MSG_FIELD_VARINT64, {0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, 1, 1ull << 63, 10},
      {KX_MSG_FIELD_VARINT64, Bytes(11, 0xff), 0, ~0ull, 10},
      {KX_MSG_FIELD_VARINT64, {0x81, 0x80, 0x80, 0x80, 0x80, 0x80}, 0, 1ull << 35, 6},
      {KX_MSG_FIELD_ZIGZAG64, {0x03}, 1, (uint64_t)-2, 1},
      {KX_MSG_FIELD_ZIGZAG64, {0x81, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}, 1, (uint64_t)INT64_MIN, 10},
      {KX_MSG_FIELD_ZIGZAG64, {0x80}, 0, kUnchanged, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("code " + std::to_string(c.code) + " bytes " + std::to_string(c.wire.size()));
    auto m = make_msg(c.wire);
    uint64_t out64 = kUnchanged;
    uint32_t out32 = (uint32_t)kUnchanged;
    bool wide = c.code == KX_MSG_FIELD_VARINT64 || c.code == KX_MSG_FIELD_ZIGZAG64;
    EXPECT_EQ(kx_msg_get_fields(m.get(), c.code, wide ? (void *)&out64 : (void *)&out32, KX_MSG_FIELD_END), c.ok);
    EXPECT_EQ(wide ? out64 : out32, wide ? c.value : (uint32_t)c.value);
    EXPECT_EQ(m->pos, c.pos);
  }
}

TEST(MsgFields, StopsAtFirstFailingField) {
  struct Case { Bytes wire; int code; uint16_t pos; };
  // Each case: a u16 that reads, then one failing field.
  const Case cases[] = {
      {{0, 5, 1, 2, 3}, KX_MSG_FIELD_U32, 2},
      {{0, 5, 1}, KX_MSG_FIELD_U16, 2},
      {{0, 5, 1, 2, 3}, KX_MSG_FIELD_SKIP, 2},
      {{0, 5, 0, 0, 0, 9, 1, 2}, KX_MSG_FIELD_SKIP_STRING, 6},  // pos stays after the length word
      {{0, 5, 0, 0}, KX_MSG_FIELD_SKIP_STRING, 2},
      {{0, 5, 0, 0, 0, 9, 'a', 'b'}, KX_MSG_FIELD_STRING, 6},
      {{0, 5, 1, 2}, KX_MSG_FIELD_DATA, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("code " + std::to_string(c.code));
    auto m = make_msg(c.wire);
    uint16_t first = 0;
    uint32_t later = 0x77777777;
    char buf[8];
    memset(buf, 'x', sizeof buf);
    uint32_t arg = 4;  // size or skip count
    int ok;
    if (c.code == KX_MSG_FIELD_STRING || c.code == KX_MSG_FIELD_DATA)
      ok = kx_msg_get_fields(m.get(), KX_MSG_FIELD_U16, &first, c.code, (uint32_t)sizeof buf, buf,
                             KX_MSG_FIELD_U32, &later, KX_MSG_FIELD_END);
    else if (c.code == KX_MSG_FIELD_SKIP)
      ok = kx_msg_get_fields(m.get(), KX_MSG_FIELD_U16, &first, c.code, arg, KX_MSG_FIELD_U32, &later,
                             KX_MSG_FIELD_END);
    else if (c.code == KX_MSG_FIELD_SKIP_STRING)
      ok = kx_msg_get_fields(m.get(), KX_MSG_FIELD_U16, &first, c.code, KX_MSG_FIELD_U32, &later,
                             KX_MSG_FIELD_END);
    else
      ok = kx_msg_get_fields(m.get(), KX_MSG_FIELD_U16, &first, c.code, &later, KX_MSG_FIELD_U32, &later,
                             KX_MSG_FIELD_END);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(first, 5);
    EXPECT_EQ(m->pos, c.pos);
    if (c.code == KX_MSG_FIELD_U32 || c.code == KX_MSG_FIELD_U16) {
      EXPECT_EQ(later & (c.code == KX_MSG_FIELD_U16 ? 0xffffu : ~0u), 0u);
    } else {
      EXPECT_EQ(later, 0x77777777u) << "a field after the failing one was read";
    }
    if (c.code == KX_MSG_FIELD_DATA || c.code == KX_MSG_FIELD_STRING) {
      EXPECT_EQ(buf[0], 0);
    }
  }
}

// ---- bug reports ----

void loud() {
  kx_log_print_level = KX_LOG_VERBOSE;
  kx_log_levels[KX_LOG_FAC_GENERAL] = KX_LOG_VERBOSE;
}

TEST(MsgDeathTest, NullArgumentsNameTheHeaderLine) {
  struct Case { const char *what; std::function<void()> call; const char *report; };
  static kx_msg_t msg;
  static uint32_t v;
  static char buf[4];
  const Case cases[] = {
      {"put_uint8", [] { kx_msg_put_uint8(nullptr, 1); }, "138/kx_msg_put_data\\(\\): msg"},
      {"put_string", [] { kx_msg_put_string(nullptr, "x"); }, "138/kx_msg_put_data\\(\\): msg"},
      {"skip", [] { kx_msg_skip(nullptr, 1); }, "584/kx_msg_skip\\(\\): msg"},
      {"get msg", [] { kx_msg_get_uint32(nullptr, &v); }, "596/kx_msg_get_data\\(\\): msg"},
      {"get buf", [] { kx_msg_get_uint32(&msg, nullptr); }, "597/kx_msg_get_data\\(\\): buf"},
      {"string msg", [] { kx_msg_get_string_len(nullptr, buf, 4, nullptr); }, "786/kx_msg_get_string_len\\(\\): msg"},
      {"string buf", [] { kx_msg_get_string_len(&msg, nullptr, 4, nullptr); }, "787/kx_msg_get_string_len\\(\\): buf"},
      {"fields u16", [] { kx_msg_get_fields(&msg, KX_MSG_FIELD_U16, (uint16_t *)nullptr, 0); },
       "597/kx_msg_get_data\\(\\): buf"},
      {"fields string", [] { kx_msg_get_fields(&msg, KX_MSG_FIELD_STRING, (uint32_t)4, (char *)nullptr, 0); },
       "787/kx_msg_get_string_len\\(\\): buf"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string re = std::string("\\[General:Critical\\] KX-BUG at include/kx_msg.h:") + c.report +
                     " == \\(\\(void \\*\\)0\\)  \n";
    EXPECT_DEATH({ loud(); c.call(); }, re);
  }
}

}  // namespace
