// Fixed-capacity hash tables with chained buckets and a preallocated entry array.
#include "kx_hashtable.h"

#include <string.h>

#include "kx_log.h"
#include "kx_malloc.h"

static_assert(sizeof(kx_hashtable_t) == 48, "the table header is 48 bytes");
static_assert(sizeof(kx_hashtable_entry_t) == 24, "an entry is 24 bytes");

namespace {

inline uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

inline kx_hashtable_entry_t **buckets(const kx_hashtable_t *t) {
  return (kx_hashtable_entry_t **)(const_cast<kx_hashtable_t *>(t) + 1);
}

inline kx_hashtable_entry_t **bucket_of(const kx_hashtable_t *t, uint64_t key) {
  return &buckets(t)[t->hash(key) & (t->nbuckets - 1)];
}

inline bool keys_equal(const kx_hashtable_t *t, uint64_t stored, uint64_t key) {
  return t->equal ? t->equal(stored, key) != 0 : stored == key;
}

uint32_t round_capacity(uint32_t capacity) {
  KX_BUG_ON(capacity > 0x80000000u, "capacity %u has no power of two in 32 bits", capacity);
  uint32_t n = 1;
  while (n < capacity) n <<= 1;
  return n;
}

// Finds the key's entry; *link is the pointer that points at it.
kx_hashtable_entry_t *search(const kx_hashtable_t *t, uint64_t key, kx_hashtable_entry_t ***link) {
  kx_hashtable_entry_t **l = bucket_of(t, key);
  for (; *l; l = &(*l)->next)
    if (keys_equal(t, (*l)->key, key)) break;
  if (link) *link = l;
  return *l;
}

// Unlinks the entry *link points at and puts it on the front of the free list.
void release(kx_hashtable_t *t, kx_hashtable_entry_t **link) {
  kx_hashtable_entry_t *e = *link;
  *link = e->next;
  e->next = t->freelist;
  t->freelist = e;
  t->count--;
}

// Empty buckets, every entry on the free list in array order.
void reset(kx_hashtable_t *t) {
  memset(buckets(t), 0, sizeof(kx_hashtable_entry_t *) * t->nbuckets);
  for (uint32_t i = 0; i < t->nbuckets; i++) t->entries[i].next = i + 1 < t->nbuckets ? &t->entries[i + 1] : nullptr;
  t->freelist = t->entries;
  t->count = 0;
}

}  // namespace

uint32_t kx_hashtable_murmur3_32(const void *data, size_t len, uint32_t seed) {
  const uint32_t c1 = 0xcc9e2d51u, c2 = 0x1b873593u;
  const uint8_t *p = (const uint8_t *)data;
  uint32_t h = seed;
  size_t nblocks = len / 4;
  for (size_t i = 0; i < nblocks; i++) {
    uint32_t k = (uint32_t)p[4 * i] | (uint32_t)p[4 * i + 1] << 8 | (uint32_t)p[4 * i + 2] << 16 |
                 (uint32_t)p[4 * i + 3] << 24;
    k *= c1;
    k = rotl32(k, 15);
    k *= c2;
    h ^= k;
    h = rotl32(h, 13);
    h = h * 5 + 0xe6546b64u;
  }
  const uint8_t *tail = p + nblocks * 4;
  uint32_t k = 0;
  switch (len & 3) {
    case 3:
      k ^= (uint32_t)tail[2] << 16;
      [[fallthrough]];
    case 2:
      k ^= (uint32_t)tail[1] << 8;
      [[fallthrough]];
    case 1:
      k ^= tail[0];
      k *= c1;
      k = rotl32(k, 15);
      k *= c2;
      h ^= k;
  }
  h ^= (uint32_t)len;
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

uint32_t kx_hashtable_default_hash(uint64_t key) {
  const uint8_t b[4] = {(uint8_t)key, (uint8_t)(key >> 8), (uint8_t)(key >> 16), (uint8_t)(key >> 24)};
  return kx_hashtable_murmur3_32(b, 4, 0);
}

uint32_t kx_hashtable_str_hash(uint64_t key) {
  const char *s = (const char *)(uintptr_t)key;
  return kx_hashtable_murmur3_32(s, strlen(s), 0);
}

int kx_hashtable_str_equal(uint64_t stored_key, uint64_t key) {
  return strcmp((const char *)(uintptr_t)stored_key, (const char *)(uintptr_t)key) == 0;
}

size_t kx_hashtable_bytes(uint32_t capacity) {
  return sizeof(kx_hashtable_t) +
         (size_t)round_capacity(capacity) * (sizeof(kx_hashtable_entry_t *) + sizeof(kx_hashtable_entry_t));
}

void kx_hashtable_init(uint32_t tag, void *block, kx_hashtable_hash_fn hash, kx_hashtable_equal_fn equal,
                       uint32_t capacity) {
  KX_BUG_ON(block == ((void *)0));
  uint32_t n = round_capacity(capacity);
  kx_hashtable_t *t = (kx_hashtable_t *)block;
  memset(t, 0, sizeof *t);
  t->magic = KX_HASHTABLE_MAGIC;
  t->tag = tag;
  t->nbuckets = n;
  t->hash = hash ? hash : kx_hashtable_default_hash;
  t->equal = equal;
  t->entries = (kx_hashtable_entry_t *)(buckets(t) + n);
  reset(t);
}

kx_hashtable_t *kx_hashtable_new(uint32_t tag, kx_hashtable_hash_fn hash, kx_hashtable_equal_fn equal,
                                 uint32_t capacity) {
  void *block = kx_malloc("kx_hashtable_t", kx_hashtable_bytes(capacity));
  kx_hashtable_init(tag, block, hash, equal, capacity);
  return (kx_hashtable_t *)block;
}

void kx_hashtable_destroy(kx_hashtable_t *table) {
  if (!table) return;
  table->magic = 0;
  kx_free(table);
}

uint32_t kx_hashtable_count(const kx_hashtable_t *table) { return table ? table->count : 0; }

int kx_hashtable_is_full(const kx_hashtable_t *table) { return table->freelist == nullptr; }

uint64_t kx_hashtable_lookup(const kx_hashtable_t *table, uint64_t key) {
  const kx_hashtable_entry_t *e = search(table, key, nullptr);
  return e ? e->value : 0;
}

int kx_hashtable_find(const kx_hashtable_t *table, uint64_t key, uint64_t *key_out, uint64_t *value_out) {
  if (!table) return 0;
  const kx_hashtable_entry_t *e = search(table, key, nullptr);
  if (!e) return 0;
  if (key_out) *key_out = e->key;
  if (value_out) *value_out = e->value;
  return 1;
}

int kx_hashtable_set(kx_hashtable_t *table, uint64_t key, uint64_t value) {
  kx_hashtable_entry_t **link;
  kx_hashtable_entry_t *e = search(table, key, &link);
  if (e) {
    e->value = value;
    return 1;
  }
  e = table->freelist;
  if (!e) return 0;
  table->freelist = e->next;
  e->next = nullptr;
  e->key = key;
  e->value = value;
  *link = e;  // the end of the key's chain
  table->count++;
  return 1;
}

void kx_hashtable_set_grow(kx_hashtable_t **table, uint64_t key, uint64_t value) {
  kx_hashtable_t *old = *table;
  if (kx_hashtable_set(old, key, value)) return;
  kx_hashtable_t *grown = kx_hashtable_new(old->tag, old->hash, old->equal, 2 * old->count);
  kx_hashtable_iterator_t it;
  for (kx_hashtable_iterator_init(&it, old); it.entry; kx_hashtable_iterator_next(&it))
    kx_hashtable_set(grown, it.entry->key, it.entry->value);
  kx_hashtable_set(grown, key, value);
  kx_hashtable_destroy(old);
  *table = grown;
}

int kx_hashtable_take(kx_hashtable_t *table, uint64_t key, uint64_t *key_out, uint64_t *value_out) {
  kx_hashtable_entry_t **link;
  kx_hashtable_entry_t *e = search(table, key, &link);
  if (!e) return 0;
  if (key_out) *key_out = e->key;
  if (value_out) *value_out = e->value;
  release(table, link);
  return 1;
}

int kx_hashtable_try_remove(kx_hashtable_t *table, uint64_t key) {
  return kx_hashtable_take(table, key, nullptr, nullptr);
}

int kx_hashtable_remove(kx_hashtable_t *table, uint64_t key) {
  int found = kx_hashtable_take(table, key, nullptr, nullptr);
  KX_BUG_ON_AT(KX_LINE_HASHTABLE_REMOVE, found == 0, "Key was not found in kx_hashtable_t on remove()");
  return found;
}

void kx_hashtable_foreach(const kx_hashtable_t *table, kx_hashtable_foreach_fn fn, void *arg) {
  if (!table || !fn) return;
  for (uint32_t b = 0; b < table->nbuckets; b++)
    for (const kx_hashtable_entry_t *e = buckets(table)[b]; e; e = e->next) fn(e->key, e->value, arg);
}

uint32_t kx_hashtable_remove_if(kx_hashtable_t *table, kx_hashtable_pred_fn pred, void *arg) {
  uint32_t removed = 0;
  for (uint32_t b = 0; b < table->nbuckets; b++) {
    kx_hashtable_entry_t **link = &buckets(table)[b];
    while (*link) {
      if (pred((*link)->key, (*link)->value, arg)) {
        release(table, link);  // *link now holds the entry that followed
        removed++;
      } else {
        link = &(*link)->next;
      }
    }
  }
  return removed;
}

void kx_hashtable_clear(kx_hashtable_t *table) {
  if (table) reset(table);
}

// Positions `it` on the first entry of the lowest non-empty bucket from `from` on.
static void iterator_seek(kx_hashtable_iterator_t *it, uint32_t from) {
  it->entry = nullptr;
  for (uint32_t b = from; b < it->table->nbuckets; b++) {
    if (buckets(it->table)[b]) {
      it->bucket = b;
      it->entry = buckets(it->table)[b];
      return;
    }
  }
  it->bucket = it->table->nbuckets;
}

void kx_hashtable_iterator_init(kx_hashtable_iterator_t *it, kx_hashtable_t *table) {
  KX_BUG_ON_AT(KX_LINE_HASHTABLE_ITER_INIT, !it);
  it->table = table;
  it->bucket = 0;
  it->entry = nullptr;
  if (table) iterator_seek(it, 0);
}

void kx_hashtable_iterator_next(kx_hashtable_iterator_t *it) {
  KX_BUG_ON_AT(KX_LINE_HASHTABLE_ITER_NEXT, !it);
  if (!it->entry) return;
  if (it->entry->next)
    it->entry = it->entry->next;
  else
    iterator_seek(it, it->bucket + 1);
}
