// KXdv17_0 functions of the channels area: subscribing to channel statistics,
// the channel description and the sample messages laid out by it.
#include "kxpy.h"

#include <algorithm>
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
KX_RECORD_TABLE(kMedia, CHANNEL_SAMPLE, "internal_media", "external_negotiated_media_time");

// Each statistic group holds six pairs: four of u64, then two of u32, read
// as their twelve numbers; their keys are the statistic's name followed by
// these suffixes.
KX_RECORD_TABLE(kStatistic, CHANNEL_STATISTIC_VALUES);
constexpr int kPairsPerStatistic = kx::Table<kStatistic_rows>::size / 2;
constexpr uint32_t kStatisticBytes = kx::rows::table_width<kStatistic_rows>();

// The channel info records: a u32 count of statistics (id, name), then a u32
// count of channels; a sample: a u32 count of channel records, each opening
// with the channel id.
KX_RECORD_COUNT(kCount, CHANNEL_STATS_INFO, "statistics");  // and of channels, of samples
KX_RECORD_TABLE(kStatisticInfo, CHANNEL_STATISTIC);
KX_RECORD_TABLE(kChannelInfo, CHANNEL_INFO);
KX_RECORD_TABLE(kChannelId, CHANNEL_SAMPLE, "id", "id");
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

// The statistic keys of the last call, six per statistic name, and the names
// they were made of (held, so that the same object is the same name).
struct StatisticKeys {
  std::vector<Ref> names, keys;
};
// Never destroyed: the references it holds outlive the interpreter.
StatisticKeys *const last_keys = new StatisticKeys;

// channel.copy(), with room for `extra` more items when it is an exact dict.
// Under Python 3 one whose keys are all exact str is copied key by key into
// a dict sized for the sample's items too, so storing them never grows its
// table (no Python code runs while it is copied); any other exact dict as
// PyDict_Copy copies it.
Ref copy_record(PyObject *channel, Py_ssize_t extra) {
  if (!PyDict_CheckExact(channel)) return KX_CALL_METHOD(channel, n_copy);
#if KX_PY3
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(channel, &pos, &k, &v))
    if (!PyUnicode_CheckExact(k)) return kx::check(PyDict_Copy(channel));
  Ref copy = kx::new_dict_room(PyDict_GET_SIZE(channel) + extra);
  pos = 0;
  while (PyDict_Next(channel, &pos, &k, &v)) kx::setitem(copy.get(), k, v);
  return copy;
#else
  (void)extra;
  return kx::check(PyDict_Copy(channel));
#endif
}

}  // namespace

KX_EMPTY_REQUEST(channelsShow, CHANNELS_SHOW);
KX_EMPTY_REQUEST(channelsHide, CHANNELS_HIDE);

// (channel table, statistic list): {int(id): {"active", "name", "type"}} and
// [(id, name)] in the order the samples carry the statistics.
KX_FUNCTION(handleChannelsInfo, "m") {
  Reader r(arg[0]);
  Ref statistics = kx::new_list();
  for (uint64_t n = kx::read_number(r, kCount); n > 0; n--) {
    Ref v[2];
    kx::read_values(r, kStatisticInfo, v);
    kx::list_append(statistics.get(), kx::pair(v[0], v[1]).get());
  }
  Ref table = kx::new_dict();
  for (uint64_t n = kx::read_number(r, kCount); n > 0; n--) {
    Ref v[4];
    kx::read_values(r, kChannelInfo, v);
    const Ref &id = v[0], &type = v[1], &active = v[2], &name = v[3];
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
  PyObject *stats = info[1].get();
  bool list = PyList_CheckExact(stats);
  // Each record takes at least 16 bytes, each statistic group 80: the dicts
  // are sized for what the message can hold, whatever its counts claim.
  uint64_t count = kx::read_number(r, kCount);
  Ref result = kx::new_dict_room(std::min<Py_ssize_t>(static_cast<Py_ssize_t>(count), r.remaining() / 16));
  // A call takes the last call's keys and leaves its own for the next; a
  // call made while this one runs (by a caller's __getitem__ or copy) finds
  // none and makes its own.
  struct Taken {
    StatisticKeys c;
    ~Taken() { *last_keys = std::move(c); }
  } taken{std::move(*last_keys)};
  std::vector<Ref> &names = taken.c.names, &keys = taken.c.keys;
  for (; count > 0; count--) {
    Ref key = kx::read_value(r, kChannelId);
    Ref channel = kx::getitem(table, key.get());
    Py_ssize_t groups = list ? PyList_GET_SIZE(stats) : static_cast<Py_ssize_t>(names.size());
    groups = std::min<Py_ssize_t>(groups, r.remaining() / kStatisticBytes);
    Ref sample = copy_record(channel.get(), static_cast<Py_ssize_t>(kMedia.size) + groups * kPairsPerStatistic);
    kx::setitem(result.get(), key.get(), sample.get());
    PyObject *s = sample.get();
    kx::read_items(r, s, kMedia);
    // Every record walks the statistic list afresh, as the caller may hand
    // any iterable. A key is made right after its pair is read, and reused
    // by later records and calls while the statistic's name is the same str
    // object.
    // An exact list is walked by index as its iterator walks it (the size
    // read again at every step).
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
      // A whole group is read with one length check; a short one fails at
      // the field that is cut.
      uint64_t n[2 * kPairsPerStatistic];
      kx::read_numbers(r, kStatistic, n);
      for (int i = 0; i < kPairsPerStatistic; i++) {
        Ref value = kx::long_pair(n[2 * i], n[2 * i + 1]);
        if (!cached) keys.push_back(statistic_key(Ref::borrowed(name), i));
        kx::setitem(s, keys[g * kPairsPerStatistic + i].get(), value.get());
      }
      if (!cached) names.push_back(Ref::borrowed(name));
    }
  }
  return result;
}

const kx::Method kx_methods_channels[] = {
    KX_METHOD(channelsShow, 9),
    KX_METHOD(channelsHide, 10),
    KX_METHOD(handleChannelsInfo, 11),
    KX_METHOD(handleChannelsData, 12),
    KX_METHODS_END,
};
