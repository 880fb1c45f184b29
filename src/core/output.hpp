// Bounded head-and-tail capture of one output stream. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwistle {

// ---- kept buffers ----------------------------------------------------------------------------

// A large buffer that a call builds and drops (a captured stream, an edited text) is kept for
// the next call: a fresh one of a megabyte would pay for its pages on every call, since glibc
// hands large freed blocks, and the top of the heap, back to the system. The process keeps
// up to KEPT_COUNT of them, each of KEPT_MIN to KEPT_MAX bytes and KEPT_TOTAL together.
constexpr std::size_t KEPT_MIN = std::size_t{64} << 10;
constexpr std::size_t KEPT_MAX = std::size_t{4} << 20;
constexpr std::size_t KEPT_TOTAL = std::size_t{8} << 20;
constexpr std::size_t KEPT_COUNT = 4;

// An empty buffer with room for at least `capacity` bytes (KEPT_MIN to KEPT_MAX): the smallest
// kept one that has it, else an empty string with no storage. Any thread.
std::string take_kept_buffer(std::size_t capacity);
// Gives back a buffer no longer needed, its bytes dropped; kept when it fits the bounds above
// (displacing a smaller one when they are full). Any thread.
void keep_buffer(std::string&& used);

// ---- one stream --------------------------------------------------------------------------

// Keeps the first limit/2 bytes of a stream and its last limit - limit/2 bytes, and counts all
// of them. What is kept depends only on the concatenated stream, never on how it was chunked.
// No locking of its own: the process runner guards each instance with a mutex.
class HeadTailBytes {
 public:
  explicit HeadTailBytes(std::uint64_t limit) : limit_(limit) {}
  HeadTailBytes(const HeadTailBytes&) = delete;
  HeadTailBytes& operator=(const HeadTailBytes&) = delete;
  ~HeadTailBytes();  // its storage is kept for the next stream

  // Adds the next chunk of the stream. An empty chunk changes nothing, not even the total.
  void append(std::string_view data);

  // Room for the next bytes of the stream, to be read straight into the buffer: at most
  // `max` bytes where append would put them (empty when nothing more is kept in place). After
  // writing n of them there, commit(n) accounts for them exactly as append of those bytes
  // would; nothing else may touch the buffer in between. May throw std::bad_alloc.
  std::span<char> space(std::size_t max);
  void commit(std::size_t n);

  // Head, the omission marker when bytes were left out, then tail; one allocation.
  std::string display_bytes() const;
  // The same, built in the head's own storage, leaving the buffer empty: for a buffer that
  // nothing reads or appends to any more.
  std::string take_display();
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
  // The last space(): where it was and how many bytes it offered.
  enum class Room { Head, FillingRing, FullRing } room_ = Room::Head;
  std::size_t pending_ = 0;
  std::uint64_t limit_;
  std::uint64_t total_ = 0;
};

// "\n... [truncated, {omitted} bytes omitted] ...\n"
std::string omission_marker(std::uint64_t omitted);

// Takes one line out of a byte stream before it is captured: from the first occurrence of
// `marker` to the next '\n' (or the end of the stream). Bytes pass on as soon as they cannot
// belong to that line, so only a possible start of it is ever held back, and never more than
// HELD_LIMIT bytes: past that the line is given up on and the stream passes unchanged. What
// passes, and the line, depend only on the concatenated stream, not on its chunking.
class LineTap {
 public:
  static constexpr std::size_t HELD_LIMIT = 65536;
  explicit LineTap(std::string marker) : marker_(std::move(marker)), done_(marker_.empty()) {}

  // The bytes that pass on now; valid until the next call.
  std::string_view feed(std::string_view chunk);
  // At the end of the stream: what was still held back.
  std::string_view finish();

  const std::string& line() const { return line_; }  // "" until found; its '\n' included
  std::string_view held() const { return pending_; }  // held back so far

 private:
  std::string_view pass_held(std::size_t keep_from);

  std::string marker_;
  std::string pending_;
  std::string out_;
  std::string line_;
  std::size_t line_at_ = std::string::npos;  // where the marker starts in pending_
  bool done_;
};

}  // namespace tarnwistle
