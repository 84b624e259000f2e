// The message getters over arbitrary payloads (input: u32 type, u16 length modulo 1024, payload, operations), each
// against a plain reading; kx_msg_get_fields against the same fields read one getter at a time from a copy.
#include "fuzz_harness.h"

kx_msg_t g_msg, g_copy, g_out;

uint64_t ref_be(const uint8_t *p, unsigned n) {
  uint64_t v = 0;
  for (unsigned i = 0; i < n; i++) v = v << 8 | p[i];
  return v;
}

// A fixed-size getter (and the u32 peek): on success the value and pos + n, on failure zero and pos unchanged.
template <typename T>
void check_fixed(kx_msg_t *m, int (*get)(kx_msg_t *, T *)) {
  const uint16_t pos = m->pos;
  const bool fits = (uint32_t)pos + sizeof(T) <= m->len;
  if constexpr (sizeof(T) == 4) {  // the peek reads the same and stays
    uint32_t p = 99;
    FUZZ_CHECK(kx_msg_peek_uint32(m, &p) == (int)fits && p == (fits ? ref_be(m->data + pos, 4) : 0) && m->pos == pos);
  }
  T v;
  memset(&v, 0xa5, sizeof v);
  FUZZ_CHECK(get(m, &v) == (int)fits);
  FUZZ_CHECK(fits ? (uint64_t)v == ref_be(m->data + pos, sizeof(T)) && m->pos == pos + sizeof(T) : v == 0 && m->pos == pos);
}

void check_data(kx_msg_t *m, uint32_t n) {
  static uint8_t buf[1024];
  const uint16_t pos = m->pos;
  memset(buf, 0xa5, n);
  int ok = kx_msg_get_data(m, buf, n);
  FUZZ_CHECK(ok == (int)((uint32_t)pos + n <= m->len));
  FUZZ_CHECK(ok ? memcmp(buf, m->data + pos, n) == 0 && m->pos == pos + n : all_zero(buf, n) && m->pos == pos);
}

// A bounded string: the kept part is copied (or zeroed when it is cut off),
// the rest of the buffer is left alone, and pos passes what was read.
void check_string(kx_msg_t *m, uint32_t size) {
  char buf[80];
  memset(buf, 0x5a, sizeof buf);
  const uint16_t pos = m->pos;
  uint32_t wire = 0xdeadbeef;
  int ok = kx_msg_get_string_len(m, buf, size, &wire);
  FUZZ_CHECK(buf[size - 1] == 0 && (uint8_t)buf[size] == 0x5a);
  if (pos + 4u > m->len) return FUZZ_CHECK(!ok && m->pos == pos && wire == 0xdeadbeef);
  FUZZ_CHECK(wire == ref_be(m->data + pos, 4));
  const uint32_t kept = wire < size - 1 ? wire : size - 1;
  const bool copied = pos + 4u + kept <= m->len;
  FUZZ_CHECK(ok == (int)(copied && pos + 4ull + wire <= m->len));
  FUZZ_CHECK(m->pos == pos + 4 + (copied ? kept : 0) + (ok ? wire - kept : 0));
  FUZZ_CHECK(copied ? memcmp(buf, m->data + pos + 4, kept) == 0 : all_zero(buf, kept));
  for (uint32_t i = kept; i + 1 < size; i++) FUZZ_CHECK((uint8_t)buf[i] == (wire == 0 && i == 0 ? 0 : 0x5a));
}

// Reads an address into a 0x55-filled *ip (a copy in *before). At the end of
// the message nothing is read or changed, and false comes back.
template <typename T>
bool read_address(kx_msg_t *m, int (*get)(kx_msg_t *, T *), T *ip, T *before, int *ok) {
  const uint16_t pos = m->pos;
  memset(ip, 0x55, sizeof *ip);
  *before = *ip;
  *ok = get(m, ip);
  if (pos < m->len) return true;
  FUZZ_CHECK(!*ok && m->pos == pos && memcmp(ip, before, sizeof *ip) == 0);
  return false;
}

// An ipaddrplen: a code byte (IPv4 prefix length, or IPv6's plus 33, which is stored even when too long) and the
// prefix's bytes, the rest reading as zero. What was read is written out again as the same bytes.
void check_ipaddrplen(kx_msg_t *m) {
  const uint16_t pos = m->pos;
  kx_ipaddrplen_t ip, before;
  int ok;
  if (!read_address(m, kx_msg_get_ipaddrplen, &ip, &before, &ok)) return;
  const uint8_t code = m->data[pos];
  const unsigned plen = code > 32 ? code - 33u : code, n = (plen + 7) / 8;
  const bool fits = plen <= 128 && pos + 1u + n <= m->len;
  uint8_t bytes[16] = {0};
  if (fits) memcpy(bytes, m->data + pos + 1, n);
  FUZZ_CHECK(ok == (int)fits && m->pos == pos + 1 + (fits ? n : 0));
  FUZZ_CHECK(ip.plen == (fits || code > 32 ? (uint8_t)plen : before.plen));
  FUZZ_CHECK(ip.ip_type == (!fits ? before.ip_type : code > 32 ? KX_IPADDR_TYPE_V6 : KX_IPADDR_TYPE_V4));
  for (int i = 0; i < 4; i++) FUZZ_CHECK(ip.address[i] == ref_be(bytes + 4 * i, 4));
  if (!ok) return;
  kx_msg_init(&g_out, 0);
  FUZZ_CHECK(kx_msg_put_ipaddrplen(&g_out, &ip) != nullptr);
  FUZZ_CHECK(g_out.len == m->pos - pos && memcmp(g_out.data, m->data + pos, g_out.len) == 0);
}

// An ipaddr: a family byte and one or four words; the whole words before a
// short one stay read, the short one reads as zero.
void check_ipaddr(kx_msg_t *m) {
  const uint16_t pos = m->pos;
  kx_ipaddr_t ip, before;
  int ok;
  if (!read_address(m, kx_msg_get_ipaddr, &ip, &before, &ok)) return;
  const uint8_t family = m->data[pos];
  const unsigned words = family == KX_IPADDR_TYPE_V4 ? 1 : family == KX_IPADDR_TYPE_V6 ? 4 : 0;
  const unsigned whole = std::min(words, (m->len - pos - 1u) / 4);
  FUZZ_CHECK(ok == (int)(words && whole == words) && m->pos == pos + 1 + 4 * whole);
  FUZZ_CHECK(ip.ip_type == (ok ? family : before.ip_type));
  for (unsigned i = 0; i < whole; i++) FUZZ_CHECK(ip.address[i] == ref_be(m->data + pos + 1 + 4 * i, 4));
  FUZZ_CHECK(ok || whole == words || ip.address[whole] == 0);
}

struct Field { int code; uint32_t size; uint8_t out[72]; };  // size: a STRING or DATA buffer's, SKIP's count

const int kMaxFields = 4;

// Reference varint: up to max bytes of 7-bit groups, most significant first.
int ref_varint(kx_msg_t *m, uint64_t *out, unsigned max) {
  uint8_t b = 0x80;
  *out = 0;
  for (unsigned i = 0; i < max && (b & 0x80); i++) {
    if (!kx_msg_get_uint8(m, &b)) return 0;
    *out = *out << 7 | (b & 0x7f);
  }
  return !(b & 0x80);
}

// One field with the single getters; 0 when it fails, -1 at the end code.
int ref_field(kx_msg_t *m, Field *f) {
  uint64_t v;
  switch (f->code) {
    case KX_MSG_FIELD_END: return -1;
    case KX_MSG_FIELD_U8: case KX_MSG_FIELD_I8: return kx_msg_get_uint8(m, (uint8_t *)f->out);
    case KX_MSG_FIELD_U16: case KX_MSG_FIELD_I16: return kx_msg_get_uint16(m, (uint16_t *)f->out);
    case KX_MSG_FIELD_U32: case KX_MSG_FIELD_I32: return kx_msg_get_uint32(m, (uint32_t *)f->out);
    case KX_MSG_FIELD_U64: case KX_MSG_FIELD_I64: return kx_msg_get_uint64(m, (uint64_t *)f->out);
    case KX_MSG_FIELD_STRING: return kx_msg_get_string_len(m, (char *)f->out, f->size, nullptr);
    case KX_MSG_FIELD_DATA: return kx_msg_get_data(m, f->out, f->size);
    case KX_MSG_FIELD_VARINT32: case KX_MSG_FIELD_ZIGZAG32: case KX_MSG_FIELD_VARINT64: case KX_MSG_FIELD_ZIGZAG64: {
      // A cut-off plain varint stores the groups read so far; a zigzag one nothing.
      const bool wide = f->code >= KX_MSG_FIELD_VARINT64;
      const bool zigzag = f->code == KX_MSG_FIELD_ZIGZAG32 || f->code == KX_MSG_FIELD_ZIGZAG64;
      const int ok = ref_varint(m, &v, wide ? 10 : 5);
      if (!ok && zigzag) return 0;
      if (!wide) v = (uint32_t)v;
      if (zigzag) v = (v >> 1) ^ (0 - (v & 1));
      const uint32_t narrow = (uint32_t)v;
      memcpy(f->out, wide ? (const void *)&v : &narrow, wide ? 8 : 4);
      return ok;
    }
    case KX_MSG_FIELD_SKIP: return kx_msg_skip(m, f->size);
    case KX_MSG_FIELD_SKIP_STRING: {
      uint32_t n;
      return kx_msg_get_uint32(m, &n) && kx_msg_skip(m, n);
    }
    default: return 1;  // unknown codes take no argument and read nothing
  }
}

// Builds the variadic call for fields[i..n) one field at a time.
template <int Depth, typename... A>
int call_fields(kx_msg_t *m, Field *f, int i, int n, A... args) {
  if constexpr (Depth == 0) {
    return kx_msg_get_fields(m, args..., KX_MSG_FIELD_END);
  } else {
    if (i == n) return kx_msg_get_fields(m, args..., KX_MSG_FIELD_END);
    const int c = f[i].code;
    auto next = [&](auto... more) { return call_fields<Depth - 1>(m, f, i + 1, n, args..., c, more...); };
    if (c == KX_MSG_FIELD_STRING || c == KX_MSG_FIELD_DATA) return next(f[i].size, (void *)f[i].out);
    if (c == KX_MSG_FIELD_SKIP) return next(f[i].size);
    if (c == KX_MSG_FIELD_END || c >= KX_MSG_FIELD_SKIP_STRING) return next();
    return next((void *)f[i].out);
  }
}

void check_fields(kx_msg_t *m, FuzzInput &in) {
  Field got[kMaxFields], want[kMaxFields];
  const int n = 1 + in.u8() % kMaxFields;
  for (int i = 0; i < n; i++) {
    Field &f = got[i];
    memset(&f, 0xa5, sizeof f);
    f.code = in.u8() % 19;
    if (f.code == KX_MSG_FIELD_STRING) f.size = 1 + in.u8() % 64;
    if (f.code == KX_MSG_FIELD_DATA) f.size = in.u8() % 65;
    if (f.code == KX_MSG_FIELD_SKIP) f.size = in.u16();
    want[i] = f;
  }
  memcpy(&g_copy, m, offsetof(kx_msg_t, data) + m->len);
  const int ok = call_fields<kMaxFields>(m, got, 0, n);
  int r = 1;  // the reference stops at a failed field (0) or the end code (-1)
  for (int i = 0; i < n && r > 0; i++) r = ref_field(&g_copy, &want[i]);
  FUZZ_CHECK(ok == (r != 0));
  FUZZ_CHECK(m->pos == g_copy.pos);
  for (int i = 0; i < n; i++) FUZZ_CHECK(memcmp(got[i].out, want[i].out, sizeof got[i].out) == 0);
}

FUZZ_SETUP()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  kx_msg_t *m = &g_msg;
  kx_msg_init(m, in.u32());
  const std::string payload = in.bytes(in.u16() % 1024);
  FUZZ_CHECK(kx_msg_put_data(m, payload.data(), (uint32_t)payload.size()) != nullptr);
  while (!in.empty()) {
    switch (in.u8() % 13) {
      case 0: check_fixed<uint8_t>(m, kx_msg_get_uint8); break;
      case 1: check_fixed<uint16_t>(m, kx_msg_get_uint16); break;
      case 2: check_fixed<uint32_t>(m, kx_msg_get_uint32); break;
      case 3: check_fixed<uint64_t>(m, kx_msg_get_uint64); break;
      case 4: check_data(m, in.u16() % 1024); break;
      case 5: {
        const uint16_t pos = m->pos;
        const uint32_t k = in.u8() & 1 ? in.u32() : in.u8();
        const bool fits = pos + (uint64_t)k <= m->len;
        FUZZ_CHECK(kx_msg_skip(m, k) == (int)fits);
        FUZZ_CHECK(m->pos == (fits ? pos + k : pos));
        break;
      }
      case 6: check_string(m, 1 + in.u8() % 64); break;
      case 7: check_ipaddr(m); break;
      case 8: check_ipaddrplen(m); break;
      case 9: check_fields(m, in); break;
      case 10: m->pos = (uint16_t)(in.u16() % (m->len + 1u)); break;
      case 12: {
        // The facility-levels reader on anything; what the writer writes reads back whole, thresholds unchanged.
        kx_log_msg_get(m);
        uint32_t levels[KX_LOG_NUM_FACILITIES];
        memcpy(levels, kx_log_levels, sizeof levels);
        kx_msg_init(&g_out, 0);
        kx_log_msg_put(&g_out);
        FUZZ_CHECK(kx_log_msg_get(&g_out) == 1 && g_out.pos == g_out.len);
        FUZZ_CHECK(memcmp(levels, kx_log_levels, sizeof levels) == 0);
        break;
      }
    }
    FUZZ_CHECK(m->pos <= m->len);
  }
  return 0;
}
