// Hash tables: MurmurHash3, capacity rounding and chain order (operations,
// growth, string keys and caller blocks against a map model are the fuzz target's).
#include "kxtest.h"

TEST(HashtableTest, HashesAndCapacity) {
  struct Case { std::string data; uint32_t seed, hash; };
  const Case cases[] = {
      {"", 1, 0x514E28B7u},           {std::string(4, '\0'), 0, 0x2362F9DEu}, {"a", 0x9747b28cu, 0x7FA09EA6u},
      {"aa", 0x9747b28cu, 0x5D211726u}, {"aaa", 0x9747b28cu, 0x283E0130u},    {"abcd", 0x9747b28cu, 0xF0478627u},
      {"Hello, world!", 0x9747b28cu, 0x24884CBAu},
  };
  for (const Case &c : cases) EXPECT_EQ(c.hash, kx_hashtable_murmur3_32(c.data.data(), c.data.size(), c.seed)) << c.data;
  const uint8_t le[4] = {0x78, 0x56, 0x34, 0x12};  // only the low 32 bits, little-endian
  EXPECT_EQ(kx_hashtable_murmur3_32(le, 4, 0), kx_hashtable_default_hash(0xabcdef0012345678ull));
  EXPECT_EQ(kx_hashtable_murmur3_32("abc", 3, 0), kx_hashtable_str_hash((uint64_t)(uintptr_t) "abc"));
  const uint32_t buckets[][2] = {{0, 1}, {1, 1}, {3, 4}, {5, 8}, {9, 16}};  // capacity: a power of two
  for (auto &c : buckets) {
    EXPECT_EQ(48u + 32u * c[1], kx_hashtable_bytes(c[0]));
    kx_hashtable_t *t = kx_hashtable_new(7, nullptr, nullptr, c[0]);
    EXPECT_EQ(c[1], t->nbuckets) << c[0];
    kx_hashtable_destroy(t);
  }
}

std::vector<uint64_t> keys_in_order(kx_hashtable_t *t) {
  std::vector<uint64_t> out, seen;
  kx_hashtable_iterator_t it;
  for (kx_hashtable_iterator_init(&it, t); it.entry; kx_hashtable_iterator_next(&it)) out.push_back(it.entry->key);
  kx_hashtable_foreach(t, [](uint64_t key, uint64_t, void *arg) { ((std::vector<uint64_t> *)arg)->push_back(key); }, &seen);
  EXPECT_EQ(out, seen) << "iterator and foreach walk alike";
  return out;
}

TEST(HashtableTest, ChainsKeepInsertionOrder) {
  kx_hashtable_t *t = kx_hashtable_new(0, [](uint64_t key) { return (uint32_t)(key >= 100); }, nullptr, 8);
  for (uint64_t k : {105, 5, 3, 9, 1, 104}) kx_hashtable_set(t, k, k % 2);
  kx_hashtable_remove(t, 3);
  kx_hashtable_set(t, 7, 0);
  kx_hashtable_set(t, 5, 0);  // replacing keeps the place
  EXPECT_EQ(std::vector<uint64_t>({5, 9, 1, 7, 105, 104}), keys_in_order(t));
  EXPECT_EQ(2u, kx_hashtable_remove_if(t, [](uint64_t k, uint64_t v, void *) { return v == 1 && k < 100; }, nullptr));
  EXPECT_EQ(std::vector<uint64_t>({5, 7, 105, 104}), keys_in_order(t));
  kx_hashtable_destroy(t);
}
