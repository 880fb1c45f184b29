// Process-wide constants and the call token. No Python here.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tarnwistle {

// Makes call tokens unique within the process; the value before the increment is used.
extern std::atomic<std::uint64_t> TOKEN_COUNTER;

// Lower-case hex of the process id, the wall-clock time in ns and the next TOKEN_COUNTER
// value, written one after the other without padding. Fresh on every call.
std::string call_token();

}  // namespace tarnwistle
