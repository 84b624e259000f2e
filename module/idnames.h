// The (id, name) records of the firewall rule and shaping object name lists.
#ifndef KX_MODULE_IDNAMES_H
#define KX_MODULE_IDNAMES_H

#include "kxpy.h"

namespace kx {

// A header word whose top bit is a flag, then (u32 id, string(256) name)
// pairs up to the end of the message, each handed to store(table, id, name);
// 1 to 3 bytes left where an id would start are ignored. Gives
// (table, True or False).
Ref read_id_names(Reader &r, void (*store)(PyObject *table, const Ref &id, const Ref &name),
                  Site at = Site());

}  // namespace kx

#endif
