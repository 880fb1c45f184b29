// LocalClient: the client for this machine. No Python here; call everything with the GIL
// released. Paths are byte strings; messages name the path as the caller wrote it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"
#include "fd.hpp"
#include "fs.hpp"

namespace tarnwistle {

struct LocalClient {
  std::string cwd;  // absolute working directory (bytes)
  std::uint64_t max_transfer_bytes = DEFAULT_MAX_TRANSFER_BYTES;
};

// A client for `cwd` (nullopt or empty: the process's current directory). A limit outside
// 1..268435456 is an InvalidValue error; a working directory that does not exist is accepted.
Result<LocalClient> new_native(std::optional<std::string> cwd, std::uint64_t max_transfer_bytes);

// Absolute form of `path` against the client's cwd: home expanded, canonical when the path
// exists, lexically normalised otherwise. Never fails; the result may hold invalid UTF-8.
std::string resolve_native(const LocalClient& client, std::string_view path);

// "LocalClient(cwd=\"...\")"
std::string local_client_repr(const LocalClient& client);

// ---- reads --------------------------------------------------------------------------------

// A whole file, at most max_transfer_bytes (also for files whose size lstat cannot tell), read
// in two steps so that the bytes can go straight into storage the caller makes once it knows
// their number. `op` names the operation in the messages ("read_text failed: ..." for
// read_text). open_whole_read makes the checks up to the open; `size` is the file's size then.
struct WholeRead {
  Fd fd;
  std::uint64_t size = 0;
};
Result<WholeRead> open_whole_read(const LocalClient& client, std::string_view path,
                                  std::string_view op);
// Fills `first` (at most `size` bytes) and reads what follows them into `more` (a file that
// grew since, or one whose size lstat cannot tell); the bytes put into `first`. Errors as for
// open_whole_read, the limit checked on the whole.
Result<std::size_t> read_whole(const LocalClient& client, WholeRead& file, std::span<char> first,
                               std::string& more, std::string_view path, std::string_view op);

// read_local_window on the resolved path; `limit` must be > 0 (checked by the caller).
Result<TextWindow> read_text_window_native(const LocalClient& client, std::string_view path,
                                           std::int64_t offset, std::uint64_t limit);

// ---- writes, deletes, directories ---------------------------------------------------------

// Writes `data` to a temporary file beside the target and renames it over the target, with
// the version and create-only checks under the path's mutex. The FileInfo of the file this call
// installed, taken from its descriptor: not of whatever the path names after the rename.
// `op` names the operation in its failure messages; conflicts read "write conflict: ...".
Result<FileInfo> write_bytes_atomic_native(const LocalClient& client, std::string_view path,
                                           std::string_view data,
                                           const std::optional<std::string>& expected_version,
                                           bool create_only,
                                           std::string_view op = "write_bytes");

// Removes the file at `path` if it exists and (when given) still has `expected_version`.
Result<void> delete_if_version_native(const LocalClient& client, std::string_view path,
                                      const std::optional<std::string>& expected_version);

Result<void> mkdir_native(const LocalClient& client, std::string_view path, bool parents,
                          bool exist_ok);

// ---- the stat family ----------------------------------------------------------------------

Result<FileInfo> stat_native(const LocalClient& client, std::string_view path);

// ---- seams for the native tests -----------------------------------------------------------

namespace local_detail {

// Stand-ins for another process acting inside a write, both called under the path's mutex:
// after the checks and before the temporary file is installed, and right after the install.
struct WriteSeams {
  std::function<void()> before_install = {};
  std::function<void()> after_install = {};
};

Result<FileInfo> write_bytes_atomic(const LocalClient& client, std::string_view path,
                                    std::string_view data,
                                    const std::optional<std::string>& expected_version,
                                    bool create_only, const WriteSeams& seams,
                                    std::string_view op = "write_bytes");

// Moves `tmp` to `target` unless `target` exists: 0, EEXIST, or the errno of another failure.
// `try_renameat2` false goes straight to the link()+unlink() fallback.
int install_no_replace(const std::string& tmp, const std::string& target, bool try_renameat2);

}  // namespace local_detail

}  // namespace tarnwistle
