// Hash tables: MurmurHash3, capacity rounding, growth, removal, iteration,
// and random operations checked against std::unordered_map.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "kx_hashtable.h"
#include "kx_log.h"

namespace {

TEST(HashtableTest, Murmur3Vectors) {
  struct Case {
    std::string data;
    uint32_t seed;
    uint32_t hash;
  } cases[] = {
      {"", 0, 0},
      {"", 1, 0x514E28B7u},
      {"", 0xffffffffu, 0x81F16F39u},
      {std::string(4, '\0'), 0, 0x2362F9DEu},
      {"a", 0x9747b28cu, 0x7FA09EA6u},
      {"aa", 0x9747b28cu, 0x5D211726u},
      {"aaa", 0x9747b28cu, 0x283E0130u},
      {"aaaa", 0x9747b28cu, 0x5A97808Au},
      {"abcd", 0x9747b28cu, 0xF0478627u},
      {"Hello, world!", 0x9747b28cu, 0x24884CBAu},
      {"The quick brown fox jumps over the lazy dog", 0x9747b28cu, 0x2FA826CDu},
  };
  for (const Case &c : cases)
    EXPECT_EQ(c.hash, kx_hashtable_murmur3_32(c.data.data(), c.data.size(), c.seed)) << c.data;
  EXPECT_EQ(0x2362F9DEu, kx_hashtable_default_hash(0));
  // Only the low 32 bits count, as little-endian bytes.
  const uint8_t le[4] = {0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(kx_hashtable_murmur3_32(le, 4, 0), kx_hashtable_default_hash(0xabcdef0012345678ull));
  const char *abc = "abc";
  EXPECT_EQ(kx_hashtable_murmur3_32("abc", 3, 0), kx_hashtable_str_hash((uint64_t)(uintptr_t)abc));
}

TEST(HashtableTest, CapacityRounding) {
  struct Case {
    uint32_t capacity, nbuckets;
  } cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {5, 8}, {8, 8}, {9, 16}, {1000, 1024}};
  for (const Case &c : cases) {
    EXPECT_EQ(48u + 32u * c.nbuckets, kx_hashtable_bytes(c.capacity)) << c.capacity;
    kx_hashtable_t *t = kx_hashtable_new(7, nullptr, nullptr, c.capacity);
    EXPECT_EQ(KX_HASHTABLE_MAGIC, t->magic);
    EXPECT_EQ(c.nbuckets, t->nbuckets);
    uint32_t added = 0;
    while (kx_hashtable_set(t, added * 977, added)) added++;
    EXPECT_EQ(c.nbuckets, added) << "holds exactly as many entries as buckets";
    EXPECT_TRUE(kx_hashtable_is_full(t));
    kx_hashtable_destroy(t);
  }
}

TEST(HashtableTest, SetReplaceLookupTake) {
  kx_hashtable_t *t = kx_hashtable_new(0, nullptr, nullptr, 4);
  EXPECT_EQ(1, kx_hashtable_set(t, 5, 50));
  EXPECT_EQ(1, kx_hashtable_set(t, 5, 51));
  EXPECT_EQ(1u, kx_hashtable_count(t));
  EXPECT_EQ(51u, kx_hashtable_lookup(t, 5));
  EXPECT_EQ(0u, kx_hashtable_lookup(t, 6));
  uint64_t k = 1, v = 1;
  EXPECT_EQ(0, kx_hashtable_find(t, 6, &k, &v));
  EXPECT_EQ(0, kx_hashtable_find(nullptr, 5, &k, &v));
  EXPECT_EQ(1, kx_hashtable_find(t, 5, &k, &v));
  EXPECT_EQ(5u, k);
  EXPECT_EQ(51u, v);
  EXPECT_EQ(1, kx_hashtable_take(t, 5, &k, &v));
  EXPECT_EQ(0, kx_hashtable_take(t, 5, &k, &v));
  EXPECT_EQ(0, kx_hashtable_try_remove(t, 5));
  EXPECT_EQ(0u, kx_hashtable_count(t));
  EXPECT_EQ(0u, kx_hashtable_count(nullptr));
  // A full table refuses new keys but still replaces present ones.
  for (uint64_t i = 0; i < 4; i++) EXPECT_EQ(1, kx_hashtable_set(t, i, i));
  EXPECT_EQ(0, kx_hashtable_set(t, 99, 1));
  EXPECT_EQ(1, kx_hashtable_set(t, 3, 33));
  EXPECT_EQ(4u, kx_hashtable_count(t));
  kx_hashtable_clear(t);
  EXPECT_EQ(0u, kx_hashtable_count(t));
  EXPECT_EQ(0u, kx_hashtable_lookup(t, 3));
  for (uint64_t i = 10; i < 14; i++) EXPECT_EQ(1, kx_hashtable_set(t, i, i)) << "clear frees every entry";
  kx_hashtable_destroy(t);
  kx_hashtable_destroy(nullptr);
}

TEST(HashtableTest, GrowKeepsEverything) {
  kx_hashtable_t *t = kx_hashtable_new(0xfeed, nullptr, nullptr, 4);
  for (uint64_t i = 1; i <= 4; i++) kx_hashtable_set_grow(&t, i, i * 10);
  kx_hashtable_t *before = t;
  EXPECT_EQ(4u, t->nbuckets);
  kx_hashtable_set_grow(&t, 3, 300);  // present key: no growth
  EXPECT_EQ(before, t);
  kx_hashtable_set_grow(&t, 5, 50);
  EXPECT_EQ(8u, t->nbuckets);
  EXPECT_EQ(0xfeedu, t->tag);
  EXPECT_EQ(5u, kx_hashtable_count(t));
  const uint64_t expect[] = {10, 20, 300, 40, 50};
  for (uint64_t i = 1; i <= 5; i++) EXPECT_EQ(expect[i - 1], kx_hashtable_lookup(t, i));
  kx_hashtable_destroy(t);
}

bool is_even(uint64_t key, uint64_t, void *) { return key % 2 == 0; }

void collect(uint64_t key, uint64_t value, void *arg) {
  static_cast<std::vector<std::pair<uint64_t, uint64_t>> *>(arg)->emplace_back(key, value);
}

std::vector<std::pair<uint64_t, uint64_t>> iterate(kx_hashtable_t *t) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  kx_hashtable_iterator_t it;
  for (kx_hashtable_iterator_init(&it, t); it.entry; kx_hashtable_iterator_next(&it))
    out.emplace_back(it.entry->key, it.entry->value);
  return out;
}

TEST(HashtableTest, RemoveIfAndIterationOrder) {
  kx_hashtable_t *t = kx_hashtable_new(0, nullptr, nullptr, 8);
  EXPECT_TRUE(iterate(t).empty());
  for (uint64_t i = 1; i <= 8; i++) kx_hashtable_set(t, i, i);
  std::vector<std::pair<uint64_t, uint64_t>> seen;
  kx_hashtable_foreach(t, collect, &seen);
  EXPECT_EQ(iterate(t), seen);
  kx_hashtable_foreach(t, nullptr, nullptr);
  EXPECT_EQ(4u, kx_hashtable_remove_if(t, is_even, nullptr));
  std::vector<uint64_t> keys;
  for (auto &kv : iterate(t)) keys.push_back(kv.first);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ((std::vector<uint64_t>{1, 3, 5, 7}), keys);
  kx_hashtable_destroy(t);

  kx_hashtable_iterator_t it;
  kx_hashtable_iterator_init(&it, nullptr);
  EXPECT_EQ(nullptr, it.entry);
}

uint32_t one_bucket(uint64_t) { return 12345; }

TEST(HashtableTest, ChainsKeepInsertionOrder) {
  kx_hashtable_t *t = kx_hashtable_new(0, one_bucket, nullptr, 8);
  for (uint64_t k : {5, 3, 9, 1}) kx_hashtable_set(t, k, 0);
  kx_hashtable_remove(t, 3);
  kx_hashtable_set(t, 7, 0);
  kx_hashtable_set(t, 5, 1);  // replacing keeps the place
  std::vector<uint64_t> keys;
  for (auto &kv : iterate(t)) keys.push_back(kv.first);
  EXPECT_EQ((std::vector<uint64_t>{5, 9, 1, 7}), keys);
  kx_hashtable_destroy(t);
}

TEST(HashtableTest, StringKeysAndCallerBlock) {
  alignas(8) uint8_t block[48 + 32 * 4];
  ASSERT_EQ(sizeof block, kx_hashtable_bytes(3));
  kx_hashtable_init(1, block, kx_hashtable_str_hash, kx_hashtable_str_equal, 3);
  kx_hashtable_t *t = (kx_hashtable_t *)block;
  std::string a = "alpha", b = "beta", a2 = "alpha";
  kx_hashtable_set(t, (uintptr_t)a.c_str(), 1);
  kx_hashtable_set(t, (uintptr_t)b.c_str(), 2);
  EXPECT_EQ(1u, kx_hashtable_lookup(t, (uintptr_t)a2.c_str())) << "keys compare by text";
  kx_hashtable_set(t, (uintptr_t)a2.c_str(), 3);
  EXPECT_EQ(2u, kx_hashtable_count(t));
  EXPECT_EQ(1, kx_hashtable_str_equal((uintptr_t)a.c_str(), (uintptr_t)a2.c_str()));
  EXPECT_EQ(0, kx_hashtable_str_equal((uintptr_t)a.c_str(), (uintptr_t)b.c_str()));
}

uint32_t weak_hash(uint64_t key) { return (uint32_t)(key % 3); }
bool value_odd(uint64_t, uint64_t value, void *) { return value & 1; }

TEST(HashtableTest, RandomOperationsAgainstUnorderedMap) {
  for (kx_hashtable_hash_fn hash : {(kx_hashtable_hash_fn) nullptr, weak_hash}) {
    std::mt19937_64 rng(42);
    kx_hashtable_t *t = kx_hashtable_new(0, hash, nullptr, 1);
    std::unordered_map<uint64_t, uint64_t> model;
    for (int step = 0; step < 20000; step++) {
      uint64_t key = rng() % 300 + (rng() % 2 ? 0 : (1ull << 40));  // high bits differ only
      uint64_t value = rng();
      switch (rng() % 8) {
        case 0:
        case 1:
        case 2:
          kx_hashtable_set_grow(&t, key, value);
          model[key] = value;
          break;
        case 3: {
          uint64_t k = 0, v = 0;
          int took = kx_hashtable_take(t, key, &k, &v);
          auto it = model.find(key);
          ASSERT_EQ(it != model.end(), took != 0);
          if (took) {
            EXPECT_EQ(key, k);
            EXPECT_EQ(it->second, v);
            model.erase(it);
          }
          break;
        }
        case 4: {
          bool full = kx_hashtable_is_full(t);
          int ok = kx_hashtable_set(t, key, value);
          ASSERT_EQ(!full || model.count(key), ok != 0);
          if (ok) model[key] = value;
          break;
        }
        case 5:
          if (step % 97 == 0) {
            uint32_t expect = 0;
            for (auto it = model.begin(); it != model.end();)
              if (it->second & 1) {
                it = model.erase(it);
                expect++;
              } else {
                ++it;
              }
            ASSERT_EQ(expect, kx_hashtable_remove_if(t, value_odd, nullptr));
          }
          break;
        default: {
          uint64_t v = 0;
          auto it = model.find(key);
          ASSERT_EQ(it != model.end(), kx_hashtable_find(t, key, nullptr, &v) != 0);
          if (it != model.end()) {
            EXPECT_EQ(it->second, v);
          }
        }
      }
      ASSERT_EQ(model.size(), kx_hashtable_count(t));
      ASSERT_LE(t->count, t->nbuckets);
    }
    auto all = iterate(t);
    ASSERT_EQ(model.size(), all.size());
    for (auto &kv : all) EXPECT_EQ(model.at(kv.first), kv.second);
    kx_hashtable_destroy(t);
  }
}

TEST(HashtableTest, BugReports) {
  kx_log_print_level = KX_LOG_VERBOSE;
  kx_hashtable_t *t = kx_hashtable_new(0, nullptr, nullptr, 2);
  EXPECT_DEATH(kx_hashtable_remove(t, 1),
               "KX-BUG at common/hashtable.cpp:363/kx_hashtable_remove\\(\\): found == 0  Key was not found in "
               "kx_hashtable_t on remove\\(\\)\n");
  EXPECT_DEATH(kx_hashtable_iterator_init(nullptr, t), ":481/kx_hashtable_iterator_init\\(\\): !it  \n");
  EXPECT_DEATH(kx_hashtable_iterator_next(nullptr), ":509/kx_hashtable_iterator_next\\(\\): !it  \n");
  kx_hashtable_destroy(t);
  kx_log_print_level = KX_LOG_ALERT;
}

}  // namespace
