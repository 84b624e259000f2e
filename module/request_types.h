// The message types of the requests KXdv17_0 builds. Internal: the module
// binds no constants for them (the host queries take theirs from the client
// library at call time).
#ifndef KX_MODULE_REQUEST_TYPES_H
#define KX_MODULE_REQUEST_TYPES_H

#include <stdint.h>

namespace kx {
namespace request {

enum : uint32_t {
  kAuth = 131073,
  kUpdate = 131074,
  kShapingObjectsShow = 131922,
  kShapingObjectsHide = 131923,
  kFwRulesShow = 131972,
  kFwRulesHide = 131973,
  kFwLogQuery = 132072,
  kFwLogClear = 132073,
  kChannelsShow = 132272,
  kChannelsHide = 132273,
  kPing = 132392,
  kDumpConnections = 132472,
  kBgpDump = 132572,
  kSetDebug = 132822,
  kStatisticsWrite = 137472,
  kCreateView = 139264,
  kCreateViewByName = 139266,
  kSessionContextRowQuery = 139776,
  kSysDiagDump = 67136,
  kInjectPacket = 67236,
  kRuleTest = 67336,
};

}  // namespace request
}  // namespace kx

#endif
