// Bounded head-and-tail capture of one output stream. No Python here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwistle {

// Keeps the first limit/2 bytes of a stream and its last limit - limit/2 bytes, and counts all
// of them. What is kept depends only on the concatenated stream, never on how it was chunked.
// No locking of its own: the process runner guards each instance with a mutex.
class HeadTailBytes {
 public:
  explicit HeadTailBytes(std::uint64_t limit) : limit_(limit) {}

  // Adds the next chunk of the stream. An empty chunk changes nothing, not even the total.
  void append(std::string_view data);

  // Head, the omission marker when bytes were left out, then tail; one allocation.
  std::string display_bytes() const;
  // Head then tail, no marker; one allocation.
  std::string raw_bytes() const;

  std::uint64_t limit() const { return limit_; }
  std::uint64_t total() const { return total_; }  // saturates at the maximum value
  std::uint64_t head_len() const { return head_.size(); }
  std::uint64_t tail_len() const { return ring_.size(); }
  // Bytes given but not kept.
  std::uint64_t omitted() const;

 private:
  std::uint64_t head_cap() const { return limit_ / 2; }
  std::uint64_t tail_cap() const { return limit_ - limit_ / 2; }
  void append_tail(std::string_view rest);
  void write_tail(std::string& out) const;

  std::string head_;
  // Ring of the tail. It grows with start_ == 0 until it holds tail_cap() bytes; from then on
  // it stays full and start_ is the index of the oldest byte, so dropping bytes moves start_
  // instead of shifting memory.
  std::string ring_;
  std::size_t start_ = 0;
  std::uint64_t limit_;
  std::uint64_t total_ = 0;
};

// "\n... [truncated, {omitted} bytes omitted] ...\n"
std::string omission_marker(std::uint64_t omitted);

}  // namespace tarnwistle
