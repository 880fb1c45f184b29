// Every remote script, byte for byte, against a copy kept in the tree: the scripts are the
// protocol with hosts this client has never seen, so a refactoring must not change a byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "ssh.hpp"
#include "text.hpp"

namespace tarnwistle {
namespace {

// The scripts for a spread of inputs, each after a "== name" line.
std::string every_script() {
  const std::string odd = "~/dir with 'quotes'/f\"ile $x";
  const std::optional<std::string> version = "remote:file:3:1:2:it's";
  std::string out;
  const auto add = [&](std::string_view name, std::string_view script) {
    out += concat({"== ", name, "\n", script, "\n"});
  };
  add("stat", stat_script(odd));
  add("cat", cat_script("/srv/a"));
  for (const auto& [offset, limit] : {std::pair<std::int64_t, std::uint64_t>{0, 1},
                                      {7, 100}, {-3, 5}, {INT64_MIN, 1}, {INT64_MAX, UINT64_MAX}}) {
    add("window", window_script(odd, offset, limit, "__TARNWISTLE_WINDOW_ab12__"));
  }
  add("write", write_script(odd, "ab12", std::nullopt, false, 0));
  add("write version", write_script("~/v", "cd34", version, false, 123));
  add("write create", write_script("/v", "ef56", std::nullopt, true, 1));
  add("delete", delete_script(odd, std::nullopt));
  add("delete version", delete_script("/x", version));
  for (bool parents : {true, false}) {
    for (bool exist_ok : {true, false}) add("mkdir", mkdir_script(odd, parents, exist_ok));
  }
  const std::string flags[] = {"-l", "-c"};
  const std::string piece = interpreter_piece("py'thon", flags, "print('hi')");
  const EnvMap env = {{"A", "1"}, {"B_2", "it's"}};
  add("exec body", exec_body("~/work", env, piece));
  add("exec wrapper", exec_wrapper("ab12", exec_body("/", {}, "echo \"$HOME\"")));
  add("terminate group", terminate_script({RemoteProcessKind::Group, 4242}));
  add("terminate process", terminate_script({RemoteProcessKind::Process, 77}));
  add("askpass", askpass_script());
  return out;
}

TEST(Scripts, BytesAreThoseOfTheKeptCopy) {
  std::ifstream in(TARNWISTLE_SCRIPTS_GOLDEN, std::ios::binary);
  ASSERT_TRUE(in) << "missing " << TARNWISTLE_SCRIPTS_GOLDEN;
  std::stringstream kept;
  kept << in.rdbuf();
  EXPECT_EQ(every_script(), kept.str());
}

}  // namespace
}  // namespace tarnwistle
