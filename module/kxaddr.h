// Address text: the text of IPv4 and IPv6 addresses as the module shows them.
//
// May touch: numbers and the str objects it makes. It never reads or writes
// a message (no kx_msg_*) and never names one.
#ifndef KX_MODULE_KXADDR_H
#define KX_MODULE_KXADDR_H

#include "kxops.h"

#include <stdint.h>

namespace kx {

// "%d.%d.%d.%d" of an IPv4 address, octets from the most significant.
Ref v4_text(uint32_t a, Site at = Site());
// "%x:%x:%x:%x:%x:%x:%x:%x" of an IPv6 address of four words, most
// significant first, never compressed.
Ref v6_text(const uint32_t (&words)[4], Site at = Site());

}  // namespace kx

#endif
