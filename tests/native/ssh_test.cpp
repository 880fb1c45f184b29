// Paths' normal forms, and the remote client's parts no real server reaches: scripts run by a
// local sh on hosts that misbehave, parsers on malformed answers, checks before connecting.
#include "ssh.hpp"
#include "text.hpp"

#include "constants.hpp"
#include "paths.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace tarnwistle {
namespace {

namespace fs = std::filesystem;

ProcessOutput run_sh(const std::string& script, std::optional<std::string> input = std::nullopt,
                     EnvMap env = {}) {
  ProcessRequest request;
  request.program = "/bin/sh";
  request.args = {"-c", script};
  request.stdin_data = std::move(input);
  request.env = std::move(env);
  request.timeout = std::chrono::seconds(20);
  Result<ProcessOutput> out = run_process(std::move(request));
  EXPECT_TRUE(out.ok());
  return out.ok() ? *out : ProcessOutput{};
}

class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tw-ssh-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(std::string_view name) const { return concat({dir_, "/", name}); }
  void write(std::string_view name, std::string_view content) const {
    std::ofstream(path(name), std::ios::binary) << content;
  }
  std::string read(std::string_view name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::string dir_;
};

// ---- paths -------------------------------------------------------------------------------------

TEST(Paths, NormalFormsAndParent) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "."},       {".", "."},          {"/", "/"},          {"//a//b/", "/a/b"},
      {"a/./b/../c", "a/c"}, {"../x", "../x"}, {"a/../../b", "../b"}, {"/../../etc", "/etc"},
      {"~/a/..", "~"}, {"~/..", "."},       {"../..", "../.."},  {"x/..", "."}};
  for (const auto& [in, out] : cases) EXPECT_EQ(normalize_posix(in), out) << in;
  const std::pair<const char*, const char*> parents[] = {
      {"/srv/a.txt", "/srv"}, {"~/a.txt", "~"}, {"/a", "/"}, {"/", "/"}, {"x", ""}};
  for (const auto& [in, out] : parents) EXPECT_EQ(remote_parent(in), out) << in;
  // The local form keeps a ".." that climbs above the root.
  const std::pair<const char*, const char*> local[] = {
      {"/a/b/../../..", "/.."}, {"/../x", "/../x"}, {"../x", "../x"}, {"//", "/"}};
  for (const auto& [in, out] : local) EXPECT_EQ(lexical_normalize(in), out) << in;
}

// ---- the scripts, run by a local shell ----------------------------------------------------------

TEST_F(ScratchDir, WindowScriptNoticesAFileReplacedBetweenCountAndPrint) {
  // An `awk` that lets a writer rename a new version over the file right after the count:
  // the script must not report the old count with the new lines.
  write("w", "old 1\nold 2\n");
  write("next", "new 1\nnew 2\nnew 3\n");
  fs::create_directories(path("bin"));
  write("bin/awk", concat({"#!/bin/sh\n/usr/bin/awk \"$@\"; s=$?; mv -f ", path("next"), " ",
                          path("w"), " 2>/dev/null; exit $s\n"}));
  fs::permissions(path("bin/awk"), fs::perms::owner_all);
  const EnvMap env = {{"PATH", concat({path("bin"), ":", std::getenv("PATH")})}};
  const std::string marker = concat({"__TARNWISTLE_WINDOW_", call_token(), "__"});
  EXPECT_EQ(run_sh(window_script(path("w"), 1, 10, marker), std::nullopt, env).exit_code, 75);
  // Once the file holds still, the same script reads the new version consistently.
  const ProcessOutput again = run_sh(window_script(path("w"), 1, 10, marker), std::nullopt, env);
  ASSERT_EQ(again.exit_code, 0) << again.stderr_data;
  EXPECT_EQ(again.stdout_data, "new 1\nnew 2\nnew 3\n");
  EXPECT_EQ(parse_window_metadata(again.stderr_data, marker, "w")->total, 3u);
}

TEST_F(ScratchDir, WriteScriptRefusesShortInput) {
  write("t", "old");
  // Fewer bytes than announced: what arrives when the sender was stopped half-way.
  const ProcessOutput cut = run_sh(write_script(path("t"), "abc", std::nullopt, false, 10), "12345");
  EXPECT_EQ(cut.exit_code, 1);
  const ProcessOutput whole =
      run_sh(write_script(path("t"), "abd", std::nullopt, false, 10), "0123456789");
  EXPECT_EQ(whole.exit_code, 0) << whole.stderr_data;
  EXPECT_EQ(read("t"), "0123456789");
  // The record of what was installed, as the stat script prints it.
  EXPECT_EQ(whole.stdout_data, run_sh(stat_script(path("t"))).stdout_data);
  EXPECT_TRUE(cut.stdout_data.empty());
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename(), "t");  // no temporary file, no lock left
  }
  // A lock another writer holds, and waits that take no time: the code for a busy path.
  fs::create_directory(path("t.tarnwistle.lock"));
  EXPECT_EQ(run_sh(concat({"sleep() { :; }; ", delete_script(path("t"), std::nullopt)})).exit_code,
            74);
}

TEST_F(ScratchDir, WriteScriptTellsAnInstalledFileItCannotDescribe) {
  // A host without `stat`: a new file is written (its old version needs none), then the
  // description fails with the code the client reports as the describing stat's failure.
  fs::create_directories(path("bin"));
  for (const char* tool : {"sh", "mkdir", "rmdir", "rm", "mv", "cat", "wc", "chmod", "sleep"}) {
    fs::create_symlink(concat({"/bin/", tool}), path(concat({"bin/", tool})));
  }
  const EnvMap env = {{"PATH", path("bin")}};
  const ProcessOutput out =
      run_sh(write_script(path("new"), "abc", std::nullopt, false, 2), std::string("hi"), env);
  EXPECT_EQ(out.exit_code, 47) << out.stderr_data;
  EXPECT_EQ(read("new"), "hi");
  EXPECT_FALSE(fs::exists(path("new.tarnwistle.lock")));
}

// With every descriptor in use, a directory listing cannot be opened: an askpass directory
// must still go, since its one file is known by name.
TEST_F(ScratchDir, TempDirGoesWithoutAFreeDescriptor) {
  int err = 0;
  std::optional<TempDir> empty = make_temp_dir(dir_, "empty-", 0700, err);
  std::optional<TempDir> helper = make_temp_dir(dir_, "helper-", 0700, err);
  ASSERT_TRUE(empty && helper) << err;
  std::ofstream(helper->add_file("askpass.sh")) << "#!/bin/sh\n";
  const std::string paths[] = {empty->path(), helper->path()};

  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> held;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
  const int exhausted = errno;
  empty.reset();
  helper.reset();
  for (int fd : held) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &old);

  EXPECT_EQ(exhausted, EMFILE);
  for (const std::string& path : paths) EXPECT_FALSE(fs::exists(path)) << path;
}

TEST_F(ScratchDir, TerminateScriptReachesEveryDescendant) {
  // Two background children beside a foreground one: each level has siblings to follow. The
  // sleeps carry this process's id, so those of other runs on the machine are not counted.
  const std::string tag = std::to_string(::getpid());
  ProcessRequest request;
  request.program = "/bin/sh";
  request.args = {"-c", concat({"echo $$ > ", path("pid"), "; sleep 101.", tag, " & sleep 102.",
                                tag, " & sleep 103.", tag, "; wait"})};
  request.timeout = std::chrono::seconds(20);
  std::thread tree([&] { (void)run_process(std::move(request)); });
  const std::string count = concat({"ps -eo args= | grep -c '^sleep 10[123]\\.", tag, "$'"});
  const auto sleeping = [&] { return std::stoi(run_sh(count).stdout_data); };
  for (int i = 0; i < 100 && sleeping() != 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(sleeping(), 3);
  const std::int32_t id = std::stoi(read("pid"));
  const ProcessOutput done = run_sh(terminate_script({RemoteProcessKind::Process, id}));
  tree.join();
  EXPECT_EQ(done.exit_code, 0) << done.stderr_data;
  EXPECT_EQ(sleeping(), 0);
}

// ---- parsers --------------------------------------------------------------------------------------

TEST(StatRecord, EdgeCases) {
  EXPECT_FALSE(parse_stat_record("missing", "p")->exists);
  EXPECT_FALSE(parse_stat_record("missing\tanything", "p")->exists);
  Result<FileInfo> padded = parse_stat_record("file\t   12\t5\t0\tremote:file:x", "p");
  ASSERT_TRUE(padded.ok());
  EXPECT_EQ(padded->size, 12u);
  EXPECT_EQ(*padded->modified_ns, 5000000000u);
  EXPECT_EQ(*padded->version, "remote:file:x");
  EXPECT_EQ(parse_stat_record("file\t+7\tnot-a-time\t1\tv", "p")->modified_ns, std::nullopt);
  EXPECT_TRUE(parse_stat_record("symlink\t0\t0\t1\tv", "p")->is_symlink);
  const Result<FileInfo> huge =
      parse_stat_record("file\t1\t340282366920938463463374607431768211455\t0\tv", "p");
  EXPECT_EQ(*huge->modified_ns, ~static_cast<unsigned __int128>(0));
  for (std::string_view bad : {"", "file\t1\t2\t0", "file\t1\t2\t0\tv\textra"}) {
    EXPECT_EQ(parse_stat_record(bad, "p").error().message,
              "SSH stat failed: p: invalid metadata response");
  }
  for (std::string_view bad : {"file\t\t2\t0\tv", "file\t-1\t2\t0\tv",
                               "file\t18446744073709551616\t2\t0\tv", "file\t1x\t2\t0\tv"}) {
    EXPECT_EQ(parse_stat_record(bad, "p").error().message, "SSH stat failed: p: invalid file size");
  }
}

TEST(WindowMetadata, EdgeCases) {
  const std::string m = "__TARNWISTLE_WINDOW_1__";
  Result<WindowMeta> ok = parse_window_metadata(concat({"banner\r\n", m, "\t3\t+2\t2\t1\r\n"}), m, "p");
  ASSERT_TRUE(ok.ok()) << ok.error().message;
  EXPECT_EQ(ok->start, 2u);
  EXPECT_TRUE(ok->truncated);
  const std::pair<std::string, std::string> bad[] = {
      {"nothing here", "missing window metadata"},
      {concat({m, "\t1\t2\t3"}), "invalid window metadata"},
      {concat({m, "\t 1\t1\t1\t0"}), "invalid total line count"},
      {concat({m, "\t1\tx\t1\t0"}), "invalid start line"},
      {concat({m, "\t1\t1\t-1\t0"}), "invalid end line"}};
  for (const auto& [text, reason] : bad) {
    EXPECT_EQ(parse_window_metadata(text, m, "p").error().message,
              concat({"SSH read_text_window failed: p: ", reason}));
  }
}

TEST(ControlLine, FindRemoteProcess) {
  const std::string m = "__TARNWISTLE_ab__";
  using K = RemoteProcessKind;
  EXPECT_EQ(find_remote_process(concat({m, " PGID 4242\n"}), m), (RemoteProcess{K::Group, 4242}));
  EXPECT_EQ(find_remote_process(concat({"warning\n\n", m, "\tPID\t+7 extra"}), m),
            (RemoteProcess{K::Process, 7}));
  EXPECT_EQ(find_remote_process(concat({m, " PID 0\n", m, " PGID 9\n"}), m),
            (RemoteProcess{K::Group, 9}));
  for (std::string bad : {concat({m, " PID 0"}), concat({m, " PID x"}), concat({m, " PID -"}),
                          concat({m, " PID 2147483648"}), concat({m, " GROUP 5"}), concat({m, " PID"}),
                          concat({"x", m, " PID 5"})}) {
    EXPECT_EQ(find_remote_process(bad, m), std::nullopt) << bad;
  }
}

// ---- construction and the command line ----------------------------------------------------------

// Variables set for one test; the old values come back after it.
class Env : public ::testing::Test {
 protected:
  void Set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    (void)(value ? ::setenv(name, value, 1) : ::unsetenv(name));
  }
  void TearDown() override {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      const char* name = it->first.c_str();
      (void)(it->second ? ::setenv(name, it->second->c_str(), 1) : ::unsetenv(name));
    }
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(Env, LocalKeyExpansion) {
  Set("HOME", "/home/ci");
  EXPECT_EQ(expand_local_key("~/.ssh/id_ed25519"), "/home/ci/.ssh/id_ed25519");
  EXPECT_EQ(expand_local_key("~"), "/home/ci");
  EXPECT_EQ(expand_local_key("~//abs"), "/abs");
  EXPECT_EQ(expand_local_key("~ci/key"), "~ci/key");
  Set("HOME", nullptr);
  EXPECT_EQ(expand_local_key("~/.ssh/id_ed25519"), "~/.ssh/id_ed25519");
}

TEST(Invocation, PasswordLoginKeepsOnlyTheAllowedFlags) {
  SshOptions options;
  options.host = "h";
  options.username = "u";
  options.password = "s3cret";
  options.multiplexing = false;
  options.ssh_flags = {"-v", "-X", "-o", "-a"};
  Result<SshClient> client = connect(options);
  ASSERT_TRUE(client.ok());
  Result<SshInvocation> inv =
      ssh_invocation(*client, std::string("true"), std::nullopt, std::nullopt, 100);
  ASSERT_TRUE(inv.ok());
  const std::vector<std::string> expected = {
      "-T", "-p", "22", "-l", "u", "-o", "ConnectTimeout=30", "-o", "StrictHostKeyChecking=yes",
      "-X", "-a", "-o", "BatchMode=no", "-o", "NumberOfPasswordPrompts=1", "h", "true"};
  EXPECT_EQ(inv->request.args, expected);
  const std::string script = inv->askpass_dir->path() + "/askpass.sh";
  EXPECT_EQ(inv->request.env[0], (std::pair<std::string, std::string>{"SSH_ASKPASS", script}));
  EXPECT_EQ(inv->request.env[3].second, "s3cret");
  const ProcessOutput asked = run_sh(script, std::nullopt, {{"TARNWISTLE_SSH_PASSWORD", "p w'd"}});
  EXPECT_EQ(asked.stdout_data, "p w'd\n");
}

TEST(Connect, ChecksInOrder) {
  SshOptions options;
  options.host = " -h ";
  options.username = "";
  options.connect_timeout = 0;
  EXPECT_EQ(connect(options).error().message, "ssh host must not start with '-'");
  options.host = "h";
  EXPECT_EQ(connect(options).error().message, "ssh user is required");
  options.username = "u";
  EXPECT_EQ(connect(options).error().message, "connect_timeout must be a positive finite number");
  options.connect_timeout = 5e-324;  // subnormal but positive
  options.multiplexing = false;
  options.max_transfer_bytes = 268435456;
  EXPECT_TRUE(connect(options).ok());
  EXPECT_EQ(timeout_seconds_text(std::chrono::milliseconds(30000)), "30.000");
}

TEST(Outcome, AuthenticationOnlyForSshsOwnFailures) {
  ProcessOutput out;
  out.exit_code = 255;
  out.stderr_data = "  u@h: Permission Denied (publickey,password).\n";
  CoreError auth = failed_remote("stat", "p", out);
  EXPECT_EQ(auth.kind, CoreErrorKind::Authentication);
  EXPECT_EQ(auth.message, "SSH stat failed with exit code 255: p: u@h: Permission Denied (publickey,password).");
  out.exit_code = 1;
  out.stderr_data = "\xff no such file";
  CoreError plain = failed_remote("read_bytes", "p", out);
  EXPECT_EQ(plain.kind, CoreErrorKind::General);
  EXPECT_EQ(plain.message, "SSH read_bytes failed with exit code 1: p: \xEF\xBF\xBD no such file");
}

}  // namespace
}  // namespace tarnwistle
