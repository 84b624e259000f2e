// Hash tables against a map model: numeric keys with the default hash or a
// colliding one, and string keys (distinct pointers to equal texts are one key).
#include "fuzz_harness.h"

// Texts for string keys: equal contents at distinct addresses.
const char kTexts[8][4] = {"a", "b", "a", "cd", "b", "", "cd", "e"};
// Index of the first text with the same contents.
const int kCanonical[8] = {0, 1, 0, 3, 1, 5, 3, 7};

uint32_t colliding_hash(uint64_t key) { return (uint32_t)(key & 3); }

enum Mode { DEFAULT_HASH, COLLIDING_HASH, STRING_KEYS };

struct Model {
  Mode mode;
  std::map<uint64_t, std::pair<uint64_t, uint64_t>> entries;  // canonical key -> stored key, value

  uint64_t canon(uint64_t key) const {
    return mode != STRING_KEYS ? key : (uint64_t)kCanonical[((const char(*)[4])(uintptr_t)key) - kTexts];
  }
};

uint64_t next_key(FuzzInput &in, const Model &m) {
  const uint8_t b = in.u8();
  if (m.mode == STRING_KEYS) return (uint64_t)(uintptr_t)kTexts[b % 8];
  // Mostly a few small keys; sometimes keys that differ only above bit 32.
  if (b & 0x80) return (uint64_t)in.u8() << 32 | (b & 7);
  return b % 24;
}

// What a walk over the table saw, by canonical key.
struct Collect {
  const Model &m;
  std::map<uint64_t, std::pair<uint64_t, uint64_t>> seen;
  void add(uint64_t key, uint64_t value) { FUZZ_CHECK(seen.emplace(m.canon(key), std::make_pair(key, value)).second); }
};

void check_table(const kx_hashtable_t *t, const Model &m) {
  FUZZ_CHECK(t->magic == KX_HASHTABLE_MAGIC && t->tag == 7);
  FUZZ_CHECK(kx_hashtable_count(t) == m.entries.size());
  FUZZ_CHECK(kx_hashtable_is_full(t) == (int)(m.entries.size() == t->nbuckets));
  Collect c{m, {}}, it_seen{m, {}};
  kx_hashtable_foreach(t, [](uint64_t key, uint64_t value, void *arg) { ((Collect *)arg)->add(key, value); }, &c);
  kx_hashtable_iterator_t it;
  for (kx_hashtable_iterator_init(&it, const_cast<kx_hashtable_t *>(t)); it.entry; kx_hashtable_iterator_next(&it))
    it_seen.add(it.entry->key, it.entry->value);
  FUZZ_CHECK(c.seen == m.entries && it_seen.seen == m.entries);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  Model m;
  const uint8_t setup = in.u8();
  m.mode = (Mode)(setup % 3);
  const bool own_block = setup & 0x10;  // the caller's block: never grown or destroyed
  const uint32_t capacity = 1 + in.u8() % 40;
  kx_hashtable_hash_fn hash = m.mode == COLLIDING_HASH ? colliding_hash
                              : m.mode == STRING_KEYS  ? kx_hashtable_str_hash
                                                       : nullptr;
  kx_hashtable_equal_fn equal = m.mode == STRING_KEYS ? kx_hashtable_str_equal : nullptr;
  std::vector<uint64_t> block(own_block ? kx_hashtable_bytes(capacity) / 8 + 1 : 0);
  if (own_block) kx_hashtable_init(7, block.data(), hash, equal, capacity);
  kx_hashtable_t *t = own_block ? (kx_hashtable_t *)block.data() : kx_hashtable_new(7, hash, equal, capacity);
  uint64_t counter = 0;
  for (int steps = 0; !in.empty() && steps < 200; steps++) {
    const uint8_t op = in.u8() % 9;
    const uint64_t key = next_key(in, m);
    const uint64_t canon = m.canon(key);
    auto found = m.entries.find(canon);
    const bool present = found != m.entries.end();
    switch (op) {
      case 0: case 1: {
        const uint64_t value = ++counter;
        if (op == 1 && !own_block) {
          kx_hashtable_set_grow(&t, key, value);
        } else {
          const bool room = present || m.entries.size() < t->nbuckets;
          FUZZ_CHECK(kx_hashtable_set(t, key, value) == (int)room);
          if (!room) break;
        }
        if (present) found->second.second = value;  // the stored key stays
        else m.entries[canon] = std::make_pair(key, value);
        break;
      }
      case 2: case 3: case 4: case 5: {  // find, take, try_remove; remove() only for a present key
        uint64_t k = 0, v = 0;
        if (op == 2) FUZZ_CHECK(kx_hashtable_find(t, key, &k, &v) == (int)present);
        if (op == 2) FUZZ_CHECK(kx_hashtable_lookup(t, key) == (present ? found->second.second : 0));
        if (op == 3) FUZZ_CHECK(kx_hashtable_take(t, key, &k, &v) == (int)present);
        if (op == 4) FUZZ_CHECK(kx_hashtable_try_remove(t, key) == (int)present);
        if (op == 5 && present) FUZZ_CHECK(kx_hashtable_remove(t, key) == 1);
        if (present && op <= 3) FUZZ_CHECK(k == found->second.first && v == found->second.second);
        if (present && op >= 3) m.entries.erase(found);
        break;
      }
      case 6: {
        uint64_t mask = key & 7;
        uint32_t expect = 0;
        for (auto i = m.entries.begin(); i != m.entries.end();)
          i = i->second.second & mask ? (expect++, m.entries.erase(i)) : std::next(i);
        FUZZ_CHECK(kx_hashtable_remove_if(t, [](uint64_t, uint64_t v, void *a) { return (v & *(uint64_t *)a) != 0; }, &mask) == expect);
        break;
      }
      case 7:
        if ((key & 15) == 0) kx_hashtable_clear(t), m.entries.clear();
        break;
      case 8:
        check_table(t, m);
        break;
    }
  }
  check_table(t, m);
  if (!own_block) kx_hashtable_destroy(t);
  return 0;
}
