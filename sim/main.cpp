// kxd-sim: a simulated appliance daemon for the management protocol. It
// listens on 127.0.0.1 only, serves its clients from one poll loop and
// streams a synthetic, seeded network to them.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "options.h"
#include "replay.h"
#include "server.h"

using namespace sim;

namespace {

volatile sig_atomic_t g_stop = 0, g_dump = 0;
int g_wake[2] = {-1, -1};

// Free ring buffer chunks kept for later clients; the rest go back to the system.
constexpr uint32_t kCachedChunks = 4;

void on_signal(int sig) {
  if (sig == SIGUSR1) g_dump = 1;
  else g_stop = 1;
  int saved = errno;
  if (write(g_wake[1], "x", 1) < 0) {
  }
  errno = saved;
}

// Ring buffer chunks are mapped and unmapped one at a time instead of being
// carved from the heap, and the chunk cache keeps only a few, so the memory a
// flood of clients took goes back to the system when they leave.
void setup_memory() {
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  kx_ringbuf_cache_init(kCachedChunks);
  kx_msg_pool_init();
}

// Raises the soft descriptor limit (as far as the hard one allows) so that
// --max-clients clients, or a client per appliance of a larger fleet, can
// connect beside the listening sockets.
void raise_fd_limit(uint32_t appliances, uint32_t max_clients) {
  struct rlimit rl;
  const uint32_t clients = appliances > max_clients ? appliances : max_clients;
  const rlim_t want = (rlim_t)appliances + clients + 32;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= want) return;
  rl.rlim_cur = rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want ? rl.rlim_max : want;
  if (setrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur < want)
    log_line(KX_LOG_WARNING, "%lu descriptors allowed: fewer than %u clients can connect",
             (unsigned long)rl.rlim_cur, clients);
}

bool setup_signals() {
  if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) < 0) {
    perror("kxd-sim: pipe");
    return false;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

int serve(const Options &opt) {
  std::vector<std::unique_ptr<Server>> servers;
  if (!listen_all(opt, servers)) {
    if (opt.appliances == 1)
      fprintf(stderr, "kxd-sim: cannot listen on 127.0.0.1:%u: %s\n", opt.port, strerror(errno));
    else
      fprintf(stderr, "kxd-sim: cannot listen on 127.0.0.1:%u..%u: %s\n", opt.port, opt.port + opt.appliances - 1,
              strerror(errno));
    return 1;
  }
  run_servers(opt, servers, &g_stop, &g_dump, g_wake[0]);
  if (!opt.dump_file.empty() && !dump_servers(opt, servers)) return 1;
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  int rc = parse_options(argc, argv, &opt);
  if (rc >= 0) return rc;
  kx_log_print_level = opt.quiet ? KX_LOG_WARNING : KX_LOG_INFO;
  setup_memory();
  raise_fd_limit(opt.appliances, opt.max_clients);
  if (!setup_signals()) return 1;
  rc = opt.replay_file.empty() ? serve(opt) : run_replay(opt, &g_stop, g_wake[0]);
  kx_msg_pool_deinit();
  log_line(KX_LOG_INFO, "stopped");
  return rc;
}
