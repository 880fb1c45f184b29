// What Python reaches poorly: a file created by another process between the create-only
// check and the install, the link() fallback, and the path-lock table under contention.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "local.hpp"
#include "paths.hpp"

namespace tarnwistle {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = ::testing::TempDir() + "local_test_XXXXXX";
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    const std::string command = "rm -rf '" + path_ + "'";
    (void)std::system(command.c_str());
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void spit(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Names in `dir` that look like our temporary files.
std::vector<std::string> temp_files(const std::string& dir) {
  std::vector<std::string> found;
  DIR* d = ::opendir(dir.c_str());
  while (dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    if (name.starts_with(".tarnwistle-") && name.ends_with(".tmp")) found.push_back(name);
  }
  ::closedir(d);
  return found;
}

LocalClient client_in(const TempDir& dir) {
  Result<LocalClient> client = new_native(dir.path(), DEFAULT_MAX_TRANSFER_BYTES);
  EXPECT_TRUE(client.ok());
  return *client;
}

TEST(CreateOnly, TargetAppearingBeforeInstallSurvivesAndConflicts) {
  TempDir dir;
  const LocalClient client = client_in(dir);
  const std::string target = dir.file("new.txt");
  // Plays the other process: the target did not exist at the check, it does at the install.
  auto other_process_creates = [&] { spit(target, "theirs"); };
  Result<FileInfo> result = local_detail::write_bytes_atomic(
      client, "new.txt", "ours", std::nullopt, true, {.before_install = other_process_creates});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, CoreErrorKind::Conflict);
  EXPECT_EQ(result.error().message, "write conflict: new.txt: destination already exists");
  EXPECT_EQ(slurp(target), "theirs");
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST(CreateOnly, WithoutTheRaceTheFileIsCreated) {
  TempDir dir;
  const LocalClient client = client_in(dir);
  Result<FileInfo> result =
      local_detail::write_bytes_atomic(client, "new.txt", "ours", std::nullopt, true, {});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->kind, "file");
  EXPECT_EQ(slurp(dir.file("new.txt")), "ours");
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST(CreateOnly, PlainWriteStillReplacesAfterTheCheck) {
  // The ordinary write keeps its replace semantics: the last writer wins.
  TempDir dir;
  const LocalClient client = client_in(dir);
  const std::string target = dir.file("f.txt");
  const auto other_process_writes = [&] { spit(target, "theirs"); };
  Result<FileInfo> result = local_detail::write_bytes_atomic(
      client, "f.txt", "ours", std::nullopt, false, {.before_install = other_process_writes});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(slurp(target), "ours");
}

// Another process replaces the file between our rename and our return. The version handed
// back is that of our content, so a follow-up write with it is refused instead of silently
// overwriting content nobody has seen.
TEST(WriteVersion, DescribesTheInstalledFileNotTheReplacement) {
  TempDir dir;
  const LocalClient client = client_in(dir);
  const std::string target = dir.file("f.txt");
  spit(target, "start");
  std::optional<std::string> ours, theirs;
  const auto other_process_replaces = [&] {
    ours = local_file_info(target, "f.txt")->version;
    spit(dir.file("other"), "theirs, unseen");
    ASSERT_EQ(::rename(dir.file("other").c_str(), target.c_str()), 0);
    theirs = local_file_info(target, "f.txt")->version;
  };
  Result<FileInfo> written = local_detail::write_bytes_atomic(
      client, "f.txt", "ours", std::nullopt, false, {.after_install = other_process_replaces});
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(written->version, ours);
  EXPECT_NE(written->version, theirs);
  EXPECT_EQ(written->size, 4u);
  Result<FileInfo> follow_up = write_bytes_atomic_native(client, "f.txt", "next", written->version,
                                                         false);
  ASSERT_FALSE(follow_up.ok());
  EXPECT_EQ(follow_up.error().kind, CoreErrorKind::Conflict);
  EXPECT_EQ(slurp(target), "theirs, unseen");
}

class InstallNoReplace : public ::testing::TestWithParam<bool> {};

TEST_P(InstallNoReplace, NeverReplacesAndMovesOtherwise) {
  const bool try_renameat2 = GetParam();
  TempDir dir;
  const std::string tmp = dir.file(".tarnwistle-abcdef.tmp");
  const std::string target = dir.file("target");
  spit(tmp, "new");
  spit(target, "old");
  EXPECT_EQ(local_detail::install_no_replace(tmp, target, try_renameat2), EEXIST);
  EXPECT_EQ(slurp(target), "old");
  EXPECT_EQ(slurp(tmp), "new");  // still there for the caller to remove

  ASSERT_EQ(::unlink(target.c_str()), 0);
  EXPECT_EQ(local_detail::install_no_replace(tmp, target, try_renameat2), 0);
  EXPECT_EQ(slurp(target), "new");
  EXPECT_NE(::access(tmp.c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(RenameAndLinkFallback, InstallNoReplace, ::testing::Bool());

TEST(PathLocks, VersionCheckAndReplaceAreAtomicPerPath) {
  // Many writers with the same expected version: the lock makes exactly one of them win.
  TempDir dir;
  const LocalClient client = client_in(dir);
  Result<FileInfo> first = write_bytes_atomic_native(client, "f", "0", std::nullopt, false);
  ASSERT_TRUE(first.ok());
  std::atomic<int> winners{0}, conflicts{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&, t] {
      Result<FileInfo> r =
          write_bytes_atomic_native(client, "f", std::to_string(t), first->version, false);
      (r.ok() ? winners : conflicts)++;
      if (!r.ok()) {
        EXPECT_EQ(r.error().kind, CoreErrorKind::Conflict);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(winners.load(), 1);
  EXPECT_EQ(conflicts.load(), 15);
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST(PathLocks, WritersOfManyPathsSharingLockSlotsAllLand) {
  // More paths than lock slots, written from several threads in different orders: slots
  // shared by unrelated paths only serialise them, so every write lands and none is lost.
  TempDir dir;
  const LocalClient client = client_in(dir);
  constexpr int kPaths = 300, kThreads = 4;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPaths; ++i) {
        const int n = (i * 7 + t * 75) % kPaths;
        const std::string name = "p" + std::to_string(n) + "-" + std::to_string(t);
        if (!write_bytes_atomic_native(client, name, name, std::nullopt, false).ok()) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    for (int n = 0; n < kPaths; n += 37) {
      const std::string name = "p" + std::to_string(n) + "-" + std::to_string(t);
      EXPECT_EQ(slurp(dir.file(name)), name);
    }
  }
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST(Paths, LexicalNormalize) {
  EXPECT_EQ(lexical_normalize("/../x"), "/../x");
  EXPECT_EQ(lexical_normalize("/a/b/../../.."), "/..");
  EXPECT_EQ(lexical_normalize("a/../b"), "b");
  EXPECT_EQ(lexical_normalize("../x"), "../x");
  EXPECT_EQ(lexical_normalize("/x/./y/"), "/x/y");
  EXPECT_EQ(lexical_normalize(""), "");
  EXPECT_EQ(lexical_normalize("//"), "/");
}

}  // namespace
}  // namespace tarnwistle
