#include "local.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "fd.hpp"
#include "paths.hpp"
#include "text.hpp"

namespace tarnwistle {

namespace {

// Stands in for an errno when a path given to the system holds a NUL byte.
constexpr int NUL_BYTE_ERROR = -1;

std::string reason_text(int err) {
  return err == NUL_BYTE_ERROR ? std::string(NUL_IN_PATH) : os_error_text(err);
}

// from_io, also for the NUL-byte stand-in (a General error).
CoreError io_error(std::string_view operation, std::string_view path, int err) {
  if (err == NUL_BYTE_ERROR) return nul_path_error(operation, path);
  return from_io(operation, path, err);
}

bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

// The canonical form of an existing path, else its lexical normal form.
std::string canonical_or_lexical(const std::string& path) {
  if (!has_nul(path)) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (real) return std::string(real.get());
  }
  return lexical_normalize(path);
}

Result<std::string> current_directory() {
  std::string buf(256, '\0');
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) {
      buf.resize(std::char_traits<char>::length(buf.c_str()));
      return buf;
    }
    if (errno != ERANGE) {
      return general_error(concat({"cannot resolve current directory: ", os_error_text(errno)}));
    }
    buf.resize(buf.size() * 2);
  }
}

// The lexical parent: "/a/b" -> "/a", "/a" -> "/", "a" -> "", "/" -> none.
std::optional<std::string_view> parent_of(std::string_view path) {
  if (path.empty() || path == "/") return std::nullopt;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string_view();
  return path.substr(0, slash == 0 ? 1 : slash);
}

bool is_dir_following(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates `dir` and its missing ancestors (mode 0777 before umask). 0 when `dir` ends up a
// directory, else the errno of the failing step; an existing non-directory fails.
int create_dir_all(std::string_view dir) {
  if (dir.empty()) return 0;
  if (has_nul(dir)) return NUL_BYTE_ERROR;
  const std::string c_dir(dir);
  if (::mkdir(c_dir.c_str(), 0777) == 0) return 0;
  int err = errno;
  if (err != ENOENT) return is_dir_following(c_dir) ? 0 : err;
  const std::optional<std::string_view> parent = parent_of(dir);
  if (!parent) return err;
  if (const int parent_err = create_dir_all(*parent); parent_err != 0) return parent_err;
  if (::mkdir(c_dir.c_str(), 0777) == 0) return 0;
  err = errno;
  return is_dir_following(c_dir) ? 0 : err;
}

// The usual case, an existing parent, costs one stat instead of a failing mkdir and a stat.
int ensure_dir(std::string_view dir) {
  if (dir.empty()) return 0;
  if (!has_nul(dir) && is_dir_following(std::string(dir))) return 0;
  return create_dir_all(dir);
}

// One mutex per hash bucket of resolved paths, for the life of the process. Operations lock
// exactly one entry, so they cannot deadlock with one another.
std::mutex& path_mutex(std::string_view resolved) {
  static std::mutex PATH_LOCKS[128];
  return PATH_LOCKS[std::hash<std::string_view>{}(resolved) & 127];
}

CoreError conflict(std::string_view what, std::string_view path, std::string_view detail) {
  return make_error(CoreErrorKind::Conflict, concat({what, " conflict: ", path, ": ", detail}));
}

CoreError version_conflict(std::string_view what, std::string_view path,
                           const std::string& expected, const std::optional<std::string>& found) {
  return conflict(what, path,
                  concat({"expected version ", debug_quote(expected), ", found ",
                          optional_text_repr(found)}));
}

}  // namespace

// ---- construction and paths ---------------------------------------------------------------

Result<LocalClient> new_native(std::optional<std::string> cwd, std::uint64_t max_transfer_bytes) {
  if (max_transfer_bytes == 0 || max_transfer_bytes > MAX_TRANSFER_BYTES_LIMIT) {
    return invalid_value("max_transfer_bytes must be between 1 and 268435456");
  }
  std::string candidate = expand_home(cwd && !cwd->empty() ? std::string_view(*cwd) : ".");
  if (!candidate.starts_with('/')) {
    Result<std::string> current = current_directory();
    if (!current.ok()) return std::move(current.error());
    join_into(*current, candidate);
    candidate = std::move(*current);
  }
  return LocalClient{canonical_or_lexical(candidate), max_transfer_bytes};
}

namespace {

// `path` with the home expanded, made absolute against the client's cwd; not yet resolved.
std::string absolute_path(const LocalClient& client, std::string_view path) {
  std::string expanded = expand_home(path);
  if (expanded.starts_with('/')) return expanded;
  std::string joined = client.cwd;
  join_into(joined, expanded);
  return joined;
}

}  // namespace

std::string resolve_native(const LocalClient& client, std::string_view path) {
  return canonical_or_lexical(absolute_path(client, path));
}

std::string local_client_repr(const LocalClient& client) {
  return concat({"LocalClient(cwd=", debug_quote(utf8_lossy(client.cwd)), ")"});
}

// ---- reads --------------------------------------------------------------------------------

namespace {

// Reads the rest of `fd` into `out`, at most `cap` + 1 bytes, so that a file without a
// meaningful size (a device, a /proc file) cannot grow the buffer past the limit. Most files
// are at their end already: a small read on the stack finds that out before `out` is given
// any storage. Returns 0 or errno.
int read_rest(int fd, std::uint64_t cap, std::string& out) {
  const std::uint64_t most = cap + 1;
  char probe[512];
  const ssize_t n = read_retry(
      fd, probe, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof probe, most)));
  if (n < 0) return errno;
  out.assign(probe, static_cast<std::size_t>(n));
  std::size_t total = out.size();
  if (n == 0 || total >= most) return 0;
  out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(most, total + 8192)));
  for (;;) {
    if (total == out.size()) {
      if (total >= most) break;
      out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(out.size() * 2, most)));
    }
    const ssize_t got = read_retry(fd, out.data() + total, out.size() - total);
    if (got < 0) return errno;
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  out.resize(total);
  return 0;
}

CoreError read_limit_error(std::string_view op, std::string_view path, std::uint64_t size,
                           std::uint64_t max) {
  return make_error(CoreErrorKind::TransferLimit,
                    concat({op, " failed: ", path, ": file size ", std::to_string(size),
                            " exceeds the configured transfer limit of ", std::to_string(max),
                            " bytes"}));
}

}  // namespace

Result<WholeRead> open_whole_read(const LocalClient& client, std::string_view path,
                                  std::string_view op) {
  const std::string resolved = resolve_native(client, path);
  Result<FileInfo> info = local_file_info(resolved, path);
  if (!info.ok()) return std::move(info.error());
  if (!info->exists) {
    return make_error(CoreErrorKind::NotFound,
                      concat({op, " failed: ", path, ": file does not exist"}));
  }
  const std::uint64_t max = client.max_transfer_bytes;
  if (info->size > max) return read_limit_error(op, path, info->size, max);
  Fd fd(::open(resolved.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return from_io(op, path, errno);
  return WholeRead{std::move(fd), info->size};
}

Result<std::size_t> read_whole(const LocalClient& client, WholeRead& file, std::span<char> first,
                               std::string& more, std::string_view path, std::string_view op) {
  more.clear();
  std::size_t filled = 0;
  while (filled < first.size()) {
    const ssize_t n = read_retry(file.fd.get(), first.data() + filled, first.size() - filled);
    if (n < 0) return from_io(op, path, errno);
    if (n == 0) return filled;  // it shrank
    filled += static_cast<std::size_t>(n);
  }
  const std::uint64_t max = client.max_transfer_bytes;
  if (const int err = read_rest(file.fd.get(), max - filled, more); err != 0) {
    return from_io(op, path, err);
  }
  if (filled + more.size() > max) return read_limit_error(op, path, filled + more.size(), max);
  return filled;
}

Result<TextWindow> read_text_window_native(const LocalClient& client, std::string_view path,
                                           std::int64_t offset, std::uint64_t limit) {
  const std::string resolved = resolve_native(client, path);
  return read_local_window(resolved, path, offset, limit, client.max_transfer_bytes);
}

// ---- writes -------------------------------------------------------------------------------

namespace {

constexpr int TEMP_ATTEMPTS = 65536;

// ".tarnwistle-XXXXXX.tmp" with six characters drawn uniformly from [A-Za-z0-9].
std::string temp_name() { return concat({".tarnwistle-", random_name_chars(6), ".tmp"}); }

// A temporary file that is removed unless committed.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  ~TempFile() {
    fd_ = Fd();
    if (!path_.empty() && !committed_) ::unlink(path_.c_str());
  }

  // Creates a fresh file in `dir` with O_EXCL and mode 0600: 0, an errno, or EEXIST after
  // every attempt collided.
  int create(std::string_view dir) {
    for (int attempt = 0; attempt < TEMP_ATTEMPTS; ++attempt) {
      std::string path(dir);
      join_into(path, temp_name());
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) {
        fd_ = Fd(fd);
        path_ = std::move(path);
        return 0;
      }
      if (errno != EEXIST) {
        path_ = std::move(path);  // named in the message; nothing to remove
        committed_ = true;
        return errno;
      }
    }
    return EEXIST;
  }

  // Closes the descriptor before the install: 0 or the errno of a failed close, which can
  // be the first report of a failed write on some file systems.
  int close() {
    const int fd = fd_.release();
    return ::close(fd) == 0 ? 0 : errno;
  }
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  void commit() { committed_ = true; }

 private:
  Fd fd_;
  std::string path_;
  bool committed_ = false;
};

// The operation a write is reported as and the caller's spelling of its path.
struct Naming {
  std::string_view op;
  std::string_view path;
};

// A temporary-file failure names the file (or, when no name was free, the directory).
CoreError temp_file_error(const Naming& n, int err, std::string_view where) {
  CoreError error = from_io(n.op, n.path, err);
  error.message += " at path ";
  error.message += debug_quote(utf8_lossy(where));
  return error;
}

CoreError temp_names_exhausted(const Naming& n, std::string_view dir) {
  return general_error(concat({n.op, " failed: ", n.path,
                               ": too many temporary files exist at path ",
                               debug_quote(utf8_lossy(dir))}));
}

CoreError content_limit_error(const Naming& n, std::size_t size, std::uint64_t max) {
  return make_error(CoreErrorKind::TransferLimit,
                    concat({n.op, " failed: ", n.path, ": content size ", decimal(size),
                            " exceeds the configured transfer limit of ", decimal(max),
                            " bytes"}));
}

// The checks that run under the path's mutex; the current mode is handed back.
Result<void> check_target(const std::string& resolved, std::string_view path,
                          const std::optional<std::string>& expected_version, bool create_only,
                          mode_t& mode) {
  Result<FileInfo> current = local_file_info(resolved, path, mode);
  if (!current.ok()) return std::move(current.error());
  if (create_only && current->exists) {
    return conflict("write", path, "destination already exists");
  }
  if (expected_version && current->version != expected_version) {
    return version_conflict("write", path, *expected_version, current->version);
  }
  return {};
}

// Fills a fresh temporary file in `dir` with `data` and the target's permission bits, and
// describes it from its descriptor: the same inode, size and times the path shows once the
// rename is done, while a writer outside this process may replace it at any moment after.
Result<struct stat> write_temp(TempFile& tmp, std::string_view dir, std::string_view data,
                               mode_t mode, const Naming& n) {
  if (const int err = tmp.create(dir); err != 0) {
    return err == EEXIST ? temp_names_exhausted(n, dir) : temp_file_error(n, err, tmp.path());
  }
  if (const int err = write_all(tmp.fd(), data); err != 0) {
    return temp_file_error(n, err, tmp.path());
  }
  // Only a regular file passes its bits on: a link's 0777 would make the new file writable
  // by everyone (fchmod ignores the umask).
  if (S_ISREG(mode) && ::fchmod(tmp.fd(), mode & 07777) != 0) {
    return from_io(n.op, n.path, errno);
  }
  struct stat written;
  if (::fstat(tmp.fd(), &written) != 0) return from_io(n.op, n.path, errno);
  if (const int err = tmp.close(); err != 0) return temp_file_error(n, err, tmp.path());
  return written;
}

// Installs the written temporary file at `resolved`; a create-only install never replaces.
Result<void> install(TempFile& tmp, const std::string& resolved, const Naming& n,
                     bool create_only) {
  if (!create_only) {
    if (::rename(tmp.path().c_str(), resolved.c_str()) != 0) return from_io(n.op, n.path, errno);
  } else if (const int err = local_detail::install_no_replace(tmp.path(), resolved, true);
             err != 0) {
    if (err == EEXIST) return conflict("write", n.path, "destination already exists");
    return from_io(n.op, n.path, err);
  }
  tmp.commit();
  return {};
}

}  // namespace

namespace local_detail {

int install_no_replace(const std::string& tmp, const std::string& target, bool try_renameat2) {
  if (try_renameat2) {
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      return 0;
    }
    const int err = errno;
    // Only a file system that refuses the flag falls back; EEXIST and the rest are answers.
    if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP) return err;
  }
  if (::link(tmp.c_str(), target.c_str()) != 0) return errno;
  ::unlink(tmp.c_str());  // the target is in place; the caller's guard finds nothing left
  return 0;
}

Result<FileInfo> write_bytes_atomic(const LocalClient& client, std::string_view path,
                                    std::string_view data,
                                    const std::optional<std::string>& expected_version,
                                    bool create_only, const WriteSeams& seams,
                                    std::string_view op) {
  const Naming n{op, path};
  if (data.size() > client.max_transfer_bytes) {
    return content_limit_error(n, data.size(), client.max_transfer_bytes);
  }
  const std::string resolved = resolve_native(client, path);
  const std::optional<std::string_view> parent = parent_of(resolved);
  if (parent) {
    if (const int err = ensure_dir(*parent); err != 0) return io_error(op, path, err);
  }
  std::lock_guard<std::mutex> lock(path_mutex(resolved));
  mode_t mode = 0;
  if (Result<void> checked = check_target(resolved, path, expected_version, create_only, mode);
      !checked.ok()) {
    return std::move(checked.error());
  }
  const std::string_view dir = parent && !parent->empty() ? *parent : std::string_view(".");
  TempFile tmp;
  Result<struct stat> written = write_temp(tmp, dir, data, mode, n);
  if (!written.ok()) return std::move(written.error());
  if (seams.before_install) seams.before_install();
  if (Result<void> installed = install(tmp, resolved, n, create_only); !installed.ok()) {
    return std::move(installed.error());
  }
  if (seams.after_install) seams.after_install();
  return describe_stat(*written);
}

}  // namespace local_detail

Result<FileInfo> write_bytes_atomic_native(const LocalClient& client, std::string_view path,
                                           std::string_view data,
                                           const std::optional<std::string>& expected_version,
                                           bool create_only, std::string_view op) {
  return local_detail::write_bytes_atomic(client, path, data, expected_version, create_only, {},
                                          op);
}

// ---- deletes and directories --------------------------------------------------------------

Result<void> delete_if_version_native(const LocalClient& client, std::string_view path,
                                      const std::optional<std::string>& expected_version) {
  const std::string resolved = resolve_native(client, path);
  std::lock_guard<std::mutex> lock(path_mutex(resolved));
  Result<FileInfo> current = local_file_info(resolved, path);
  if (!current.ok()) return std::move(current.error());
  if (!current->exists) {
    return make_error(CoreErrorKind::NotFound,
                      concat({"delete failed: ", path, ": file does not exist"}));
  }
  if (expected_version && current->version != expected_version) {
    return version_conflict("delete", path, *expected_version, current->version);
  }
  if (::unlink(resolved.c_str()) != 0) return from_io("delete", path, errno);
  return {};
}

Result<void> mkdir_native(const LocalClient& client, std::string_view path, bool parents,
                          bool exist_ok) {
  const std::string resolved = resolve_native(client, path);
  auto fail = [&](std::string_view reason) {
    return general_error(concat({"mkdir failed: ", path, ": ", reason}));
  };
  if (has_nul(resolved)) return fail(NUL_IN_PATH);
  if (parents) {
    struct stat st;
    if (!exist_ok && ::stat(resolved.c_str(), &st) == 0) return fail("already exists");
    if (const int err = create_dir_all(resolved); err != 0) return fail(reason_text(err));
    return {};
  }
  if (::mkdir(resolved.c_str(), 0777) == 0) return {};
  const int err = errno;
  if (exist_ok && err == EEXIST && is_dir_following(resolved)) return {};
  return fail(os_error_text(err));
}

// ---- the stat family ----------------------------------------------------------------------

Result<FileInfo> stat_native(const LocalClient& client, std::string_view path) {
  // When stat succeeds, every component resolved and the links were followed to the end, so it
  // returns what lstat of the canonical path would, in one call instead of one per component.
  // Anything else (missing paths, dangling links, errors) takes the full resolution.
  const std::string absolute = absolute_path(client, path);
  struct stat st;
  if (!has_nul(absolute) && ::stat(absolute.c_str(), &st) == 0) return describe_stat(st);
  return local_file_info(canonical_or_lexical(absolute), path);
}

}  // namespace tarnwistle
