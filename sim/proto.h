// kxd-sim: message numbers and named wire bits of the management protocol,
// addresses on the wire, and a builder that cuts record streams into messages.
#ifndef KXD_SIM_PROTO_H
#define KXD_SIM_PROTO_H

#include <stdint.h>

#include <string>
#include <vector>

#include "kx_log.h"
#include "kx_msg.h"
#include "kx_ringbuf.h"
#include "../protocol/kx_protocol.h"

namespace sim {

// The protocol's numbers (SRV_*, CLI_*, FEATURES_*, FIELD_*, FILTER_*,
// VIEW_OP_*, CONN_*, ENGINE_*) come from the protocol definition.
using namespace kxp;

constexpr uint16_t kProtocolVersion = PROTOCOL_VERSION;

// View filters and view fields the simulator offers, by id.
enum : uint8_t {
  VFILTER_PROTOCOL = 1, VFILTER_SERVICE = 2, VFILTER_NETOBJECT = 3, VFILTER_HOST = 4,
  VFILTER_SERVER_NAME = 5, VFILTER_SERVER_PORT = 6, VFILTER_TRANSLATED = 7,
};
enum : uint8_t {
  VFIELD_LOCAL_HOST = 1, VFIELD_SERVICE = 2, VFIELD_PROTOCOL = 3, VFIELD_NETOBJECT = 4,
  VFIELD_PORT = 5, VFIELD_TRANSLATED = 6,
};

// Data mask bits of a view row update the simulator combines.
enum : uint8_t {
  VIEW_DATA_NO_DATA = 0x40,  // a bit without a group
  VIEW_DATA_NEW_ROW = VIEW_DATA_CONNS | VIEW_DATA_SPEED | VIEW_DATA_DROPPED | VIEW_DATA_RTT | VIEW_DATA_CPS,
};

// Update mask bits of a host record the simulator combines.
enum : uint16_t {
  HOST_NO_DATA = 0x0001 | 0x0008 | 0x0400,  // bits without a group
};

// Connection record flags the simulator combines. The blocks are written in
// the definition's order, not in bit order.
enum : uint32_t {
  CONN_NO_DATA_LOW = 0x4000 | 0x8000,  // bits without a block
  CONN_NO_DATA_HIGH = 0x80000000u,
  CONN_ANY_CREATE = CONN_CREATE | CONN_CREATE_TOO,
  CONN_ANY_SPEED = CONN_SPEED | CONN_SPEED_TOO,
  // what a new connection's record carries
  CONN_NEW = CONN_CREATE | CONN_SERVICE | CONN_ENGINE_FLAGS | CONN_SHAPING | CONN_ANY_SPEED | CONN_STAT_RULES |
             CONN_HOSTNAME | CONN_XFB_FLAGS | CONN_DEEPSCAN | CONN_ROWS,
};

// An engine flag bit without a name, which the simulator sets too.
enum : uint32_t { ENGINE_UNNAMED = 0x8 };

// The log facility whose threshold gates the simulator's own lines; a
// client's debug setting for it changes what the simulator logs.
constexpr int kLogFacility = KX_LOG_FAC_CLIENT;

// One of the simulator's own log lines, "[kxd-sim:<level>] <text>" on
// standard error, when the facility's threshold and the print threshold let
// the level pass.
void log_line(uint32_t level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// An address as the wire carries it: family 0 (IPv4, word 0) or 1 (IPv6,
// four words, most significant first).
struct Addr {
  bool v6 = false;
  uint32_t w[4] = {0, 0, 0, 0};
};

void put_addr(kx_msg_t *m, const Addr &a);        // ip4 or ip6 by family (no family byte)
void put_ipaddr(kx_msg_t *m, const Addr &a);      // family byte, then the address
std::string addr_text_full(const Addr &a);        // dotted quad, or eight uncompressed groups
std::string addr_text_short(const Addr &a);       // dotted quad, or compressed groups

// Where the encoders put the messages they build: the client's output ring
// buffer. A message is framed into the ring buffer when the next one is
// started or at flush(), so a reply of any length holds one message at a time.
// Encoders fill the message they started last (back()).
class Msgs {
 public:
  explicit Msgs(kx_ringbuf_t *rb) : rb_(rb) {}
  ~Msgs() { flush(); }
  Msgs(const Msgs &) = delete;
  Msgs &operator=(const Msgs &) = delete;

  void push_back(kx_msg_t *m);  // takes the message
  kx_msg_t *back() const { return held_; }
  void flush();
  // A message did not fit in the ring buffer (it and the later ones were
  // dropped): the client is not reading.
  bool overflowed() const { return overflowed_; }

 private:
  kx_ringbuf_t *const rb_;
  kx_msg_t *held_ = nullptr;
  bool overflowed_ = false;
};

// A sequence of messages of one type, filled record by record: a record that
// does not fit in the current message starts the next one, which begins with
// the same header bytes. Records are written into rec() and closed with end().
class Batch {
 public:
  Batch(uint32_t type, Msgs *out);
  ~Batch();
  Batch(const Batch &) = delete;
  Batch &operator=(const Batch &) = delete;
  kx_msg_t *header() { return head_; }  // bytes every message of the batch starts with
  kx_msg_t *rec() { return rec_; }
  void end();         // appends the finished record
  void flush();       // closes the current message
  bool empty() const { return cur_ == nullptr; }

 private:
  uint32_t type_;
  Msgs *out_;
  kx_msg_t *head_;
  kx_msg_t *rec_;
  kx_msg_t *cur_ = nullptr;
};

// One message with a single payload.
kx_msg_t *new_msg(uint32_t type);

}  // namespace sim

#endif
