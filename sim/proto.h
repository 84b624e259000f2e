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

namespace sim {

constexpr uint16_t kProtocolVersion = 0x6000;

// Server messages.
enum : uint32_t {
  SRV_VERSION = 0x10001,
  SRV_UPDATE_DONE = 0x10002,
  SRV_AUTHENTICATION_OK = 0x10003,
  SRV_FEATURES = 0x10007,
  SRV_EPERM = 0x10008,
  SRV_NOT_AVAILABLE = 0x10009,
  SRV_XFB_NAMES = 0x1000f,
  SRV_HOST_ADD = 0x12000,
  SRV_HOST_UPDATE = 0x12001,
  SRV_HOST_REMOVE = 0x12002,
  // Reply to a host find; the number belongs to the client library
  // (examples/kxclient.py uses the same one).
  SRV_HOST_FIND_REPLY = 0x12003,
  SRV_CONN_UPDATE = 0x13001,
  SRV_SC_SCHEMATA = 0x13101,
  SRV_SC_ADD = 0x13102,
  SRV_SC_REMOVE = 0x13103,
  SRV_STRTABLE_BEGIN = 0x14000,
  SRV_STRTABLE_ENTRIES = 0x14001,
  SRV_STRTABLE_END = 0x14002,
  SRV_VIEW_ADD_ERROR = 0x16001,
  SRV_SHAPING_RULES_INIT = 0x17000,
  SRV_SHAPING_OBJECTS_INIT = 0x17500,
  SRV_SHAPING_OBJECT = 0x17501,
  SRV_FW_RULES_INIT = 0x18000,
  SRV_FW_RULES = 0x18001,
  SRV_FWLOG_ENTRY_START = 0x19000,
  SRV_FWLOG_ENTRY = 0x19001,
  SRV_FWLOG_ENTRY_END = 0x19002,
  SRV_CHANNEL_STATS_INFO = 0x1b000,
  SRV_CHANNEL_STATS_DATA = 0x1b001,
  SRV_PONG = 0x1b100,
  SRV_BGP_DUMP_DONE = 0x1b300,
  SRV_BGP_DUMP_ENTRY = 0x1b301,
  SRV_BGP_DUMP_PATH = 0x1b302,
  SRV_SYSDIAG_BEGIN = 0x1b400,
  SRV_SYSDIAG_ENTRIES = 0x1b401,
  SRV_SYSDIAG_END = 0x1b402,
  SRV_VCRC_TEST_RESULT = 0x1b500,
  SRV_VIEW_UPDATE = 0x1b700,
  SRV_VIEW_CAPS = 0x1b701,
};

// Client requests.
enum : uint32_t {
  CLI_AUTH = 0x20001,
  CLI_REQUEST_UPDATE = 0x20002,
  // Host queries; the numbers belong to the client library, which binds them
  // as KXD_PROTOCOL_CLIENT_HOSTVIEW_SHOW and KXD_PROTOCOL_CLIENT_HOST_FIND.
  CLI_HOSTVIEW_SHOW = 0x20200,
  CLI_HOST_FIND = 0x20201,
  CLI_SHAPING_SHOW = 0x20352,
  CLI_SHAPING_HIDE = 0x20353,
  CLI_FWRULES_SHOW = 0x20384,
  CLI_FWRULES_HIDE = 0x20385,
  CLI_FWLOG_QUERY = 0x203e8,
  CLI_FWLOG_CLEAR = 0x203e9,
  CLI_CHANNELS_SHOW = 0x204b0,
  CLI_CHANNELS_HIDE = 0x204b1,
  CLI_PING = 0x20528,
  CLI_DUMP_CONNECTIONS = 0x20578,
  CLI_BGP_DUMP = 0x205dc,
  CLI_SET_DEBUG = 0x206d6,
  CLI_FORCE_STATS_WRITE = 0x21900,
  CLI_CREATE_VIEW = 0x22000,
  CLI_CREATE_VIEW_BY_NAME = 0x22002,
  CLI_SC_ROW_QUERY = 0x22200,
  CLI_SYSDIAG_DUMP = 0x10640,
  CLI_INJECT_PACKET = 0x106a4,
  CLI_VCRC_TEST = 0x10708,
};

enum : uint64_t {
  FEATURES_BGP = 0x1,
  FEATURES_FW = 0x2,
  FEATURES_SHAPING = 0x4,
  FEATURES_STATISTICS = 0x8,
  FEATURES_VBS = 0x100,
};

// View field and filter types, view update operations.
enum { FIELD_HOST = 0, FIELD_SERVICE = 1, FIELD_INT = 2, FIELD_STRING = 3, FIELD_UINT32 = 4, FIELD_BOOLEAN = 5 };
enum { FILTER_SMALL_INTS = 1, FILTER_SERVICES = 2, FILTER_OBJECTS = 3, FILTER_HOSTS = 4,
       FILTER_STRINGS = 5, FILTER_UINT32 = 6, FILTER_BOOLEAN = 7 };
enum { VIEW_OP_ADD = 0, VIEW_OP_UPDATE = 1, VIEW_OP_REMOVE = 2, VIEW_OP_STRING_SET = 3 };

// View filters and view fields the simulator offers, by id.
enum : uint8_t {
  VFILTER_PROTOCOL = 1, VFILTER_SERVICE = 2, VFILTER_NETOBJECT = 3, VFILTER_HOST = 4,
  VFILTER_SERVER_NAME = 5, VFILTER_SERVER_PORT = 6, VFILTER_TRANSLATED = 7,
};
enum : uint8_t {
  VFIELD_LOCAL_HOST = 1, VFIELD_SERVICE = 2, VFIELD_PROTOCOL = 3, VFIELD_NETOBJECT = 4,
  VFIELD_PORT = 5, VFIELD_TRANSLATED = 6,
};

// Data mask of a view row update: which groups follow, in bit order.
enum : uint8_t {
  VIEW_DATA_CONNS = 0x01,    // u32
  VIEW_DATA_SPEED = 0x02,    // two u64
  VIEW_DATA_DROPPED = 0x04,  // six u32 the client reads past
  VIEW_DATA_RTT = 0x08,      // two u32
  VIEW_DATA_CPS = 0x10,      // two u32
  VIEW_DATA_NO_DATA = 0x40,  // a bit without a group
  VIEW_DATA_NEW_ROW = VIEW_DATA_CONNS | VIEW_DATA_SPEED | VIEW_DATA_DROPPED | VIEW_DATA_RTT | VIEW_DATA_CPS,
};

// Update mask of a host record: which groups follow.
enum : uint16_t {
  HOST_SPEED = 0x0002,
  HOST_CONNECTIONS = 0x0004,
  HOST_CPS = 0x0010,
  HOST_NETOBJECTS = 0x0040,
  HOST_QUALITY = 0x0080,
  HOST_DETAILS = 0x0100,  // kind, layer-4 errors and the detail counters
  HOST_NO_DATA = 0x0001 | 0x0008 | 0x0400,  // bits without a group
  // every host-add record carries these groups
  HOST_ADD_GROUPS = HOST_SPEED | HOST_CONNECTIONS | HOST_CPS | HOST_QUALITY | HOST_DETAILS,
};

// Update flags of a connection record: which blocks follow. The blocks are
// written in the order enc_conn lists them, not in bit order.
enum : uint32_t {
  CONN_CREATE = 0x1,
  CONN_SERVICE = 0x2,
  CONN_OPTIONS = 0x4,
  CONN_ENGINE_FLAGS = 0x8,
  CONN_SHAPING = 0x10,
  CONN_SPEED = 0x20,
  CONN_SPEED_TOO = 0x40,  // announces the same block as CONN_SPEED
  CONN_STAT_RULES = 0x80,
  CONN_HOSTNAME = 0x100,
  CONN_STRINGS = 0x200,
  CONN_REMOVE = 0x400,
  CONN_CREATE_TOO = 0x800,  // announces the same block as CONN_CREATE
  CONN_COUNTERS = 0x1000,
  CONN_SHAPING_BYTES = 0x2000,
  CONN_TIMES = 0x10000,
  CONN_MARKS = 0x20000,
  CONN_SECOND_ENDPOINT = 0x40000,  // the translated endpoints, inside the create block
  CONN_VIEWS = 0x80000,
  CONN_DEEPSCAN = 0x100000,
  CONN_TOTALS = 0x200000,
  CONN_XFB_FLAGS = 0x2000000,
  CONN_BLOBS = 0x4000000,
  CONN_ROUTING = 0x8000000,
  CONN_ROWS = 0x10000000,
  CONN_NO_DATA_LOW = 0x4000 | 0x8000,  // bits without a block
  CONN_NO_DATA_HIGH = 0x80000000u,
  CONN_ANY_CREATE = CONN_CREATE | CONN_CREATE_TOO,
  CONN_ANY_SPEED = CONN_SPEED | CONN_SPEED_TOO,
  // what a new connection's record carries
  CONN_NEW = CONN_CREATE | CONN_SERVICE | CONN_ENGINE_FLAGS | CONN_SHAPING | CONN_ANY_SPEED | CONN_STAT_RULES |
             CONN_HOSTNAME | CONN_XFB_FLAGS | CONN_DEEPSCAN | CONN_ROWS,
};

// Engine flag bits the simulator sets on connections.
enum : uint32_t {
  ENGINE_ESTABLISHED = 0x1,
  ENGINE_CLIENT_IS_LOCAL = 0x2,
  ENGINE_UNNAMED = 0x8,  // a bit without a name
  ENGINE_ASYMMETRICAL = 0x10,
};

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
