// IP address types, text forms and parsers.
//
// IPv6 addresses come in four representations, each with its own variant of
// every IPv6 function:
//   _u16  eight u16 groups, host order, group 0 first
//   _u32  four u32 words, host order (word i = groups 2i and 2i+1)
//   _u64  two u64 values, host order (element 0 = groups 0..3)
//   _u8   sixteen bytes in network order
#ifndef KX_IPADDR_H
#define KX_IPADDR_H

#include <stddef.h>
#include <stdint.h>

#define KX_IPADDR_TYPE_V4 0
#define KX_IPADDR_TYPE_V6 1

typedef struct kx_ipaddr {
  uint32_t ip_type;
  uint32_t address[4];  /* host order; IPv4 uses word 0 only */
} kx_ipaddr_t;

typedef struct kx_ipaddrplen {
  uint32_t ip_type;
  uint32_t address[4];
  uint8_t plen;
} kx_ipaddrplen_t;

#ifdef __cplusplus
extern "C" {
#endif

/* Text forms. Every function writes a terminated text and returns buf. */
char *kx_ipaddr_tostring(const kx_ipaddr_t *ip, char *buf, size_t bufsize);
char *kx_ipaddrplen_tostring(const kx_ipaddrplen_t *ip, char *buf, size_t bufsize);

char *kx_iptostring_ip4(uint32_t addr, char *buf, size_t bufsize);
char *kx_iptostring_ip4_plen(uint32_t addr, uint8_t plen, char *buf, size_t bufsize);
char *kx_iptostring_ip4_port(uint32_t addr, uint16_t port, char *buf, size_t bufsize);

char *kx_iptostring_ip6_u16(const uint16_t groups[8], char *buf, size_t bufsize);
char *kx_iptostring_ip6_u16_plen(const uint16_t groups[8], uint8_t plen, char *buf, size_t bufsize);
char *kx_iptostring_ip6_u16_port(const uint16_t groups[8], uint16_t port, char *buf, size_t bufsize);
char *kx_iptostring_ip6_u32(const uint32_t words[4], char *buf, size_t bufsize);
char *kx_iptostring_ip6_u32_plen(const uint32_t words[4], uint8_t plen, char *buf, size_t bufsize);
char *kx_iptostring_ip6_u32_port(const uint32_t words[4], uint16_t port, char *buf, size_t bufsize);
char *kx_iptostring_ip6_u64(const uint64_t halves[2], char *buf, size_t bufsize);
char *kx_iptostring_ip6_u64_plen(const uint64_t halves[2], uint8_t plen, char *buf, size_t bufsize);
char *kx_iptostring_ip6_u64_port(const uint64_t halves[2], uint16_t port, char *buf, size_t bufsize);
char *kx_iptostring_ip6_u8(const uint8_t bytes[16], char *buf, size_t bufsize);
char *kx_iptostring_ip6_u8_plen(const uint8_t bytes[16], uint8_t plen, char *buf, size_t bufsize);
char *kx_iptostring_ip6_u8_port(const uint8_t bytes[16], uint16_t port, char *buf, size_t bufsize);

/* Parsers: return the position just after the accepted text, or null when the
 * text does not start with a valid form. The text need not end there. */
const char *kx_stringtoip_ip4(const char *text, uint32_t *addr);
const char *kx_stringtoip_ip4_plen(const char *text, uint32_t *addr, uint8_t *plen);
const char *kx_stringtoip_ip4_optplen(const char *text, uint32_t *addr, uint8_t *plen, uint8_t default_plen);
const char *kx_stringtoip_ip4_port(const char *text, uint32_t *addr, uint16_t *port);

const char *kx_stringtoip_ip6_u16(const char *text, uint16_t groups[8]);
const char *kx_stringtoip_ip6_u16_plen(const char *text, uint16_t groups[8], uint8_t *plen);
const char *kx_stringtoip_ip6_u16_optplen(const char *text, uint16_t groups[8], uint8_t *plen, uint8_t default_plen);
const char *kx_stringtoip_ip6_u16_port(const char *text, uint16_t groups[8], uint16_t *port);
const char *kx_stringtoip_ip6_u32(const char *text, uint32_t words[4]);
const char *kx_stringtoip_ip6_u32_plen(const char *text, uint32_t words[4], uint8_t *plen);
const char *kx_stringtoip_ip6_u32_optplen(const char *text, uint32_t words[4], uint8_t *plen, uint8_t default_plen);
const char *kx_stringtoip_ip6_u32_port(const char *text, uint32_t words[4], uint16_t *port);
const char *kx_stringtoip_ip6_u64(const char *text, uint64_t halves[2]);
const char *kx_stringtoip_ip6_u64_plen(const char *text, uint64_t halves[2], uint8_t *plen);
const char *kx_stringtoip_ip6_u64_optplen(const char *text, uint64_t halves[2], uint8_t *plen, uint8_t default_plen);
const char *kx_stringtoip_ip6_u64_port(const char *text, uint64_t halves[2], uint16_t *port);
const char *kx_stringtoip_ip6_u8(const char *text, uint8_t bytes[16]);
const char *kx_stringtoip_ip6_u8_plen(const char *text, uint8_t bytes[16], uint8_t *plen);
const char *kx_stringtoip_ip6_u8_optplen(const char *text, uint8_t bytes[16], uint8_t *plen, uint8_t default_plen);
const char *kx_stringtoip_ip6_u8_port(const char *text, uint8_t bytes[16], uint16_t *port);

#ifdef __cplusplus
}
#endif

#endif
