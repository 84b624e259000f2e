// kxd-sim: the simulator's tables as JSON, named and valued the way a client
// decodes them, so that a client's tables can be compared field by field.
#ifndef KXD_SIM_DUMP_H
#define KXD_SIM_DUMP_H

#include <string>

#include "world.h"

namespace sim {

// The members of one JSON object (without the braces).
std::string world_dump_json(const World &w);

}  // namespace sim

#endif
