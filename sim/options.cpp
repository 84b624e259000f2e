// kxd-sim: the command line, parsed with getopt_long from one table.
#include "options.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

std::string num(uint64_t n) { return std::to_string(n); }

}  // namespace

const std::vector<OptionSpec> &option_table() {
  using O = Options;
  static const std::vector<OptionSpec> t = {
      {"help", 'h', nullptr, false, 0, 0, nullptr, nullptr, "show this text and exit"},
      {"version", 0, nullptr, false, 0, 0, nullptr, nullptr, "show the version and exit"},
      {"port", 0, "N", true, 0, 65535, [](O &o, uint64_t n, const char *) { o.port = (uint16_t)n; },
       [](const O &o) { return num(o.port); },
       "port on 127.0.0.1; 0 picks a free one (the first line of output names it)"},
      {"appliances", 0, "N", true, 1, 10000, [](O &o, uint64_t n, const char *) { o.appliances = (uint32_t)n; },
       [](const O &o) { return num(o.appliances); },
       "independent appliances served, on consecutive ports from --port, seeds from --seed on; "
       "in a fleet, an appliance builds its network when its first client connects"},
      {"hosts", 0, "N", true, 10, 100000, [](O &o, uint64_t n, const char *) { o.hosts = (uint32_t)n; },
       [](const O &o) { return num(o.hosts); }, "hosts in the network"},
      {"conns", 0, "N", true, 0, 1000000, [](O &o, uint64_t n, const char *) { o.conns = (uint32_t)n; },
       [](const O &o) { return num(o.conns); }, "connections the network keeps open; 0: twice the hosts"},
      {"seed", 0, "N", true, 0, UINT64_MAX, [](O &o, uint64_t n, const char *) { o.seed = n; },
       [](const O &o) { return num(o.seed); }, "seed of the network: the same seed, the same network"},
      {"interval", 0, "MS", true, 10, 0xffffffffu, [](O &o, uint64_t n, const char *) { o.interval_ms = (uint32_t)n; },
       [](const O &o) { return num(o.interval_ms); },
       "milliseconds between two steps of the network, and the network time a step covers: counters grow by "
       "their rates times it"},
      {"speedup", 0, "N", true, 1, 100000, [](O &o, uint64_t n, const char *) { o.speedup = (uint32_t)n; },
       [](const O &o) { return num(o.speedup); },
       "steps of the network taken each interval: a long run simulated in a short time (network time then "
       "runs N times as fast as the clock)"},
      {"ticks", 0, "N", true, 0, 0xffffffffu, [](O &o, uint64_t n, const char *) { o.ticks = (uint32_t)n; },
       [](const O &o) { return num(o.ticks); }, "steps after which the network stops changing (0: never)"},
      {"user", 0, "NAME", false, 0, 0, [](O &o, uint64_t, const char *s) { o.settings.user = s; },
       [](const O &o) { return o.settings.user; }, "the user name a client logs in with"},
      {"password", 0, "TEXT", false, 0, 0, [](O &o, uint64_t, const char *s) { o.settings.password = s; },
       [](const O &o) { return o.settings.password; }, "the password a client logs in with"},
      {"dump-state", 0, "FILE", false, 0, 0, [](O &o, uint64_t, const char *s) { o.dump_file = s; }, nullptr,
       "write the tables and sessions as JSON to FILE on SIGUSR1 and at exit"},
      {"max-clients", 0, "N", true, 1, 65536, [](O &o, uint64_t n, const char *) { o.max_clients = (uint32_t)n; },
       [](const O &o) { return num(o.max_clients); }, "clients each appliance serves at once; one more is refused"},
      {"max-output", 0, "BYTES", true, 65536, Client::kMaxOutputLimit,
       [](O &o, uint64_t n, const char *) { o.max_output = (uint32_t)n; }, [](const O &o) { return num(o.max_output); },
       "a client's unread replies above which its requests wait (a client that lets "
       "its queue reach 64 MiB is dropped)"},
      {"max-stall", 0, "SECONDS", true, 1, 86400, [](O &o, uint64_t n, const char *) { o.max_stall_s = (uint32_t)n; },
       [](const O &o) { return num(o.max_stall_s); },
       "a client whose unread replies stay above --max-output this long without it reading any is dropped"},
      {"flood", 0, nullptr, false, 0, 0, [](O &o, uint64_t, const char *) { o.flood = true; }, nullptr,
       "step as fast as the clients read what each step sends them, instead of every --interval "
       "(for measuring clients; a step still covers --interval of network time)"},
      {"stagger", 0, nullptr, false, 0, 0, [](O &o, uint64_t, const char *) { o.stagger = true; }, nullptr,
       "in a fleet, appliance i of N steps i/N of --interval after the first, instead of all together"},
      {"quiet", 'q', nullptr, false, 0, 0, [](O &o, uint64_t, const char *) { o.quiet = true; }, nullptr,
       "log warnings only"},
      {"replay", 0, "FILE", false, 0, 0, [](O &o, uint64_t, const char *s) { o.replay_file = s; }, nullptr,
       "serve the daemon's side of a recorded session (a pcapng capture) to each client in turn, "
       "instead of the network"},
      {"fast", 0, nullptr, false, 0, 0, [](O &o, uint64_t, const char *) { o.replay_fast = true; }, nullptr,
       "with --replay: send the recorded frames as fast as possible, not at the recorded pace"},
      {"replay-timeout", 0, "SEC", true, 1, 86400,
       [](O &o, uint64_t n, const char *) { o.replay_timeout_s = (uint32_t)n; },
       [](const O &o) { return num(o.replay_timeout_s); },
       "with --replay: how long to wait for the request the recording has next before dropping the client"},
  };
  return t;
}

namespace {

// `text` in lines of at most `width` columns, the later ones indented to `indent`.
std::string wrapped(const std::string &text, size_t indent, size_t width) {
  std::string out, word;
  size_t col = indent;
  for (size_t i = 0; i <= text.size(); i++) {
    if (i < text.size() && text[i] != ' ') {
      word += text[i];
      continue;
    }
    if (col > indent && col + 1 + word.size() > width) {
      out += "\n" + std::string(indent, ' ');
      col = indent;
    } else if (col > indent) {
      out += ' ';
      col++;
    }
    out += word;
    col += word.size();
    word.clear();
  }
  return out;
}

void usage(FILE *f) {
  fprintf(f, "usage: kxd-sim [OPTION]...\n"
             "A simulated appliance daemon: serves the management protocol on 127.0.0.1 and\n"
             "streams a synthetic, seeded network to its clients.\n\n");
  const Options defaults;
  for (const OptionSpec &s : option_table()) {
    std::string left = s.letter ? std::string("  -") + s.letter + ", --" : "      --";
    left += s.name;
    if (s.arg) left += std::string(" ") + s.arg;
    std::string notes;
    if (s.shown) notes = "default " + s.shown(defaults);
    if (s.number) notes += (notes.empty() ? "" : "; ") + num(s.min) + ".." + num(s.max);
    std::string text = std::string(s.help) + (notes.empty() ? "" : " (" + notes + ")");
    fprintf(f, "%-26s %s\n", left.c_str(), wrapped(text, 27, 79).c_str());
  }
}

// Why `text` is not a value of the option, or null.
const char *bad_number(const OptionSpec &s, const char *text, uint64_t *out) {
  char *end;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 0);
  if (end == text || *end || text[0] == '-' || text[0] == '+' || text[0] == ' ') return "not a whole number";
  if (errno == ERANGE || v < s.min || v > s.max) return "out of range";
  *out = v;
  return nullptr;
}

int complain(const std::string &what) {
  fprintf(stderr, "kxd-sim: %s\nTry 'kxd-sim --help' for the options.\n", what.c_str());
  return 2;
}

// Applies one option; the exit status when the program is done, else -1.
int apply(const OptionSpec &s, const char *arg, Options *o) {
  if (!s.set) {
    if (std::string(s.name) == "help") usage(stdout);
    else printf("kxd-sim %s\n", KX_VERSION);
    return 0;
  }
  uint64_t n = 0;
  const char *why = s.number ? bad_number(s, arg, &n) : nullptr;
  if (why)
    return complain(std::string("--") + s.name + " " + arg + ": " + why + ", " + num(s.min) + ".." + num(s.max));
  s.set(*o, n, arg);
  return -1;
}

}  // namespace

// Why the state file could not be written (it is written beside itself as
// FILE.tmp, then renamed), or "" when it can: probed by creating FILE.tmp.
std::string writable_file(const std::string &file) {
  struct stat st;
  if (stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return strerror(EISDIR);  // the rename would fail
  const std::string tmp = file + ".tmp";
  FILE *f = fopen(tmp.c_str(), "w");
  if (!f) return strerror(errno);
  fclose(f);
  unlink(tmp.c_str());
  return "";
}

int parse_options(int argc, char **argv, Options *o) {
  const std::vector<OptionSpec> &table = option_table();
  std::vector<struct option> longs;
  std::string shorts = ":";  // report a missing argument as ':'
  for (size_t i = 0; i < table.size(); i++) {
    longs.push_back({table[i].name, table[i].arg ? required_argument : no_argument, nullptr, (int)(1000 + i)});
    if (table[i].letter) shorts += table[i].letter;
  }
  longs.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  optind = 1;
  for (;;) {
    int c = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr);
    if (c == -1) break;
    std::string given = optopt > 0 && optopt < 1000 ? std::string("-") + (char)optopt : argv[optind - 1];
    if (c == '?') return complain("unknown option '" + given + "'");
    if (c == ':') return complain(given + " needs an argument");
    size_t i = 0;
    while (i < table.size() && c != (int)(1000 + i) && c != table[i].letter) i++;
    int rc = apply(table[i], optarg, o);
    if (rc >= 0) return rc;
  }
  if (optind < argc) return complain(std::string("unexpected argument '") + argv[optind] + "'");
  if (o->replay_fast && o->replay_file.empty()) return complain("--fast goes with --replay");
  if (o->appliances > 1 && !o->replay_file.empty()) return complain("--appliances goes without --replay");
  if (o->port && o->port + o->appliances - 1 > 65535)
    return complain("--appliances " + num(o->appliances) + ": ports " + num(o->port) + ".." +
                    num(o->port + o->appliances - 1) + " pass 65535");
  if (!o->conns) o->conns = o->hosts * 2;
  if (!o->dump_file.empty()) {
    std::string why = writable_file(o->dump_file);
    if (!why.empty()) {
      fprintf(stderr, "kxd-sim: --dump-state %s: %s\n", o->dump_file.c_str(), why.c_str());
      return 1;
    }
  }
  return -1;
}

}  // namespace sim
