// kxd-sim: the command line.
#ifndef KXD_SIM_OPTIONS_H
#define KXD_SIM_OPTIONS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "server.h"

#ifndef KX_VERSION
#define KX_VERSION "unknown"
#endif

namespace sim {

// One option: its long name (and short letter), its argument, what it sets
// and, for a number, its limits. Adding an option is adding a row to
// option_table().
struct OptionSpec {
  const char *name;
  char letter;       // 0: long name only
  const char *arg;   // the argument's name in --help; null: the option takes none
  bool number;       // the argument is a number in [min, max]
  uint64_t min, max;
  void (*set)(Options &o, uint64_t n, const char *text);
  std::string (*shown)(const Options &o);  // the default in --help; null: none
  const char *help;
};

const std::vector<OptionSpec> &option_table();

// Why the state file cannot be written, or "" when it can.
std::string writable_file(const std::string &file);

// Fills `o` from the command line. Returns -1 to go on, or the exit status
// when the program is done: 0 after --help or --version, 2 after a bad
// option (explained on standard error), 1 when the --dump-state file cannot
// be written.
int parse_options(int argc, char **argv, Options *o);

}  // namespace sim

#endif
