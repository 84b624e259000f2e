// kxd-sim: the requests of one client and its share of the live stream.
#include "session.h"

#include <stdio.h>

#include <algorithm>
#include <set>

namespace sim {

Session::Session(std::string peer, const Settings &settings, World &world)
    : peer_(std::move(peer)), settings_(settings), world_(world), views_(world) {}

const std::map<uint32_t, Session::Handler> &Session::handlers() {
  static const std::map<uint32_t, Handler> t = {
      {CLI_AUTH, &Session::login},
      {CLI_PING, &Session::ping},
      {CLI_REQUEST_UPDATE, &Session::request_update},
      {CLI_CHANNELS_SHOW, &Session::subscribe},
      {CLI_CHANNELS_HIDE, &Session::subscribe},
      {CLI_SHAPING_SHOW, &Session::subscribe},
      {CLI_SHAPING_HIDE, &Session::subscribe},
      {CLI_FWRULES_SHOW, &Session::subscribe},
      {CLI_FWRULES_HIDE, &Session::subscribe},
      {CLI_FWLOG_QUERY, &Session::fwlog_query},
      {CLI_FWLOG_CLEAR, &Session::fwlog_clear},
      {CLI_BGP_DUMP, &Session::bgp_dump},
      {CLI_SYSDIAG_DUMP, &Session::sysdiag_dump},
      {CLI_VCRC_TEST, &Session::rule_test},
      {CLI_CREATE_VIEW, &Session::create_view},
      {CLI_CREATE_VIEW_BY_NAME, &Session::create_view_by_name},
      {CLI_HOSTVIEW_SHOW, &Session::host_show},
      {CLI_HOST_FIND, &Session::host_find},
      {CLI_SC_ROW_QUERY, &Session::sc_row_query},
      {CLI_SET_DEBUG, &Session::set_debug},
      {CLI_FORCE_STATS_WRITE, &Session::force_stats_write},
      {CLI_INJECT_PACKET, &Session::inject_packet},
      {CLI_DUMP_CONNECTIONS, &Session::dump_connections},
  };
  return t;
}

void Session::handle(kx_msg_t *m, Msgs &out) {
  if (closing_) return;
  if (!authed_ && m->type != CLI_AUTH && m->type != CLI_PING) {
    log_line(KX_LOG_NOTICE, "%s: request 0x%x before login refused", peer_.c_str(), m->type);
    enc_eperm(out, m->type);
    return;
  }
  char text[64];
  auto h = handlers().find(m->type);
  if (h == handlers().end()) {
    log_line(KX_LOG_NOTICE, "%s: unknown request 0x%x", peer_.c_str(), m->type);
    snprintf(text, sizeof text, "request 0x%x not available", m->type);
    enc_not_avail(out, text);
    return;
  }
  RequestReader r(m);
  if ((this->*h->second)(r, out)) return;
  log_line(KX_LOG_NOTICE, "%s: malformed request 0x%x", peer_.c_str(), m->type);
  snprintf(text, sizeof text, "malformed request 0x%x", m->type);
  enc_not_avail(out, text);
}

void Session::record(const JsonObject &request) {
  if (requests_.size() < kMaxRecords) requests_.push_back(request.str());
  else requests_not_kept_++;
}

// ---- session control and subscriptions ------------------------------------------

// A refused login is answered and the connection closed; it is not malformed.
bool Session::login(RequestReader &r, Msgs &out) {
  JsonObject rec = request_record(CLI_AUTH);  // not kept: it holds the password
  PlainFields f(r, kRequest_AUTH, &rec);
  const std::string &user = f.text("user");
  if (!r.ok() || user != settings_.user || f.text("password") != settings_.password) {
    log_line(KX_LOG_NOTICE, "%s: login of '%s' refused", peer_.c_str(), user.c_str());
    enc_eperm(out, CLI_AUTH);
    closing_ = true;
    return true;
  }
  log_line(KX_LOG_INFO, "%s: '%s' logged in", peer_.c_str(), user.c_str());
  user_ = user;
  authed_ = true;
  enc_login(out);
  return true;
}

bool Session::ping(RequestReader &, Msgs &out) {
  pings_++;
  out.push_back(new_msg(SRV_PONG));
  return true;
}

bool Session::request_update(RequestReader &, Msgs &out) {
  record(request_record(CLI_REQUEST_UPDATE));
  if (!live_) snapshot(out);
  return true;
}

// The three live subscriptions: each request shows or hides one.
const std::vector<Session::Subscription> &Session::subscriptions() {
  static const std::vector<Subscription> t = {
      {CLI_CHANNELS_SHOW, CLI_CHANNELS_HIDE, &Session::channels_,
       [](Msgs &out, const World &w) {
         enc_channels_info(out, w);
         enc_channels_data(out, w);
       }},
      {CLI_SHAPING_SHOW, CLI_SHAPING_HIDE, &Session::shaping_,
       enc_shaping_objects},
      {CLI_FWRULES_SHOW, CLI_FWRULES_HIDE, &Session::fwrules_,
       [](Msgs &out, const World &w) {
         enc_fw_init(out, w);
         enc_fw_data(out, w);
       }},
  };
  return t;
}

// A show sends the current state at once; the ticks send the changes.
bool Session::subscribe(RequestReader &r, Msgs &out) {
  for (const Subscription &s : subscriptions()) {
    if (r.type() == s.show) {
      record(request_record(s.show));
      this->*s.on = true;
      s.initial(out, world_);
    } else if (r.type() == s.hide) {
      record(request_record(s.hide));
      this->*s.on = false;
    }
  }
  return true;
}

// ---- queries ------------------------------------------------------------------------

bool Session::fwlog_query(RequestReader &r, Msgs &out) {
  FwLogQuery q;
  JsonObject rec = request_record(CLI_FWLOG_QUERY);
  decode_fwlog_query(r, &q, &rec);
  if (!r.ok()) return false;
  record(rec);
  enc_fwlog(out, fwlog_select(world_.fwlog, q));
  if (q.clear) world_.fwlog_clear();
  return true;
}

bool Session::fwlog_clear(RequestReader &, Msgs &) {
  record(request_record(CLI_FWLOG_CLEAR));
  log_line(KX_LOG_INFO, "%s: firewall log cleared", peer_.c_str());
  world_.fwlog_clear();
  return true;
}

bool Session::bgp_dump(RequestReader &, Msgs &out) {
  record(request_record(CLI_BGP_DUMP));
  enc_bgp(out);
  return true;
}

bool Session::sysdiag_dump(RequestReader &, Msgs &out) {
  record(request_record(CLI_SYSDIAG_DUMP));
  enc_sysdiag(out, world_);
  return true;
}

bool Session::rule_test(RequestReader &r, Msgs &out) {
  RuleTest t;
  JsonObject rec = request_record(CLI_VCRC_TEST);
  decode_rule_test(r, &t, &rec);
  if (!r.ok()) return false;
  enc_rule_test_result(out, sim::rule_test(world_, t));
  record(rec);
  return true;
}

bool Session::host_show(RequestReader &r, Msgs &out) {
  JsonObject rec = request_record(CLI_HOSTVIEW_SHOW);
  uint32_t id = (uint32_t)PlainFields(r, kRequest_HOSTVIEW_SHOW, &rec).num("hostid");
  if (!r.ok()) return false;
  record(rec);
  auto it = world_.hosts.find(id);
  if (it == world_.hosts.end()) {
    enc_not_avail(out, "no host " + json_num(id));
  } else {
    Batch b(SRV_HOST_UPDATE, &out);
    enc_host_update(b, it->second, HOST_ADD_GROUPS | HOST_NETOBJECTS);
  }
  return true;
}

// Finds an IPv4 host by address; an IPv6 address is malformed here.
bool Session::host_find(RequestReader &r, Msgs &out) {
  JsonObject rec = request_record(CLI_HOST_FIND);
  uint32_t ip = (uint32_t)PlainFields(r, kRequest_HOST_FIND, &rec).num("hostip");
  if (!r.ok()) return false;
  record(rec);
  const Host *found = nullptr;
  for (const auto &kv : world_.hosts) {
    if (!kv.second.addr.v6 && kv.second.addr.w[0] == ip) {
      found = &kv.second;
      break;
    }
  }
  enc_host_find_reply(out, found);
  return true;
}

bool Session::sc_row_query(RequestReader &r, Msgs &out) {
  JsonObject rec = request_record(CLI_SC_ROW_QUERY);
  uint64_t row = PlainFields(r, kRequest_SC_ROW_QUERY, &rec).num("rowid");
  if (!r.ok()) return false;
  record(rec);
  auto it = world_.rows.find(row);
  if (it != world_.rows.end()) enc_sc_add(out, row, it->second);
  else enc_sc_remove(out, {row});
  return true;
}

// ---- maintenance ------------------------------------------------------------------

// "<digit>" sets the facility's threshold; anything else is only logged.
bool Session::set_debug(RequestReader &r, Msgs &) {
  JsonObject rec = request_record(CLI_SET_DEBUG);
  PlainFields f(r, kRequest_SET_DEBUG, &rec);
  uint32_t facility = (uint32_t)f.num("facility");
  const std::string &arg = f.text("argument");
  if (!r.ok()) return false;
  record(rec);
  if (facility < KX_LOG_NUM_FACILITIES && arg.size() == 1 && arg[0] >= '0' && arg[0] <= '8')
    kx_log_levels[facility] = (uint32_t)(arg[0] - '0');
  log_line(KX_LOG_INFO, "%s: debug setting %u = '%s'", peer_.c_str(), facility, arg.c_str());
  return true;
}

bool Session::force_stats_write(RequestReader &, Msgs &) {
  record(request_record(CLI_FORCE_STATS_WRITE));
  log_line(KX_LOG_INFO, "%s: statistics written", peer_.c_str());
  return true;
}

bool Session::inject_packet(RequestReader &r, Msgs &) {
  JsonObject rec = request_record(CLI_INJECT_PACKET);
  PlainFields f(r, kRequest_INJECT_PACKET, &rec);
  if (!r.ok()) return false;
  record(rec);
  log_line(KX_LOG_INFO, "%s: %zu-byte packet injected on %s", peer_.c_str(), f.text("data").size(),
           f.text("iface").c_str());
  return true;
}

bool Session::dump_connections(RequestReader &r, Msgs &) {
  JsonObject rec = request_record(CLI_DUMP_CONNECTIONS);
  PlainFields f(r, kRequest_DUMP_CONNECTIONS, &rec);
  if (!r.ok()) return false;
  record(rec);
  log_line(KX_LOG_INFO, "%s: dump of %zu connections to '%s' requested", peer_.c_str(),
         world_.conns.size(), f.text("filename").c_str());
  return true;
}

// ---- views ------------------------------------------------------------------------

bool Session::create_view(RequestReader &r, Msgs &out) {
  View v;
  JsonObject rec = request_record(CLI_CREATE_VIEW);
  const char *error = decode_view(r, &v, &rec);
  record(rec);
  if (!error && v.fields.empty()) error = "a view needs a field";
  const uint16_t id = v.id;
  if (!error) error = add_view(std::move(v), out);
  if (error) enc_view_add_error(out, id, error);
  return true;
}

bool Session::create_view_by_name(RequestReader &r, Msgs &out) {
  View v;
  JsonObject rec = request_record(CLI_CREATE_VIEW_BY_NAME);
  PlainFields f(r, kRequest_CREATE_VIEW_BY_NAME, &rec);
  v.id = (uint16_t)f.num("viewid");
  const std::string &name = f.text("name");
  if (!r.ok()) return false;
  record(rec);
  const uint16_t id = v.id;
  const NamedView *named = named_view(name);
  const char *error = "unknown view name";
  if (named) {
    v.name = name;
    v.fields.push_back({named->field, named->arg});
    error = add_view(std::move(v), out);
  }
  if (error) enc_view_add_error(out, id, error);
  return true;
}

const char *Session::add_view(View v, Msgs &out) {
  if (views_.has(v.id)) return "view id in use";
  log_line(KX_LOG_INFO, "%s: view %u created", peer_.c_str(), v.id);
  refresh_view(views_.add(std::move(v)), out, true);
  if (live_) update_memberships(out);
  return nullptr;
}

void Session::refresh_view(View &v, Msgs &out, bool full) {
  enc_view_update(out, v.id, v.fields[0].first, views_.refresh(v, full), full);
}

void Session::update_memberships(Msgs &out) {
  Batch b(SRV_CONN_UPDATE, &out);
  for (const auto &kv : world_.conns) {
    std::vector<uint16_t> v = views_.views_of(kv.second);
    if (views_.update_membership(kv.first, v)) enc_conn(b, kv.second, 0, &v);
  }
}

// ---- the live stream ----------------------------------------------------------------

namespace {

// Every third connection announces its creation with the second create bit.
uint32_t creation_flags(uint32_t id) { return CONN_NEW | (id % 3 == 0 ? (uint32_t)CONN_CREATE_TOO : 0u); }

}  // namespace

void Session::snapshot(Msgs &out) {
  enc_strtables(out);
  {
    Batch b(SRV_HOST_ADD, &out);
    for (const auto &kv : world_.hosts) enc_host_add(b, kv.second);
  }
  enc_schemata(out);
  for (const auto &kv : world_.rows) enc_sc_add(out, kv.first, kv.second);
  {
    Batch b(SRV_CONN_UPDATE, &out);
    for (const auto &kv : world_.conns) {
      std::vector<uint16_t> v = views_.views_of(kv.second);
      views_.set_membership(kv.first, v);
      enc_conn(b, kv.second, creation_flags(kv.first), &v);
    }
  }
  out.push_back(new_msg(SRV_UPDATE_DONE));
  live_ = true;
}

void Session::tick(Msgs &out) {
  if (live_) {
    const Changes &ch = world_.last();
    for (uint64_t r : ch.new_rows) {
      auto it = world_.rows.find(r);
      if (it != world_.rows.end()) enc_sc_add(out, r, it->second);
    }
    {
      Batch b(SRV_HOST_ADD, &out);
      for (uint32_t id : ch.new_hosts) {
        auto it = world_.hosts.find(id);
        if (it != world_.hosts.end()) enc_host_add(b, it->second);
      }
    }
    stream_conns(out, ch);
    stream_rows_and_hosts(out, ch);
  }
  for (auto &kv : views_.views()) refresh_view(kv.second, out, false);
  stream_subscriptions(out);
}

// New, changed and closed connections, in one batch.
void Session::stream_conns(Msgs &out, const Changes &ch) {
  Batch b(SRV_CONN_UPDATE, &out);
  std::set<uint32_t> created;
  for (uint32_t id : ch.new_conns) {
    created.insert(id);
    auto it = world_.conns.find(id);
    if (it == world_.conns.end()) {  // opened and closed within the tick: one record does both
      const Conn &c = ch.removed_conn_records.at(id);
      std::vector<uint16_t> v = views_.views_of(c);
      enc_conn(b, c, CONN_NEW | CONN_REMOVE, &v);
      continue;
    }
    std::vector<uint16_t> v = views_.views_of(it->second);
    views_.set_membership(id, v);
    enc_conn(b, it->second, creation_flags(id), &v);
  }
  for (const auto &kv : ch.conn_updates) {
    const Conn &c = world_.conns.at(kv.first);
    std::vector<uint16_t> v = views_.views_of(c);
    bool moved = views_.update_membership(kv.first, v);
    enc_conn(b, c, kv.second, moved ? &v : nullptr);
  }
  for (uint32_t id : ch.removed_conns) {
    if (created.count(id)) continue;
    views_.forget(id);
    enc_conn(b, ch.removed_conn_records.at(id), CONN_REMOVE, nullptr);
  }
}

// Closed session-context rows, host updates and removed hosts.
void Session::stream_rows_and_hosts(Msgs &out, const Changes &ch) {
  std::vector<uint64_t> gone;
  for (uint64_t r : ch.removed_rows)
    if (std::find(ch.new_rows.begin(), ch.new_rows.end(), r) == ch.new_rows.end()) gone.push_back(r);
  enc_sc_remove(out, gone);
  {
    Batch b(SRV_HOST_UPDATE, &out);
    for (const auto &kv : ch.host_updates) {
      auto it = world_.hosts.find(kv.first);
      if (it != world_.hosts.end()) enc_host_update(b, it->second, kv.second);
    }
  }
  for (uint32_t id : ch.removed_hosts) enc_host_remove(out, id);
}

void Session::stream_subscriptions(Msgs &out) {
  if (channels_) enc_channels_data(out, world_);
  if (shaping_)
    for (const ShapingObject &o : world_.shaping) enc_shaping_counters(out, o);
  if (fwrules_) enc_fw_data(out, world_);
}

// ---- state dump ---------------------------------------------------------------------

std::string Session::dump_json() const {
  JsonObject subscriptions;
  subscriptions.add("channels", json_bool(channels_)).add("shaping", json_bool(shaping_));
  subscriptions.add("fwrules", json_bool(fwrules_));
  return JsonObject()
      .add("peer", json_str(peer_))
      .add("user", json_str(user_))
      .add("authenticated", json_bool(authed_))
      .add("live", json_bool(live_))
      .add("pings", json_num(pings_))
      .add("subscriptions", subscriptions.str())
      .add("views", views_.views_json())
      .add("conn_views", views_.membership_json())
      .add("requests", json_list(requests_, [](const std::string &s) { return s; }))
      .add("requests_not_kept", json_num(requests_not_kept_))
      .str();
}

}  // namespace sim
