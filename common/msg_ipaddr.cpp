// Addresses on the wire: ipaddr (family byte + 4 or 16 bytes) and ipaddrplen
// (code byte carrying family and prefix length + the leading prefix bytes).
#include "kx_msg.h"

#define KX_MSG_IP_NULL_CHECK(msg, line, func) \
  do { if (__builtin_expect((msg) == NULL, 0)) KX_MSG_BUG((line), (func), "msg == ((void *)0)"); } while (0)

// The sixteen address bytes of an IPv6 kx_ipaddr(plen)_t, network order.
static void kx_ip6_words_to_bytes(const uint32_t words[4], uint8_t bytes[16]) {
  for (int i = 0; i < 4; i++) {
    uint32_t be = __builtin_bswap32(words[i]);
    memcpy(bytes + 4 * i, &be, 4);
  }
}

static void kx_ip6_bytes_to_words(const uint8_t bytes[16], uint32_t words[4]) {
  for (int i = 0; i < 4; i++) {
    uint32_t be;
    memcpy(&be, bytes + 4 * i, 4);
    words[i] = __builtin_bswap32(be);
  }
}

int kx_msg_get_ipaddr(kx_msg_t *msg, kx_ipaddr_t *ip) {
  KX_MSG_IP_NULL_CHECK(msg, KX_MSG_GET_IPADDR_LINE, "kx_msg_get_ipaddr");
  uint8_t family;
  if (!kx_msg_get_uint8(msg, &family)) return 0;
  if (family == KX_IPADDR_TYPE_V4) {
    if (!kx_msg_get_uint32(msg, &ip->address[0])) return 0;
    ip->ip_type = KX_IPADDR_TYPE_V4;
    return 1;
  }
  if (family == KX_IPADDR_TYPE_V6) {
    // Words read before a short one stay consumed.
    for (int i = 0; i < 4; i++)
      if (!kx_msg_get_uint32(msg, &ip->address[i])) return 0;
    ip->ip_type = KX_IPADDR_TYPE_V6;
    return 1;
  }
  return 0;
}

int kx_msg_get_ipaddrplen(kx_msg_t *msg, kx_ipaddrplen_t *ip) {
  KX_MSG_IP_NULL_CHECK(msg, KX_MSG_GET_IPADDRPLEN_LINE, "kx_msg_get_ipaddrplen");
  uint8_t code;
  if (!kx_msg_get_uint8(msg, &code)) return 0;
  // Bytes beyond the prefix's are not on the wire and read as zero.
  uint8_t bytes[16] = {0};
  memset(ip->address, 0, sizeof ip->address);
  int v6 = code > 32;
  unsigned plen = v6 ? code - 33u : code;
  // An IPv6 prefix length is stored before it is checked, as the code byte gives it.
  if (v6) ip->plen = (uint8_t)plen;
  if (plen > 128) return 0;
  uint32_t n = (plen + 7) / 8;
  if (!kx_msg_has(msg, n)) return 0;
  memcpy(bytes, msg->data + msg->pos, n);
  msg->pos = (uint16_t)(msg->pos + n);
  if (v6) {
    kx_ip6_bytes_to_words(bytes, ip->address);
  } else {
    uint32_t be;
    memcpy(&be, bytes, 4);
    ip->address[0] = __builtin_bswap32(be);
  }
  ip->ip_type = v6 ? KX_IPADDR_TYPE_V6 : KX_IPADDR_TYPE_V4;
  ip->plen = (uint8_t)plen;
  return 1;
}

void *kx_msg_put_ipaddrplen(kx_msg_t *msg, const kx_ipaddrplen_t *ip) {
  KX_MSG_IP_NULL_CHECK(msg, KX_MSG_PUT_IPADDRPLEN_LINE, "kx_msg_put_ipaddrplen");
  uint8_t field[17];
  if (ip->ip_type == KX_IPADDR_TYPE_V4) {
    if (ip->plen > 32) KX_MSG_BUG(KX_MSG_PUT_IPADDRPLEN_LINE, "kx_msg_put_ipaddrplen", "ip->plen > 32");
    field[0] = ip->plen;
    uint32_t be = __builtin_bswap32(ip->address[0]);
    memcpy(field + 1, &be, 4);
  } else if (ip->ip_type == KX_IPADDR_TYPE_V6) {
    if (ip->plen > 128) KX_MSG_BUG(KX_MSG_PUT_IPADDRPLEN_LINE, "kx_msg_put_ipaddrplen", "ip->plen > 128");
    field[0] = (uint8_t)(ip->plen + 33);
    kx_ip6_words_to_bytes(ip->address, field + 1);
  } else {
    kx_bug(KX_MSG_H_FILE, KX_MSG_PUT_IPADDRPLEN_LINE, "kx_msg_put_ipaddrplen", "Unknown IP type");
  }
  // Code byte and address bytes go out together or not at all: a code byte
  // without its address bytes would make the receiver misread what follows.
  return kx_msg_put_data(msg, field, 1u + (ip->plen + 7u) / 8u);
}
