// LocalClient: the client for this machine. No Python here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "client.hpp"

namespace tarnwistle {

inline constexpr std::uint64_t DEFAULT_MAX_TRANSFER_BYTES = 16777216;
inline constexpr std::uint64_t MAX_TRANSFER_BYTES_LIMIT = 268435456;

struct LocalClient {
  std::string cwd;  // absolute working directory (bytes)
  std::uint64_t max_transfer_bytes = DEFAULT_MAX_TRANSFER_BYTES;
};

Result<LocalClient> new_native(std::optional<std::string> cwd, std::uint64_t max_transfer_bytes);

// Absolute, normalised form of `path` against the client's cwd; never fails.
std::string resolve_native(const LocalClient& client, std::string_view path);

}  // namespace tarnwistle
