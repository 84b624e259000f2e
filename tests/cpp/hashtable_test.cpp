// Hash tables: MurmurHash3, capacity rounding, replacement, growth, chain
// order (random operations against a map model are the fuzz target's).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kx_hashtable.h"

namespace {

TEST(HashtableTest, Murmur3Vectors) {
  struct Case { std::string data; uint32_t seed, hash; };
  const Case cases[] = {
      {"", 1, 0x514E28B7u},           {std::string(4, '\0'), 0, 0x2362F9DEu}, {"a", 0x9747b28cu, 0x7FA09EA6u},
      {"aa", 0x9747b28cu, 0x5D211726u}, {"aaa", 0x9747b28cu, 0x283E0130u},    {"abcd", 0x9747b28cu, 0xF0478627u},
      {"Hello, world!", 0x9747b28cu, 0x24884CBAu},
  };
  for (const Case &c : cases) EXPECT_EQ(c.hash, kx_hashtable_murmur3_32(c.data.data(), c.data.size(), c.seed)) << c.data;
  EXPECT_EQ(0x2362F9DEu, kx_hashtable_default_hash(0));
  const uint8_t le[4] = {0x78, 0x56, 0x34, 0x12};  // only the low 32 bits, little-endian
  EXPECT_EQ(kx_hashtable_murmur3_32(le, 4, 0), kx_hashtable_default_hash(0xabcdef0012345678ull));
  EXPECT_EQ(kx_hashtable_murmur3_32("abc", 3, 0), kx_hashtable_str_hash((uint64_t)(uintptr_t) "abc"));
}

TEST(HashtableTest, CapacityReplaceAndFullTable) {
  const uint32_t cases[][2] = {{0, 1}, {1, 1}, {3, 4}, {5, 8}, {9, 16}};
  for (auto &c : cases) {
    EXPECT_EQ(48u + 32u * c[1], kx_hashtable_bytes(c[0]));
    kx_hashtable_t *t = kx_hashtable_new(7, nullptr, nullptr, c[0]);
    uint32_t added = 0;
    while (kx_hashtable_set(t, added * 977, added)) added++;
    EXPECT_EQ(c[1], added) << "holds exactly as many entries as buckets";
    EXPECT_EQ(1, kx_hashtable_set(t, 0, 5)) << "a full table still replaces";
    EXPECT_EQ(c[1], kx_hashtable_count(t));
    EXPECT_EQ(5u, kx_hashtable_lookup(t, 0));
    EXPECT_EQ(0u, kx_hashtable_lookup(t, 1));
    kx_hashtable_clear(t);
    EXPECT_EQ(0u, kx_hashtable_count(t));
    EXPECT_EQ(1, kx_hashtable_set(t, 1, 1)) << "clear frees every entry";
    kx_hashtable_destroy(t);
  }
}

TEST(HashtableTest, GrowKeepsEverything) {
  kx_hashtable_t *t = kx_hashtable_new(0xfeed, nullptr, nullptr, 4);
  for (uint64_t i = 1; i <= 4; i++) kx_hashtable_set_grow(&t, i, i * 10);
  kx_hashtable_t *before = t;
  kx_hashtable_set_grow(&t, 3, 300);  // present key: no growth
  EXPECT_EQ(before, t);
  kx_hashtable_set_grow(&t, 5, 50);
  EXPECT_EQ(std::vector<uint32_t>({8, 0xfeed, 5}), std::vector<uint32_t>({t->nbuckets, t->tag, t->count}));
  for (uint64_t i = 1; i <= 5; i++) EXPECT_EQ(i == 3 ? 300 : i * 10, kx_hashtable_lookup(t, i));
  kx_hashtable_destroy(t);
}

std::vector<uint64_t> keys_in_order(kx_hashtable_t *t) {
  std::vector<uint64_t> out, seen;
  kx_hashtable_iterator_t it;
  for (kx_hashtable_iterator_init(&it, t); it.entry; kx_hashtable_iterator_next(&it)) out.push_back(it.entry->key);
  kx_hashtable_foreach(t, [](uint64_t key, uint64_t, void *arg) { ((std::vector<uint64_t> *)arg)->push_back(key); }, &seen);
  EXPECT_EQ(out, seen) << "iterator and foreach walk alike";
  return out;
}

uint32_t two_buckets(uint64_t key) { return (uint32_t)(key >= 100); }

TEST(HashtableTest, ChainsKeepInsertionOrder) {
  kx_hashtable_t *t = kx_hashtable_new(0, two_buckets, nullptr, 8);
  EXPECT_TRUE(keys_in_order(t).empty());
  for (uint64_t k : {105, 5, 3, 9, 1, 104}) kx_hashtable_set(t, k, k % 2);
  kx_hashtable_remove(t, 3);
  kx_hashtable_set(t, 7, 0);
  kx_hashtable_set(t, 5, 0);  // replacing keeps the place
  EXPECT_EQ(std::vector<uint64_t>({5, 9, 1, 7, 105, 104}), keys_in_order(t));
  EXPECT_EQ(2u, kx_hashtable_remove_if(t, [](uint64_t k, uint64_t v, void *) { return v == 1 && k < 100; }, nullptr));
  EXPECT_EQ(std::vector<uint64_t>({5, 7, 105, 104}), keys_in_order(t));
  kx_hashtable_destroy(t);
}

TEST(HashtableTest, StringKeysInACallerBlock) {
  alignas(8) uint8_t block[48 + 32 * 4];
  kx_hashtable_init(1, block, kx_hashtable_str_hash, kx_hashtable_str_equal, 3);
  kx_hashtable_t *t = (kx_hashtable_t *)block;
  std::string a = "alpha", b = "beta", a2 = "alpha";
  kx_hashtable_set(t, (uintptr_t)a.c_str(), 1);
  kx_hashtable_set(t, (uintptr_t)b.c_str(), 2);
  kx_hashtable_set(t, (uintptr_t)a2.c_str(), 3);
  EXPECT_EQ(2u, kx_hashtable_count(t)) << "keys compare by text";
  uint64_t key = 0, value = 0;
  EXPECT_EQ(1, kx_hashtable_take(t, (uintptr_t) "alpha", &key, &value));
  EXPECT_EQ((uintptr_t)a.c_str(), key);
  EXPECT_EQ(3u, value);
}

}  // namespace
