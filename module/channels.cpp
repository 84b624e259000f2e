// KXdv17_0 functions of the channels area: subscribing to channel statistics,
// the channel description and the sample messages laid out by it.
#include "kxpy.h"

#include <vector>

using kx::Reader;
using kx::Ref;
using kx::Request;

namespace {

KX_NAME(bool);
KX_NAME(copy);
KX_NAME(active);
KX_NAME(name);
KX_NAME(type);

using kx::Kind;

// The media block that opens each channel's record in a sample.
constexpr kx::Field kMedia_rows[] = {
    {"internal_media", Kind::u8, 0},
    {"external_media", Kind::u8, 0},
    {"internal_negotiated_media", Kind::u8, 0},
    {"external_negotiated_media", Kind::u8, 0},
    {"internal_negotiated_media_time", Kind::u32, 0},
    {"external_negotiated_media_time", Kind::u32, 0},
};
const kx::Table<kMedia_rows> kMedia;

// Each statistic group holds six pairs; their keys are the statistic's name
// followed by these suffixes.
constexpr int kPairsPerStatistic = 6;
// Four pairs of u64, then two of u32.
constexpr uint32_t kStatisticBytes = 4 * 16 + 2 * 8;
kx::Name n_rate("(rate)");
kx::Name n_rate_min("(rate min)");
kx::Name n_rate_max("(rate max)");
kx::Name n_rate_min_last("(rate min last)");
kx::Name n_rate_max_last("(rate max last)");
const kx::Name *const kSuffixes[kPairsPerStatistic - 1] = {&n_rate, &n_rate_min, &n_rate_max,
                                                           &n_rate_min_last, &n_rate_max_last};

// The key of row `row` (0..5) of a statistic group: the name, or the name
// followed by the row's suffix.
Ref statistic_key(const Ref &name, int row, kx::Site at = kx::Site()) {
  if (row == 0) return name;
  return kx::check(PyNumber_Add(name.get(), *kSuffixes[row - 1]), at);
}

}  // namespace

KX_EMPTY_REQUEST(channelsShow, CHANNELS_SHOW);
KX_EMPTY_REQUEST(channelsHide, CHANNELS_HIDE);

// (channel table, statistic list): {int(id): {"active", "name", "type"}} and
// [(id, name)] in the order the samples carry the statistics.
KX_FUNCTION(handleChannelsInfo, "m") {
  Reader r(arg[0]);
  Ref statistics = kx::new_list();
  for (uint32_t n = r.u32(); n > 0; n--) {
    Ref id = r.long32();
    Ref name = r.string(255);
    kx::list_append(statistics.get(), kx::pair(id, name).get());
  }
  Ref table = kx::new_dict();
  for (uint32_t n = r.u32(); n > 0; n--) {
    Ref id = r.long32();
    Ref type = r.int8();
    Ref active = r.int8();
    Ref name = r.string(255);
    // int(id) is called afresh for every key and the record fetched again
    // each time: a rebound int is called once per key, not once per record.
    Ref record = kx::new_dict();
    kx::setitem(table.get(), kx::builtin_int(id).get(), record.get());
    Ref flag = KX_CALL(kx::builtin(n_bool).get(), active);
    kx::setitem(kx::getitem(table.get(), kx::builtin_int(id).get()).get(), n_active, flag.get());
    kx::setitem(kx::getitem(table.get(), kx::builtin_int(id).get()).get(), n_name, name.get());
    kx::setitem(kx::getitem(table.get(), kx::builtin_int(id).get()).get(), n_type, type.get());
  }
  return kx::pair(table, statistics);
}

// {int(id): copy of the channel record with the media settings and every
// statistic's six pairs}.
KX_FUNCTION(handleChannelsData, "m", "info") {
  Reader r(arg[0]);
  Ref info[2];
  kx::unpack(arg[1], info, 2);
  PyObject *table = info[0].get();
  Ref result = kx::new_dict();
  std::vector<Ref> names, keys;  // keys: six per name
  for (uint32_t n = r.u32(); n > 0; n--) {
    Ref key = kx::builtin_int(r.u32());
    Ref channel = kx::getitem(table, key.get());
    Ref sample = PyDict_CheckExact(channel.get())
                     ? kx::check(PyDict_Copy(channel.get()))
                     : KX_CALL_METHOD(channel.get(), n_copy);
    kx::setitem(result.get(), key.get(), sample.get());
    PyObject *s = sample.get();
    kx::read_items(r, s, kMedia);
    // Every record walks the statistic list afresh, as the caller may hand
    // any iterable. A key is made right after its pair is read, and reused
    // by later records while the statistic's name is the same str object.
    // An exact list is walked by index as its iterator walks it (the size
    // read again at every step).
    PyObject *stats = info[1].get();
    bool list = PyList_CheckExact(stats);
    Ref it = list ? Ref() : kx::check(PyObject_GetIter(stats));
    for (size_t g = 0;; g++) {
      Ref item;
      if (list) {
        if (static_cast<Py_ssize_t>(g) >= PyList_GET_SIZE(stats)) break;
        item = Ref::borrowed(PyList_GET_ITEM(stats, g));
      } else {
        item = Ref(PyIter_Next(it.get()));
        if (!item) {
          if (PyErr_Occurred()) kx::fail();
          break;
        }
      }
      // An exact pair holds its name for as long as the item lives.
      Ref e[2];
      PyObject *name;
      if (PyTuple_CheckExact(item.get()) && PyTuple_GET_SIZE(item.get()) == 2) {
        name = PyTuple_GET_ITEM(item.get(), 1);
      } else {
        kx::unpack(item.get(), e, 2);
        name = e[1].get();
      }
      bool cached = g < names.size() && names[g].get() == name && kx::is_str_exact(name);
      if (!cached) {
        names.resize(g);
        keys.resize(g * kPairsPerStatistic);
      }
      // A whole group is read from its bytes; a short one field by field,
      // failing at the field that is cut.
      const uint8_t *q = r.try_take(kStatisticBytes);
      for (int i = 0; i < kPairsPerStatistic; i++) {
        uint64_t a, b;
        if (!q) {
          a = i < 4 ? r.u64() : r.u32();
          b = i < 4 ? r.u64() : r.u32();
        } else if (i < 4) {
          a = Reader::load<uint64_t>(q);
          b = Reader::load<uint64_t>(q + 8);
          q += 16;
        } else {
          a = Reader::load<uint32_t>(q);
          b = Reader::load<uint32_t>(q + 4);
          q += 8;
        }
        Ref value = kx::long_pair(a, b);
        if (!cached) keys.push_back(statistic_key(Ref::borrowed(name), i));
        kx::setitem(s, keys[g * kPairsPerStatistic + i].get(), value.get());
      }
      if (!cached) names.push_back(Ref::borrowed(name));
    }
  }
  return result;
}

PyMethodDef kx_methods_channels[] = {
    KX_METHOD(channelsShow),
    KX_METHOD(channelsHide),
    KX_METHOD(handleChannelsInfo),
    KX_METHOD(handleChannelsData),
    KX_METHODS_END,
};
