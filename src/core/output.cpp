#include "output.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <span>
#include <vector>

namespace tarnwistle {

namespace {

struct Kept {
  std::mutex mutex;
  std::vector<std::string> buffers;  // under mutex
  std::size_t total = 0;             // their capacities, under mutex
};

// Never destroyed: a reader thread let go by its call may give its buffer back at exit.
Kept& kept() {
  static Kept* const KEPT = new Kept;
  return *KEPT;
}

// Room for `capacity` bytes in `buf`, its bytes kept: in a kept buffer when one fits.
void grow(std::string& buf, std::size_t capacity) {
  if (buf.capacity() >= capacity) return;
  std::string roomy = capacity >= KEPT_MIN ? take_kept_buffer(capacity) : std::string();
  if (roomy.capacity() < capacity) {
    buf.reserve(capacity);
    return;
  }
  roomy.append(buf);
  keep_buffer(std::move(buf));
  buf = std::move(roomy);
}

// Makes room for `needed` bytes in `buf`, growing geometrically but never past `cap`, so a
// small stream never pays for a large limit and a large one never holds twice its limit.
void reserve_within(std::string& buf, std::size_t needed, std::uint64_t cap) {
  if (buf.capacity() >= needed) return;
  const std::uint64_t doubled = std::max<std::uint64_t>(buf.capacity() * 2, 4096);
  const std::uint64_t wanted = std::max<std::uint64_t>(doubled, needed);
  grow(buf, static_cast<std::size_t>(std::min<std::uint64_t>(wanted, cap)));
}

}  // namespace

std::string take_kept_buffer(std::size_t capacity) {
  if (capacity < KEPT_MIN || capacity > KEPT_MAX) return std::string();
  Kept& k = kept();
  const std::lock_guard lock(k.mutex);
  auto best = k.buffers.end();
  for (auto it = k.buffers.begin(); it != k.buffers.end(); ++it) {
    const bool fits = it->capacity() >= capacity;
    if (fits && (best == k.buffers.end() || it->capacity() < best->capacity())) best = it;
  }
  if (best == k.buffers.end()) return std::string();
  std::string out = std::move(*best);
  k.buffers.erase(best);
  k.total -= out.capacity();
  return out;
}

void keep_buffer(std::string&& used) {
  const std::size_t size = used.capacity();
  if (size < KEPT_MIN || size > KEPT_MAX) return;
  std::string dropped;  // freed after the lock is let go
  Kept& k = kept();
  const std::lock_guard lock(k.mutex);
  if (k.buffers.size() == KEPT_COUNT || k.total + size > KEPT_TOTAL) {
    // Full (so not empty): a larger buffer displaces the smallest when the total allows.
    const auto smallest = std::min_element(
        k.buffers.begin(), k.buffers.end(),
        [](const std::string& a, const std::string& b) { return a.capacity() < b.capacity(); });
    const std::size_t freed = smallest->capacity();
    if (freed >= size || k.total - freed + size > KEPT_TOTAL) return;
    k.total -= freed;
    dropped = std::move(*smallest);
    k.buffers.erase(smallest);
  }
  used.clear();
  k.total += size;
  k.buffers.push_back(std::move(used));
}

HeadTailBytes::~HeadTailBytes() {
  keep_buffer(std::move(head_));
  keep_buffer(std::move(ring_));
}

std::string omission_marker(std::uint64_t omitted) {
  std::string out = "\n... [truncated, ";
  out += std::to_string(omitted);
  out += " bytes omitted] ...\n";
  return out;
}

void HeadTailBytes::append(std::string_view data) {
  if (data.empty()) return;
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  total_ = data.size() > max - total_ ? max : total_ + data.size();

  const std::uint64_t cap = head_cap();
  const std::uint64_t room = cap > head_.size() ? cap - head_.size() : 0;
  const std::size_t to_head = static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), room));
  if (to_head > 0) {
    reserve_within(head_, head_.size() + to_head, cap);
    head_.append(data.substr(0, to_head));
  }
  if (to_head == data.size() || tail_cap() == 0) return;
  append_tail(data.substr(to_head));
}

void HeadTailBytes::append_tail(std::string_view rest) {
  const std::uint64_t cap = tail_cap();
  if (rest.size() >= cap) {
    rest = rest.substr(rest.size() - static_cast<std::size_t>(cap));
    ring_.assign(rest);
    start_ = 0;
    return;
  }
  if (ring_.size() < cap) {  // still filling: contiguous, start_ == 0
    const std::size_t fill =
        static_cast<std::size_t>(std::min<std::uint64_t>(rest.size(), cap - ring_.size()));
    reserve_within(ring_, ring_.size() + fill, cap);
    ring_.append(rest.substr(0, fill));
    rest.remove_prefix(fill);
    if (rest.empty()) return;
  }
  // Full ring: the new bytes overwrite the oldest ones, in at most two pieces.
  const std::size_t size = ring_.size();
  const std::size_t first = std::min(rest.size(), size - start_);
  std::memcpy(ring_.data() + start_, rest.data(), first);
  std::memcpy(ring_.data(), rest.data() + first, rest.size() - first);
  start_ = (start_ + rest.size()) % size;
}

std::uint64_t HeadTailBytes::omitted() const {
  const std::uint64_t kept = head_.size() + ring_.size();
  return total_ > kept ? total_ - kept : 0;
}

void HeadTailBytes::write_tail(std::string& out) const {
  out.append(std::string_view(ring_).substr(start_));
  out.append(std::string_view(ring_).substr(0, start_));
}

std::string HeadTailBytes::raw_bytes() const {
  std::string out;
  out.reserve(head_.size() + ring_.size());
  out.append(head_);
  write_tail(out);
  return out;
}

std::span<char> HeadTailBytes::space(std::size_t max) {
  const std::uint64_t cap = head_cap(), tail = tail_cap();
  std::string* grown = nullptr;
  std::uint64_t room = 0;
  if (head_.size() < cap) {  // growing the head: the room is at its end
    grown = &head_;
    room = cap - head_.size();
    room_ = Room::Head;
  } else if (ring_.size() < tail) {  // filling the ring: contiguous, start_ == 0
    grown = &ring_;
    room = tail - ring_.size();
    room_ = Room::FillingRing;
  }
  if (grown != nullptr) {
    const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(max, room));
    reserve_within(*grown, grown->size() + k, grown == &head_ ? cap : tail);
    grown->resize(grown->size() + k);
    pending_ = k;
    return std::span<char>(grown->data() + grown->size() - k, k);
  }
  // A full ring: the oldest bytes, up to the ring's end, are the ones to overwrite.
  room_ = Room::FullRing;
  pending_ = std::min(max, ring_.size() - start_);
  return std::span<char>(ring_.data() + start_, pending_);
}

void HeadTailBytes::commit(std::size_t n) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  total_ = n > max - total_ ? max : total_ + n;
  switch (room_) {
    case Room::Head:
      head_.resize(head_.size() - (pending_ - n));
      break;
    case Room::FillingRing:
      ring_.resize(ring_.size() - (pending_ - n));
      break;
    case Room::FullRing:
      if (!ring_.empty()) start_ = (start_ + n) % ring_.size();
      break;
  }
  pending_ = 0;
}

std::string HeadTailBytes::take_display() {
  const std::uint64_t dropped = omitted();
  std::string out = std::move(head_);
  const std::string marker = dropped > 0 ? omission_marker(dropped) : std::string();
  grow(out, out.size() + marker.size() + ring_.size());
  out.append(marker);
  write_tail(out);
  head_.clear();
  ring_.clear();
  start_ = 0;
  return out;
}

std::string HeadTailBytes::display_bytes() const {
  const std::uint64_t dropped = omitted();
  if (dropped == 0) return raw_bytes();
  const std::string marker = omission_marker(dropped);
  std::string out;
  out.reserve(head_.size() + marker.size() + ring_.size());
  out.append(head_);
  out.append(marker);
  write_tail(out);
  return out;
}

// Hands on pending_[0, keep_from) and keeps the rest.
std::string_view LineTap::pass_held(std::size_t keep_from) {
  out_.assign(pending_, 0, keep_from);
  pending_.erase(0, keep_from);
  if (line_at_ != std::string::npos) line_at_ -= keep_from;
  return out_;
}

std::string_view LineTap::feed(std::string_view chunk) {
  if (done_) return chunk;
  const std::size_t old_size = pending_.size();
  pending_.append(chunk);
  if (line_at_ == std::string::npos) {
    // A marker may straddle the previous end: search from where it could have begun.
    const std::size_t from = old_size >= marker_.size() ? old_size - marker_.size() + 1 : 0;
    line_at_ = marker_.empty() ? std::string::npos : pending_.find(marker_, from);
  }
  if (line_at_ == std::string::npos) {
    const std::size_t keep = std::min(pending_.size(), marker_.size() - 1);
    return pass_held(pending_.size() - keep);
  }
  const std::size_t newline = pending_.find('\n', std::max(line_at_, old_size));
  const std::size_t end = newline == std::string::npos ? pending_.size() : newline + 1;
  if (end - line_at_ > HELD_LIMIT) {
    done_ = true;  // no line this long is ours: let everything through
    return pass_held(pending_.size());
  }
  if (newline == std::string::npos) return pass_held(line_at_);
  line_.assign(pending_, line_at_, newline + 1 - line_at_);
  pending_.erase(line_at_, newline + 1 - line_at_);
  done_ = true;
  return pass_held(pending_.size());
}

std::string_view LineTap::finish() {
  if (!done_ && line_at_ != std::string::npos) {
    line_.assign(pending_, line_at_);
    pending_.resize(line_at_);
  }
  done_ = true;
  return pass_held(pending_.size());
}

}  // namespace tarnwistle
