// What Python reaches poorly: a file created or replaced by another process around the
// install, the link() fallback, and the lock slots shared by unrelated paths.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "local.hpp"

namespace tarnwistle {
namespace {

// A scratch directory for one test, and a client working in it.
struct Scratch {
  static std::string make() {
    std::string pattern = ::testing::TempDir() + "local_test_XXXXXX";
    return ::mkdtemp(pattern.data());
  }
  ~Scratch() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return path + "/" + name; }
  const std::string path = make();
  const LocalClient client = *new_native(path, DEFAULT_MAX_TRANSFER_BYTES);
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void spit(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Names in `dir` that look like our temporary files.
std::vector<std::string> temp_files(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    if (name.starts_with(".tarnwistle-") && name.ends_with(".tmp")) found.push_back(name);
  }
  return found;
}

// Plays another process that writes the target after the create-only check, before the
// install: a create-only write then refuses and leaves their file, a plain one replaces it.
TEST(CreateOnly, TargetAppearingBeforeInstallSurvivesOnlyACreateOnlyWrite) {
  for (const bool create_only : {true, false}) {
    Scratch dir;
    const LocalClient& client = dir.client;
    const std::string target = dir.file("new.txt");
    const auto other_process_creates = [&] { spit(target, "theirs"); };
    Result<FileInfo> result = local_detail::write_bytes_atomic(
        client, "new.txt", "ours", std::nullopt, create_only,
        {.before_install = other_process_creates});
    EXPECT_EQ(slurp(target), create_only ? "theirs" : "ours");
    EXPECT_TRUE(temp_files(dir.path).empty());
    ASSERT_EQ(result.ok(), !create_only);
    if (!create_only) continue;
    EXPECT_EQ(result.error().kind, CoreErrorKind::Conflict);
    EXPECT_EQ(result.error().message, "write conflict: new.txt: destination already exists");
  }
}

// Another process replaces the file between our rename and our return. The version handed
// back is that of our content, so a follow-up write with it is refused instead of silently
// overwriting content nobody has seen.
TEST(WriteVersion, DescribesTheInstalledFileNotTheReplacement) {
  Scratch dir;
  const LocalClient& client = dir.client;
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
  Scratch dir;
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

TEST(PathLocks, WritersOfManyPathsSharingLockSlotsAllLand) {
  // More paths than lock slots, written from several threads in different orders: slots
  // shared by unrelated paths only serialise them, so every write lands and none is lost.
  Scratch dir;
  const LocalClient& client = dir.client;
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
  EXPECT_TRUE(temp_files(dir.path).empty());
}

}  // namespace
}  // namespace tarnwistle
