// kxd-sim: one client's protocol state, its views and the answers to its
// requests.
#ifndef KXD_SIM_SESSION_H
#define KXD_SIM_SESSION_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "encode.h"
#include "json.h"
#include "request.h"
#include "views.h"
#include "world.h"

namespace sim {

struct Settings {
  std::string user = "demo", password = "demo";
};

class Session {
 public:
  Session(std::string peer, const Settings &settings, World &world);
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Answers one request; the replies are appended to `out`.
  void handle(kx_msg_t *m, Msgs &out);
  void greet(Msgs &out) { enc_version(out); }
  // The live stream of one world tick.
  void tick(Msgs &out);
  std::string dump_json() const;

  const std::string &peer() const { return peer_; }
  bool closing() const { return closing_; }  // refused: close once the replies are out

 private:
  // A request handler; false when the request is malformed.
  using Handler = bool (Session::*)(RequestReader &, Msgs &);
  static const std::map<uint32_t, Handler> &handlers();
  struct Subscription {
    uint32_t show, hide;
    bool Session::*on;
    void (*initial)(Msgs &out, const World &w);
  };
  static const std::vector<Subscription> &subscriptions();

  bool login(RequestReader &r, Msgs &out);
  bool ping(RequestReader &r, Msgs &out);
  bool request_update(RequestReader &r, Msgs &out);
  bool subscribe(RequestReader &r, Msgs &out);  // every show and hide request
  bool fwlog_query(RequestReader &r, Msgs &out);
  bool fwlog_clear(RequestReader &r, Msgs &out);
  bool bgp_dump(RequestReader &r, Msgs &out);
  bool sysdiag_dump(RequestReader &r, Msgs &out);
  bool rule_test(RequestReader &r, Msgs &out);
  bool create_view(RequestReader &r, Msgs &out);
  bool create_view_by_name(RequestReader &r, Msgs &out);
  bool host_show(RequestReader &r, Msgs &out);
  bool host_find(RequestReader &r, Msgs &out);
  bool sc_row_query(RequestReader &r, Msgs &out);
  bool set_debug(RequestReader &r, Msgs &out);
  bool force_stats_write(RequestReader &r, Msgs &out);
  bool inject_packet(RequestReader &r, Msgs &out);
  bool dump_connections(RequestReader &r, Msgs &out);

  // Keeps the decoded request for the state dump; past kMaxRecords only counts it.
  void record(const JsonObject &request);
  void snapshot(Msgs &out);
  void stream_conns(Msgs &out, const Changes &ch);
  void stream_rows_and_hosts(Msgs &out, const Changes &ch);
  void stream_subscriptions(Msgs &out);
  // Creates the view and sends its rows; the error when it cannot be created.
  const char *add_view(View v, Msgs &out);
  void refresh_view(View &v, Msgs &out, bool full);
  // Sends view membership updates for connections whose views changed.
  void update_memberships(Msgs &out);

  const std::string peer_;
  const Settings &settings_;
  World &world_;
  bool closing_ = false;
  std::string user_;
  bool authed_ = false, live_ = false;
  bool channels_ = false, shaping_ = false, fwrules_ = false;
  ViewSet views_;
  static constexpr size_t kMaxRecords = 1000;  // a flood of requests cannot grow the session without bound
  std::vector<std::string> requests_;  // decoded requests, as JSON objects
  uint64_t requests_not_kept_ = 0;
  uint32_t pings_ = 0;
};

}  // namespace sim

#endif
