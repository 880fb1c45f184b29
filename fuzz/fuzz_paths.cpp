// Lexical path handling: the local normaliser and joiner, and the remote normaliser, joiner and
// resolvers, against component-list references; the remote normal form is also a fixed point.
#include <string>
#include <vector>

#include "fuzz_util.hpp"
#include "paths.hpp"
#include "remote_shell.hpp"
#include "text.hpp"

namespace {

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> out;
  for (const std::string& c : fuzz::split_keep_all(path, '/')) {
    if (!c.empty() && c != ".") out.push_back(c);
  }
  return out;
}

// Rebuilds from an empty result: ".." takes away whatever component comes last, and only
// when nothing but the root (or nothing at all) is left is it kept.
std::string model_local(std::string_view path) {
  std::string result = !path.empty() && path[0] == '/' ? "/" : "";
  auto push = [&](const std::string& c) {
    if (!result.empty() && result.back() != '/') result += '/';
    result += c;
  };
  for (const std::string& c : components(path)) {
    if (c != ".." || result.empty() || result == "/") {
      push(c);
      continue;
    }
    const std::size_t slash = result.rfind('/');
    result.erase(slash == std::string::npos ? 0 : slash == 0 ? 1 : slash);
  }
  return result;
}

std::string model_posix(std::string_view path) {
  const bool absolute = !path.empty() && path[0] == '/';
  std::vector<std::string> list;
  for (const std::string& c : components(path)) {
    if (c != "..") {
      list.push_back(c);
    } else if (!list.empty() && list.back() != "..") {
      list.pop_back();
    } else if (!absolute) {
      list.push_back(c);
    }
  }
  std::string joined;
  for (std::size_t i = 0; i < list.size(); ++i) joined += (i ? "/" : "") + list[i];
  if (absolute) return "/" + joined;
  return joined.empty() ? "." : joined;
}

std::string model_join_posix(const std::vector<std::string>& parts) {
  if (parts.empty()) return "";
  std::string out = parts[0];
  for (std::size_t i = 1; i < parts.size(); ++i) {
    std::string_view p = parts[i];
    while (!p.empty() && p[0] == '/') p.remove_prefix(1);
    if (out.empty() || out.back() != '/') out += '/';
    out += p;
  }
  return out;
}

std::string model_join_local(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) {
    if (p.starts_with('/')) out.clear();
    if (!out.empty() && out.back() != '/') out += '/';
    out += p;
  }
  return out;
}

std::string model_resolve(std::string_view cwd, std::string_view path) {
  if (path.empty()) return model_posix(std::string(cwd) + "/");
  if (path == "~") return "~";
  if (path.starts_with("~/")) return model_posix("~/" + std::string(path.substr(2)));
  if (path[0] == '/') return model_posix(path);
  return model_posix(std::string(cwd) + "/" + std::string(path));
}

std::string model_from_home(std::string_view path) {
  if (path.empty() || path == "~" || path == ".") return "~";
  if (path.starts_with("~/")) return model_posix("~/" + std::string(path.substr(2)));
  if (path[0] == '/') return model_posix(path);
  return model_posix("~/" + std::string(path));
}

// Paths are mostly made of the pieces that matter to the rules, with some raw bytes.
std::string fuzzed_path(FuzzedDataProvider& fdp) {
  static const char* const kPieces[] = {"/", ".", "..", "a", "bc", "~", "~/", "//", "x y", "~u"};
  std::string out;
  const std::size_t n = fdp.ConsumeIntegralInRange<std::size_t>(0, 16);
  for (std::size_t k = 0; k < n; ++k) {
    const int pick = fdp.ConsumeIntegralInRange<int>(0, 11);
    out += pick < 10 ? kPieces[pick] : std::string(1, fdp.ConsumeIntegral<std::uint8_t>());
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const std::string path = fuzzed_path(fdp);
  const std::string ctx = "path " + fuzz::show(path);

  const std::string local = tarnwistle::lexical_normalize(path);
  FUZZ_CHECK(local == model_local(path), ctx + " got " + fuzz::show(local));

  const std::string remote = tarnwistle::normalize_posix(path);
  FUZZ_CHECK(remote == model_posix(path), ctx + " got " + fuzz::show(remote));
  FUZZ_CHECK(tarnwistle::normalize_posix(remote) == remote, ctx);

  const std::string cwd = fdp.ConsumeBool() ? "~" : model_from_home(fuzzed_path(fdp));
  const std::string resolved = tarnwistle::resolve_remote(cwd, path);
  FUZZ_CHECK(resolved == model_resolve(cwd, path), ctx + " cwd " + fuzz::show(cwd) + " got " +
                                                       fuzz::show(resolved));
  FUZZ_CHECK(tarnwistle::resolve_from_home(path) == model_from_home(path), ctx);

  std::vector<std::string> parts(fdp.ConsumeIntegralInRange<std::size_t>(0, 4));
  for (auto& p : parts) p = fuzzed_path(fdp);
  const std::vector<std::string_view> views(parts.begin(), parts.end());
  FUZZ_CHECK(tarnwistle::join_posix(views) == model_join_posix(parts), fuzz::show(parts));
  FUZZ_CHECK(tarnwistle::join_paths(views) == model_join_local(parts), fuzz::show(parts));
  return 0;
}
