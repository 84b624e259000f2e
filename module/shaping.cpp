// KXdv17_0 shaping area: the shaping object subscription, shaping object
// updates applied to the caller's table, and the shaping rule list.
#include "idnames.h"

using kx::Reader;
using kx::Ref;
using kx::Request;

namespace {

KX_NAME(dict);
KX_NAME(name);

using kx::Kind;

// A counter update, in wire order; each value is stored before the next is
// read. The marks rates are not on the wire and always read as 0; the bps
// counters are bytes per second on the wire and bits per second here.
constexpr kx::Field kCounters_rows[] = {
#define KX_SHAPING_COUNTER(id, key, kind) {key, Kind::kind, 0},
#include "../protocol/kx_protocol.def"
#define KX_SHAPING_DIR_COUNTER(id, key, kind) {"in " key, Kind::kind, 0},
#define KX_SHAPING_DIR_ABSENT(id, key) {"in " key, Kind::zero, 0},
#include "../protocol/kx_protocol.def"
#define KX_SHAPING_DIR_COUNTER(id, key, kind) {"out " key, Kind::kind, 0},
#define KX_SHAPING_DIR_ABSENT(id, key) {"out " key, Kind::zero, 0},
#include "../protocol/kx_protocol.def"
};
const kx::Table<kCounters_rows> kCounters;

KX_RECORD_TABLE(kObjectId, SHAPING_OBJECT, "id", "id");
KX_RECORD_TABLE(kKind, SHAPING_OBJECT, "update.ignored_u32", "kind");
KX_RECORD_TABLE(kName512, SHAPING_NAME);

void store_name(PyObject *table, const Ref &id, const Ref &name) {
  kx::setitem(table, id.get(), name.get());
}

}  // namespace

KX_EMPTY_REQUEST(shapingobjectShow, SHAPING_SHOW);
KX_EMPTY_REQUEST(shapingobjectHide, SHAPING_HIDE);

// Object id, an ignored word and the update kind; then the name
// (SHAPING_UPDATE_NAME) or the counter set (SHAPING_UPDATE_COUNTERS). The
// record is created at the first sight of an id and updated in place; other
// kinds only create it.
KX_FUNCTION(shapingobjectUpdateHandle, "m", "d") {
  Reader r(arg[0]);
  PyObject *table = arg[1];
  Ref id = kx::read_value(r, kObjectId);
  Ref key = kx::builtin_int(id.get());
  int present = PySequence_Contains(table, key.get());
  kx::check_rc(present);
  if (!present) {
    Ref fresh = KX_CALL(kx::builtin(n_dict).get());
    kx::setitem(table, key.get(), fresh.get());
  }
  Ref record = kx::getitem(table, key.get());
  const uint64_t kind = kx::read_number(r, kKind);
  if (kind == kxp::SHAPING_UPDATE_NAME) {
    Ref name = kx::read_value(r, kName512);
    kx::setitem(record.get(), n_name, name.get());
  } else if (kind == kxp::SHAPING_UPDATE_COUNTERS) {
    kx::read_items(r, record.get(), kCounters);
  }
  return kx::py_none();
}

// A flag word (top bit), then rule id and name pairs up to the end of the
// message; 1 to 3 bytes left where an id would start are ignored.
KX_FUNCTION(handleShapingRulesInit, "m") {
  Reader r(arg[0]);
  return kx::read_id_names(r, store_name);
}

const kx::Method kx_methods_shaping[] = {
    KX_METHOD(shapingobjectShow, 28),
    KX_METHOD(shapingobjectHide, 29),
    KX_METHOD(shapingobjectUpdateHandle, 30),
    KX_METHOD(handleShapingRulesInit, 34),
    KX_METHODS_END,
};
