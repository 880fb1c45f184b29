#include "fd.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace tarnwistle {

ssize_t read_retry(int fd, char* buf, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, buf, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // no progress: stop instead of spinning
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

std::string random_name_chars(std::size_t count) {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 engine{std::random_device{}()};
  std::uniform_int_distribution<int> pick(0, 61);
  std::string out(count, 'A');
  for (char& c : out) c = ALPHABET[pick(engine)];
  return out;
}

namespace {

std::string child_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out.append(name);
  return out;
}

}  // namespace

TempDir& TempDir::operator=(TempDir&& o) noexcept {
  if (this != &o) {
    remove();
    path_ = std::exchange(o.path_, std::string());
    files_ = std::move(o.files_);
  }
  return *this;
}

const std::string& TempDir::add_file(std::string_view name) {
  return files_.emplace_back(child_path(path_, name));
}

void TempDir::remove() noexcept {
  if (path_.empty()) return;
  for (const std::string& file : files_) ::unlink(file.c_str());
  if (::rmdir(path_.c_str()) != 0) {  // something unknown inside (an ssh master's socket)
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  path_.clear();
  files_.clear();
}

std::optional<TempDir> make_temp_dir(std::string_view parent, std::string_view prefix,
                                     unsigned mode, int& err) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string path = child_path(parent, std::string(prefix) + random_name_chars(6));
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return TempDir(std::move(path));
    if (errno != EEXIST) {
      err = errno;
      return std::nullopt;
    }
  }
  err = EEXIST;
  return std::nullopt;
}

std::string system_temp_dir() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? std::string(tmp) : std::string("/tmp");
}

}  // namespace tarnwistle
