// kxd-sim: one client connection: its protocol state, its views and the
// answers to its requests.
#ifndef KXD_SIM_SESSION_H
#define KXD_SIM_SESSION_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "encode.h"
#include "world.h"

namespace sim {

struct Settings {
  std::string user = "demo", password = "demo";
};

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

class Session {
 public:
  Session(int fd, std::string peer, const Settings &settings, World &world);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Answers one request; the replies are appended to `out`.
  void handle(kx_msg_t *m, Msgs &out);
  void greet(Msgs &out) { enc_version(out); }
  // The live stream of one world tick.
  void tick(Msgs &out);
  std::string dump_json() const;

  int fd;
  std::string peer;
  bool closing = false;                // refused: close once the replies are out

 private:
  void login(kx_msg_t *m, Msgs &out);
  void snapshot(Msgs &out);
  void create_view(kx_msg_t *m, Msgs &out);
  void create_view_by_name(kx_msg_t *m, Msgs &out);
  bool add_view(View v, Msgs &out, const char **error);
  void refresh_view(View &v, Msgs &out, bool full);
  bool passes(const View &v, const Conn &c) const;
  std::vector<uint16_t> views_of(const Conn &c) const;
  // Sends view membership updates for connections whose views changed.
  void update_memberships(Msgs &out);
  void fwlog_query(kx_msg_t *m, Msgs &out);
  void vcrc_test(kx_msg_t *m, Msgs &out);
  void record(const std::string &json) { requests_.push_back(json); }

  const Settings &settings_;
  World &world_;
  std::string user_;
  bool authed_ = false, live_ = false;
  bool channels_ = false, shaping_ = false, fwrules_ = false;
  std::map<uint16_t, View> views_;
  std::map<uint32_t, std::vector<uint16_t>> conn_views_;
  std::vector<std::string> requests_;  // decoded requests, as JSON objects
  uint32_t pings_ = 0;
};

// JSON text helpers shared with the state dump.
std::string json_str(const std::string &s);
std::string json_hex(const std::string &bytes);

}  // namespace sim

#endif
