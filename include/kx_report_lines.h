/* The fixed line numbers that bug and badness reports of the support library
 * name. They are part of the reports' documented text ("KX-BUG at
 * include/kx_msg.h:596/kx_msg_get_data(): ..."), so they do not follow the
 * code when it moves: change one only together with everything that reads
 * the reports. */
#ifndef KX_REPORT_LINES_H
#define KX_REPORT_LINES_H

enum kx_report_line {
  /* include/kx_msg.h: a null message or buffer handed to a primitive */
  KX_LINE_MSG_PUT_DATA = 138,         /* kx_msg_put_data and every put */
  KX_LINE_MSG_SKIP = 584,             /* kx_msg_skip */
  KX_LINE_MSG_GET_DATA = 596,         /* kx_msg_get_data and every get: msg */
  KX_LINE_MSG_GET_DATA_BUF = 597,     /* kx_msg_get_data and every get: buf */
  KX_LINE_MSG_GET_STRING = 786,       /* kx_msg_get_string_len: msg */
  KX_LINE_MSG_GET_STRING_BUF = 787,   /* kx_msg_get_string_len: buf */
  KX_LINE_MSG_GET_IPADDR = 248,       /* kx_msg_get_ipaddr */
  KX_LINE_MSG_GET_IPADDRPLEN = 251,   /* kx_msg_get_ipaddrplen */
  KX_LINE_MSG_PUT_IPADDRPLEN = 254,   /* kx_msg_put_ipaddrplen */
  /* common/str.cpp */
  KX_LINE_STRDUP_NO_FORMAT = 25,      /* kx_strdup_vformat: null format */
  KX_LINE_STRDUP_BAD_FORMAT = 35,     /* kx_strdup_vformat: negative length */
  KX_LINE_STRDUP_LENGTH_CHANGED = 44, /* kx_strdup_vformat: second pass differs */
  KX_LINE_STRSPLIT_TOO_MANY = 109,    /* kx_strsplit_split */
  /* common/ringbuf.cpp */
  KX_LINE_RINGBUF_CHUNK_IN_USE = 185, /* kx_ringbuf_chunk_new */
  KX_LINE_RINGBUF_CHUNK_FREE = 154,   /* kx_ringbuf_recycle */
  KX_LINE_RINGBUF_NO_LAST = 373,      /* kx_ringbuf_write */
  KX_LINE_RINGBUF_NO_CHUNK = 268,     /* kx_ringbuf_read2 */
  /* common/log.cpp */
  KX_LINE_LOG_MSG_FULL = 103,         /* kx_log_msg_put */
  /* common/hashtable.cpp */
  KX_LINE_HASHTABLE_REMOVE = 363,     /* kx_hashtable_remove */
  KX_LINE_HASHTABLE_ITER_INIT = 481,  /* kx_hashtable_iterator_init */
  KX_LINE_HASHTABLE_ITER_NEXT = 509,  /* kx_hashtable_iterator_next */
  /* common/mempool.cpp */
  KX_LINE_MEMPOOL_NO_ITEMS = 127,     /* kx_mempool_init */
  KX_LINE_MEMPOOL_ITEM_SIZE = 128,    /* kx_mempool_init */
  KX_LINE_MEMPOOL_COUNTS = 195,       /* kx_mempool_used */
  KX_LINE_MEMPOOL_LEAK = 167,         /* kx_mempool_deinit */
  KX_LINE_MEMPOOL_PUT_NULL = 246,     /* kx_mempool_put */
  /* common/malloc.cpp */
  KX_LINE_MALLOC_FAILED = 297,        /* kx_malloc_flags */
  KX_LINE_FREE_LEAK_MARK = 364,       /* kx_free_flags: an intentional leak */
  KX_LINE_FREE_TWICE = 366,           /* kx_free_flags */
  KX_LINE_FREE_UNKNOWN = 368          /* kx_free_flags */
};

#endif
