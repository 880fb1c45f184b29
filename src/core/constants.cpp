#include "constants.hpp"

#include <unistd.h>

#include <chrono>

namespace tarnwistle {

std::atomic<std::uint64_t> TOKEN_COUNTER{0};

namespace {

void append_hex(std::string& out, unsigned __int128 value) {
  static constexpr char HEX[] = "0123456789abcdef";
  char digits[32];
  int n = 0;
  do {
    digits[n++] = HEX[static_cast<unsigned>(value & 0xF)];
    value >>= 4;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

}  // namespace

std::string call_token() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  std::string token;
  token.reserve(48);
  append_hex(token, static_cast<std::uint32_t>(::getpid()));
  append_hex(token, ns > 0 ? static_cast<unsigned __int128>(ns) : 0);
  append_hex(token, TOKEN_COUNTER.fetch_add(1, std::memory_order_relaxed));
  return token;
}

}  // namespace tarnwistle
