// kxd-sim: the view engine. A view groups the connections that pass its
// filters by the value of its first field; each group is a row with counters.
// The engine keeps the rows and the view membership of every connection and
// says what changed; the encoders put the changes on the wire.
#ifndef KXD_SIM_VIEWS_H
#define KXD_SIM_VIEWS_H

#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "proto.h"
#include "world.h"

namespace sim {

struct ViewFilter {
  uint8_t id = 0;
  bool include = true;  // the wire flag is 0 for "count what matches"
  uint8_t type = 0;
  std::vector<uint32_t> nums;
  std::vector<std::string> strs;
  std::vector<kx_ipaddrplen_t> nets;
};

struct ViewRow {
  uint32_t id = 0, second = 0;
  std::string key;      // the field value as the wire carries it
  std::string key_json; // the same value as the client decodes it
  std::string label;
  uint32_t conns = 0;
  uint64_t speed[2] = {0, 0};
  uint32_t rtt[2] = {0, 0}, cps[2] = {0, 0};
};

struct View {
  uint16_t id = 0;
  std::string name;  // set for views created by name
  std::vector<ViewFilter> filters;
  std::vector<std::pair<uint8_t, std::string>> fields;  // the first one groups the rows
  std::map<std::string, ViewRow> rows;                  // by key
  uint32_t next_row = 1;
};

// The value of a view field for one connection: an address (local host) or a number.
struct ViewKeyValue {
  Addr addr;
  uint32_t num = 0;
};

// One row change: VIEW_OP_ADD (with the row's label), VIEW_OP_UPDATE with the
// groups of `mask`, or VIEW_OP_REMOVE.
struct ViewChange {
  uint8_t op;
  ViewRow row;
  uint8_t mask;
};

class ViewSet {
 public:
  explicit ViewSet(const World &world) : world_(world) {}

  bool has(uint16_t id) const { return views_.count(id) > 0; }
  View &add(View v);
  std::map<uint16_t, View> &views() { return views_; }

  // The ids of the views `c` belongs to.
  std::vector<uint16_t> views_of(const Conn &c) const;
  // Recomputes the rows of `v` from the world and returns what changed; with
  // `full`, unchanged rows are listed too.
  std::vector<ViewChange> refresh(View &v, bool full);

  // Membership as last sent to the client, by connection id.
  void set_membership(uint32_t conn, const std::vector<uint16_t> &views) { conn_views_[conn] = views; }
  // Stores the membership; true when it differs from the one sent before.
  bool update_membership(uint32_t conn, const std::vector<uint16_t> &views);
  void forget(uint32_t conn) { conn_views_.erase(conn); }

  std::string views_json() const;        // rows of every view
  std::string membership_json() const;   // views of every live connection

 private:
  bool passes(const View &v, const Conn &c) const;
  bool filter_hits(const ViewFilter &f, const Conn &c) const;
  ViewRow row_of(uint8_t field, const std::string &arg, const Conn &c) const;
  std::map<std::string, ViewRow> current_rows(const View &v) const;

  const World &world_;
  std::map<uint16_t, View> views_;
  std::map<uint32_t, std::vector<uint16_t>> conn_views_;
};

}  // namespace sim

#endif
