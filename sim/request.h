// kxd-sim: decoding of client requests. A RequestReader reads the fields of
// one request in order; after the first field that is not there every later
// read fails too and returns zero or empty, so a handler reads all its fields
// and checks ok() once. The compound requests are decoded here together with
// their records (what the state dump lists under "requests").
#ifndef KXD_SIM_REQUEST_H
#define KXD_SIM_REQUEST_H

#include <stdint.h>

#include <map>
#include <string>

#include "json.h"
#include "proto.h"
#include "rules.h"
#include "views.h"

namespace sim {

class RequestReader {
 public:
  explicit RequestReader(kx_msg_t *m) : m_(m) {}
  uint32_t type() const { return m_->type; }
  bool ok() const { return ok_; }
  void fail() { ok_ = false; }

  uint8_t u8() { return get<uint8_t>(kx_msg_get_uint8); }
  uint16_t u16() { return get<uint16_t>(kx_msg_get_uint16); }
  uint32_t u32() { return get<uint32_t>(kx_msg_get_uint32); }
  uint64_t u64() { return get<uint64_t>(kx_msg_get_uint64); }
  uint64_t num(kxp::WireKind kind);  // a number of the width of kind u8, u16, u32, ip4, u64 or s64
  kx_ipaddr_t ipaddr() { return get<kx_ipaddr_t>(kx_msg_get_ipaddr); }
  kx_ipaddrplen_t prefix() { return get<kx_ipaddrplen_t>(kx_msg_get_ipaddrplen); }
  std::string str();               // a string field; longer texts than 4095 bytes fail
  std::string bytes(uint32_t n);   // n raw bytes

 private:
  template <class T, class F>
  T get(F read) {
    T v{};
    if (ok_ && !read(m_, &v)) ok_ = false;
    return ok_ ? v : T{};
  }

  kx_msg_t *m_;
  bool ok_ = true;
};

// The start of a request record: {"request": name, ...}, named by the
// request's builder in the protocol definition.
JsonObject request_record(const char *name);
JsonObject request_record(uint32_t request);

// A request's plain fields read along its layout in the protocol definition,
// up to its end or its first list or criteria row (rest()), each added to the
// record under its name (numbers as numbers, texts as strings, blobs in hex).
// An ipaddr field of a request carries an IPv4 address (its value); another
// family fails the reader.
class PlainFields {
 public:
  PlainFields(RequestReader &r, const kxp::LayoutRow *layout, JsonObject *record);
  uint64_t num(const std::string &name) const { return nums_.at(name); }
  const std::string &text(const std::string &name) const { return texts_.at(name); }
  const kxp::LayoutRow *rest() const { return rest_; }

 private:
  const kxp::LayoutRow *rest_;
  std::map<std::string, uint64_t> nums_;
  std::map<std::string, std::string> texts_;
};

// A view definition: id, filters, fields. Returns the error to answer with
// (null when the definition is sound); the record lists what was read.
const char *decode_view(RequestReader &r, View *v, JsonObject *record);

// A rule test: id, criteria mask, the criteria of the mask. The record is
// complete only when the reader is still ok().
void decode_rule_test(RequestReader &r, RuleTest *t, JsonObject *record);

void decode_fwlog_query(RequestReader &r, FwLogQuery *q, JsonObject *record);

}  // namespace sim

#endif
