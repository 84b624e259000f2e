// Fixed-capacity hash tables of 64-bit keys to 64-bit values.
//
// A table is one block: header, bucket heads and a preallocated entry array
// (as many entries as buckets, a power of two). Inserts and removes never
// allocate; a full table refuses new keys unless kx_hashtable_set_grow
// rebuilds it at twice the size. Keys and values may hold pointers.
#ifndef KX_HASHTABLE_H
#define KX_HASHTABLE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#define KX_HASHTABLE_MAGIC 209999u

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t (*kx_hashtable_hash_fn)(uint64_t key);
/* Nonzero when the stored key equals the searched key. */
typedef int (*kx_hashtable_equal_fn)(uint64_t stored_key, uint64_t key);
typedef void (*kx_hashtable_foreach_fn)(uint64_t key, uint64_t value, void *arg);
typedef bool (*kx_hashtable_pred_fn)(uint64_t key, uint64_t value, void *arg);

typedef struct kx_hashtable_entry {
  struct kx_hashtable_entry *next;
  uint64_t key;
  uint64_t value;
} kx_hashtable_entry_t;

typedef struct kx_hashtable {
  uint32_t magic;    /* KX_HASHTABLE_MAGIC while alive, 0 once destroyed */
  uint32_t tag;      /* the creator's word; carried into a grown table */
  uint32_t nbuckets; /* buckets = entries, a power of two */
  uint32_t count;    /* entries in use */
  kx_hashtable_entry_t *freelist;
  kx_hashtable_entry_t *entries;
  kx_hashtable_hash_fn hash;
  kx_hashtable_equal_fn equal; /* null: keys compare as numbers */
  /* followed by nbuckets bucket heads, then nbuckets entries */
} kx_hashtable_t;

typedef struct kx_hashtable_iterator {
  kx_hashtable_t *table;
  uint32_t bucket;
  kx_hashtable_entry_t *entry; /* current entry; null when exhausted */
} kx_hashtable_iterator_t;

/* MurmurHash3, x86 32-bit variant. */
uint32_t kx_hashtable_murmur3_32(const void *data, size_t len, uint32_t seed);
/* The default hash: MurmurHash3 (seed 0) of the key's low 32 bits as 4 little-endian bytes. */
uint32_t kx_hashtable_default_hash(uint64_t key);
/* Hash and equality for keys that hold a const char * to a zero-terminated string. */
uint32_t kx_hashtable_str_hash(uint64_t key);
int kx_hashtable_str_equal(uint64_t stored_key, uint64_t key);

/* Block size for a capacity (rounded up to a power of two, at least 1). */
size_t kx_hashtable_bytes(uint32_t capacity);
kx_hashtable_t *kx_hashtable_new(uint32_t tag, kx_hashtable_hash_fn hash, kx_hashtable_equal_fn equal,
                                 uint32_t capacity);
/* Initialises a caller's block of kx_hashtable_bytes(capacity) bytes. Such a
 * table must not be grown or destroyed (the library did not allocate it). */
void kx_hashtable_init(uint32_t tag, void *block, kx_hashtable_hash_fn hash, kx_hashtable_equal_fn equal,
                       uint32_t capacity);
void kx_hashtable_destroy(kx_hashtable_t *table);

uint32_t kx_hashtable_count(const kx_hashtable_t *table);
int kx_hashtable_is_full(const kx_hashtable_t *table);
/* The key's value, or 0 when absent. */
uint64_t kx_hashtable_lookup(const kx_hashtable_t *table, uint64_t key);
int kx_hashtable_find(const kx_hashtable_t *table, uint64_t key, uint64_t *key_out, uint64_t *value_out);
/* Replaces the value of a present key or adds the key; 0 when the table is full. */
int kx_hashtable_set(kx_hashtable_t *table, uint64_t key, uint64_t value);
/* kx_hashtable_set, rebuilding a full table at twice the size (*table changes). */
void kx_hashtable_set_grow(kx_hashtable_t **table, uint64_t key, uint64_t value);
int kx_hashtable_take(kx_hashtable_t *table, uint64_t key, uint64_t *key_out, uint64_t *value_out);
int kx_hashtable_try_remove(kx_hashtable_t *table, uint64_t key);
/* Removes a key that must be present (bug report otherwise). */
int kx_hashtable_remove(kx_hashtable_t *table, uint64_t key);
/* Buckets in index order, chains in insertion order. The callback must not change the table. */
void kx_hashtable_foreach(const kx_hashtable_t *table, kx_hashtable_foreach_fn fn, void *arg);
uint32_t kx_hashtable_remove_if(kx_hashtable_t *table, kx_hashtable_pred_fn pred, void *arg);
void kx_hashtable_clear(kx_hashtable_t *table);

void kx_hashtable_iterator_init(kx_hashtable_iterator_t *it, kx_hashtable_t *table);
void kx_hashtable_iterator_next(kx_hashtable_iterator_t *it);

#ifdef __cplusplus
}
#endif

#endif
