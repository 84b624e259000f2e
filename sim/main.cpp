// kxd-sim: a simulated appliance daemon for the management protocol. It
// listens on 127.0.0.1 only, serves any number of clients from one poll loop
// and streams a synthetic, seeded network to them.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "replay.h"
#include "server.h"

using namespace sim;

namespace {

volatile sig_atomic_t g_stop = 0, g_dump = 0;
int g_wake[2] = {-1, -1};

void on_signal(int sig) {
  if (sig == SIGUSR1) g_dump = 1;
  else g_stop = 1;
  int saved = errno;
  if (write(g_wake[1], "x", 1) < 0) {
  }
  errno = saved;
}

void usage(FILE *f) {
  fprintf(f,
          "usage: kxd-sim [--port N] [--hosts N] [--conns N] [--seed N] [--interval MS] [--ticks N]\n"
          "               [--user NAME] [--password TEXT] [--dump-state FILE] [--quiet]\n"
          "       kxd-sim --replay FILE [--fast] [--port N] [--quiet]\n"
          "  --port 0 picks a free port; the first line on stdout names it.\n"
          "  --ticks N stops the network changing after N steps (0: never).\n"
          "  --dump-state FILE writes the tables as JSON on SIGUSR1 and at exit.\n"
          "  --replay FILE serves the daemon's side of a recorded session (pcapng) to each\n"
          "    client in turn, at the recorded pace or with --fast as fast as possible.\n");
}

bool parse_number(const char *text, uint64_t max, uint64_t *out) {
  char *end;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 0);
  if (errno || *end || end == text || v > max || text[0] == '-') return false;
  *out = v;
  return true;
}

bool parse_options(int argc, char **argv, Options *o, ReplayOptions *replay) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      exit(0);
    }
    if (a == "--quiet" || a == "-q") {
      o->quiet = true;
      continue;
    }
    if (a == "--fast") {
      replay->fast = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char *v = argv[++i];
    uint64_t n = 0;
    if (a == "--user") o->settings.user = v;
    else if (a == "--password") o->settings.password = v;
    else if (a == "--dump-state") o->dump_file = v;
    else if (a == "--replay") replay->file = v;
    else if (!parse_number(v, a == "--seed" ? UINT64_MAX : 0xffffffffu, &n)) return false;
    else if (a == "--port" && n <= 65535) o->port = (uint16_t)n;
    else if (a == "--hosts" && n >= 10 && n <= 100000) o->hosts = (uint32_t)n;
    else if (a == "--conns" && n <= 1000000) o->conns = (uint32_t)n;
    else if (a == "--seed") o->seed = n;
    else if (a == "--interval" && n >= 10) o->interval_ms = (uint32_t)n;
    else if (a == "--ticks") o->ticks = (uint32_t)n;
    else return false;
  }
  if (!o->conns) o->conns = o->hosts * 2;
  replay->port = o->port;
  return !replay->fast || !replay->file.empty();
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  ReplayOptions replay;
  if (!parse_options(argc, argv, &opt, &replay)) {
    usage(stderr);
    return 2;
  }
  kx_log_print_level = opt.quiet ? KX_LOG_WARNING : KX_LOG_INFO;
  kx_msg_pool_init();
  if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) < 0) {
    perror("pipe");
    return 1;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int rc = 0;
  if (!replay.file.empty()) {
    rc = run_replay(replay, &g_stop, g_wake[0]);
  } else {
    Server server(opt);
    if (!server.listen_on(opt.port)) {
      fprintf(stderr, "kxd-sim: cannot listen on 127.0.0.1:%u: %s\n", opt.port, strerror(errno));
      return 1;
    }
    server.run(&g_stop, &g_dump, g_wake[0]);
    if (!opt.dump_file.empty() && !server.dump(opt.dump_file)) rc = 1;
  }
  kx_msg_pool_deinit();
  KX_LOG(kLogFacility, KX_LOG_INFO, "stopped");
  return rc;
}
