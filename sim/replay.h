// kxd-sim --replay: serves the daemon's side of a recorded session (a pcapng
// capture written by kxtap or the client library's record= option).
#ifndef KXD_SIM_REPLAY_H
#define KXD_SIM_REPLAY_H

#include <signal.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "server.h"

namespace sim {

// One recorded frame: the bytes as they went over the stream, the time they
// were read and their direction.
struct Recorded {
  enum Direction { kUnknown = 0, kInbound = 1, kOutbound = 2 };  // inbound: daemon to client
  uint64_t usec = 0;
  int direction = kUnknown;
  std::string data;
  bool whole() const;    // a complete frame: header, then as many bytes as it says
  uint32_t type() const; // the frame header's type (0 when shorter than a header)
};

// Reads the packets of a pcapng file (either byte order, any timestamp
// resolution). Returns false with *error set when the file is not one. A
// file cut short inside a block gives the packets before the cut, with *cut
// saying where the capture ends ("" for a whole file).
bool read_capture(const std::string &file, std::vector<Recorded> *out, std::string *error, std::string *cut);

// Listens on 127.0.0.1 at o.port (the first line on stdout names it) and
// replays o.replay_file to each client that connects, one after the other, at
// the recorded pace or with o.replay_fast at once, until *stop is set
// (wake_fd is polled too). A client that does not send the request the
// recording waits for within o.replay_timeout_s is dropped. Returns the
// process exit status.
int run_replay(const Options &o, volatile sig_atomic_t *stop, int wake_fd);

}  // namespace sim

#endif
