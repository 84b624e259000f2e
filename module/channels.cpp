// KXdv17_0 functions of the channels area: subscribing to channel statistics,
// the channel description and the sample messages laid out by it.
#include "kxpy.h"

#include <vector>

using kx::Reader;
using kx::Ref;
using kx::Request;

namespace {

KX_NAME(int);
KX_NAME(bool);
KX_NAME(copy);
KX_NAME(active);
KX_NAME(name);
KX_NAME(type);
KX_NAME(internal_media);
KX_NAME(external_media);
KX_NAME(internal_negotiated_media);
KX_NAME(external_negotiated_media);
KX_NAME(internal_negotiated_media_time);
KX_NAME(external_negotiated_media_time);

// Each statistic group holds six pairs; their keys are the statistic's name
// followed by these suffixes.
constexpr int kPairsPerStatistic = 6;
kx::Name n_rate("(rate)");
kx::Name n_rate_min("(rate min)");
kx::Name n_rate_max("(rate max)");
kx::Name n_rate_min_last("(rate min last)");
kx::Name n_rate_max_last("(rate max last)");
const kx::Name *const kSuffixes[kPairsPerStatistic - 1] = {&n_rate, &n_rate_min, &n_rate_max,
                                                           &n_rate_min_last, &n_rate_max_last};

// int(id), the built-in looked up now.
Ref int_key(const Ref &id, kx::Site at = kx::Site()) {
  return kx::call_at(at, kx::builtin(n_int, at).get(), id);
}

Ref pair(Ref a, Ref b, kx::Site at = kx::Site()) {
  PyObject *t = PyTuple_New(2);
  if (!t) kx::fail(at);
  PyTuple_SET_ITEM(t, 0, a.release());
  PyTuple_SET_ITEM(t, 1, b.release());
  return Ref(t);
}

// The key of row `row` (0..5) of a statistic group: the name, or the name
// followed by the row's suffix.
Ref statistic_key(const Ref &name, int row, kx::Site at = kx::Site()) {
  if (row == 0) return name;
  return kx::check(PyNumber_Add(name.get(), *kSuffixes[row - 1]), at);
}

}  // namespace

KX_EMPTY_REQUEST(channelsShow, 132272);
KX_EMPTY_REQUEST(channelsHide, 132273);

// (channel table, statistic list): {int(id): {"active", "name", "type"}} and
// [(id, name)] in the order the samples carry the statistics.
KX_FUNCTION(handleChannelsInfo, "m") {
  Reader r(arg[0]);
  Ref statistics = kx::check(PyList_New(0));
  for (uint32_t n = r.u32(); n > 0; n--) {
    Ref id = r.long32();
    Ref name = r.string(255);
    Ref item = pair(id, name);
    kx::check_rc(PyList_Append(statistics.get(), item.get()));
  }
  Ref table = kx::check(PyDict_New());
  for (uint32_t n = r.u32(); n > 0; n--) {
    Ref id = r.long32();
    Ref type = r.int8();
    Ref active = r.int8();
    Ref name = r.string(255);
    Ref record = kx::check(PyDict_New());
    kx::setitem(table.get(), int_key(id).get(), record.get());
    Ref flag = KX_CALL(kx::builtin(n_bool).get(), active);
    kx::setitem(kx::getitem(table.get(), int_key(id).get()).get(), n_active, flag.get());
    kx::setitem(kx::getitem(table.get(), int_key(id).get()).get(), n_name, name.get());
    kx::setitem(kx::getitem(table.get(), int_key(id).get()).get(), n_type, type.get());
  }
  return pair(table, statistics);
}

// {int(id): copy of the channel record with the media settings and every
// statistic's six pairs}.
KX_FUNCTION(handleChannelsData, "m", "info") {
  Reader r(arg[0]);
  Ref info[2];
  kx::unpack(arg[1], info, 2);
  PyObject *table = info[0].get();
  Ref result = kx::check(PyDict_New());
  std::vector<Ref> names, keys;  // keys: six per name
  for (uint32_t n = r.u32(); n > 0; n--) {
    Ref key = int_key(r.long32());
    Ref channel = kx::getitem(table, key.get());
    Ref sample = PyDict_CheckExact(channel.get())
                     ? kx::check(PyDict_Copy(channel.get()))
                     : kx::check(PyObject_CallMethodObjArgs(channel.get(), n_copy, nullptr));
    kx::setitem(result.get(), key.get(), sample.get());
    PyObject *s = sample.get();
    kx::setitem(s, n_internal_media, r.int8().get());
    kx::setitem(s, n_external_media, r.int8().get());
    kx::setitem(s, n_internal_negotiated_media, r.int8().get());
    kx::setitem(s, n_external_negotiated_media, r.int8().get());
    kx::setitem(s, n_internal_negotiated_media_time, r.long32().get());
    kx::setitem(s, n_external_negotiated_media_time, r.long32().get());
    // Every record walks the statistic list afresh, as the caller may hand
    // any iterable. A key is made right after its pair is read, and reused
    // by later records while the statistic's name is the same str object.
    Ref it = kx::check(PyObject_GetIter(info[1].get()));
    for (size_t g = 0;; g++) {
      Ref item{PyIter_Next(it.get())};
      if (!item) {
        if (PyErr_Occurred()) kx::fail();
        break;
      }
      Ref e[2];
      kx::unpack(item.get(), e, 2);
      bool cached = g < names.size() && names[g].get() == e[1].get() &&
                    kx::is_str_exact(e[1].get());
      if (!cached) {
        names.resize(g);
        keys.resize(g * kPairsPerStatistic);
      }
      for (int i = 0; i < kPairsPerStatistic; i++) {
        Ref a = i < 4 ? r.long64() : r.long32();
        Ref b = i < 4 ? r.long64() : r.long32();
        Ref value = pair(a, b);
        if (!cached) keys.push_back(statistic_key(e[1], i));
        kx::setitem(s, keys[g * kPairsPerStatistic + i].get(), value.get());
      }
      if (!cached) names.push_back(e[1]);
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
