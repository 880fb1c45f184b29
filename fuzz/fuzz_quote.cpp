// Shell quoting: whatever bytes (without NUL) go into shell_quote, /bin/sh hands the quoted
// word back unchanged to `printf %s`; shell_quote_path does the same except that a leading
// "~" or "~/" becomes the remote HOME. One shell run per input checks both.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fuzz_util.hpp"
#include "remote_shell.hpp"
#include "text.hpp"

namespace {

// A HOME that would break if the shell split or expanded it after substituting it.
constexpr const char* kHome = "/h o'm\"e/$x*/\\n";

std::string run_sh(const std::string& script) {
  int fds[2];
  if (::pipe(fds) != 0) fuzz::fail(__FILE__, __LINE__, "pipe", "");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  const std::string home = std::string("HOME=") + kHome;
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                  const_cast<char*>(script.c_str()), nullptr};
  char* envp[] = {const_cast<char*>(home.c_str()), const_cast<char*>("PATH=/usr/bin:/bin"),
                  const_cast<char*>("LC_ALL=C"), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) fuzz::fail(__FILE__, __LINE__, "posix_spawn", std::to_string(rc));
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;) {
    if (n > 0) out.append(buf, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  FUZZ_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0, "script " + fuzz::show(script));
  return out;
}

std::string model_quote(std::string_view s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
  return out + "'";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return -1;  // one argument of the shell; keeps each run short
  std::string text(reinterpret_cast<const char*>(data), size);
  std::erase(text, '\0');
  // Bias toward the home forms now and then so the path rules are reached.
  std::string path = text;
  if (!text.empty() && (text[0] & 3) == 0) path = (text[0] & 4 ? "~/" : "~") + text.substr(1);

  const std::string quoted = tarnwistle::shell_quote(text);
  FUZZ_CHECK(quoted == model_quote(text), fuzz::show(text));
  const std::string quoted_path = tarnwistle::shell_quote_path(path);

  const std::string out =
      run_sh("printf %s " + quoted + "; printf '\\000'; printf %s " + quoted_path);
  const std::size_t nul = out.find('\0');
  FUZZ_CHECK(nul != std::string::npos, fuzz::show(out));
  FUZZ_CHECK(out.substr(0, nul) == text, "text " + fuzz::show(text) + " quoted " +
                                             fuzz::show(quoted) + " sh gave " +
                                             fuzz::show(out.substr(0, nul)));
  const bool home = path == "~" || path.starts_with("~/");
  const std::string want = home ? std::string(kHome) + path.substr(1) : path;
  FUZZ_CHECK(out.substr(nul + 1) == want, "path " + fuzz::show(path) + " quoted " +
                                              fuzz::show(quoted_path) + " sh gave " +
                                              fuzz::show(out.substr(nul + 1)));
  return 0;
}
