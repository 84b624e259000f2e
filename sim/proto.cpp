// kxd-sim: addresses on the wire and in text, and the record batcher.
#include "proto.h"

#include <stdarg.h>
#include <stdio.h>

namespace sim {

void log_line(uint32_t level, const char *format, ...) {
  if (kx_log_levels[kLogFacility] < level || kx_log_print_level < level) return;
  char text[4096];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  fprintf(stderr, "[kxd-sim:%s] %s\n", kx_log_level_name(level), text);
}

void put_addr(kx_msg_t *m, const Addr &a) {
  if (!a.v6) {
    kx_msg_put_uint32(m, a.w[0]);
    return;
  }
  for (uint32_t w : a.w) kx_msg_put_uint32(m, w);
}

void put_ipaddr(kx_msg_t *m, const Addr &a) {
  kx_msg_put_uint8(m, a.v6 ? 1 : 0);
  put_addr(m, a);
}

std::string addr_text_full(const Addr &a) {
  char text[64];
  if (!a.v6) return kx_iptostring_ip4(a.w[0], text, sizeof text);
  snprintf(text, sizeof text, "%x:%x:%x:%x:%x:%x:%x:%x", a.w[0] >> 16, a.w[0] & 0xffff, a.w[1] >> 16,
           a.w[1] & 0xffff, a.w[2] >> 16, a.w[2] & 0xffff, a.w[3] >> 16, a.w[3] & 0xffff);
  return text;
}

std::string addr_text_short(const Addr &a) {
  char text[64];
  if (!a.v6) return kx_iptostring_ip4(a.w[0], text, sizeof text);
  return kx_iptostring_ip6_u32(a.w, text, sizeof text);
}

kx_msg_t *new_msg(uint32_t type) { return kx_msg_new(type); }

void Msgs::push_back(kx_msg_t *m) {
  flush();
  held_ = m;
}

void Msgs::flush() {
  if (!held_) return;
  if (!overflowed_ && !kx_msg_write_to_ringbuf(rb_, held_)) overflowed_ = true;
  kx_msg_free(held_);
  held_ = nullptr;
}

Batch::Batch(uint32_t type, Msgs *out)
    : type_(type), out_(out), head_(kx_msg_new(type)), rec_(kx_msg_new(type)) {}

Batch::~Batch() {
  flush();
  kx_msg_free(head_);
  kx_msg_free(rec_);
}

void Batch::end() {
  if (!cur_) {
    cur_ = kx_msg_new(type_);
    kx_msg_put_data(cur_, head_->data, head_->len);
  }
  if (!kx_msg_put_data(cur_, rec_->data, rec_->len)) {
    flush();
    cur_ = kx_msg_new(type_);
    kx_msg_put_data(cur_, head_->data, head_->len);
    // A record never exceeds one message: the encoders keep them small.
    KX_BUG_ON(!kx_msg_put_data(cur_, rec_->data, rec_->len), "record of %u bytes", (unsigned)rec_->len);
  }
  rec_->len = 0;
}

void Batch::flush() {
  if (cur_) out_->push_back(cur_);
  cur_ = nullptr;
}

}  // namespace sim
