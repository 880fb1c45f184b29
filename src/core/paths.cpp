#include "paths.hpp"

#include <cstdlib>

namespace tarnwistle {

std::string expand_home(std::string_view path) {
  const bool bare = path == "~";
  if (!bare && !path.starts_with("~/")) return std::string(path);
  const char* home = std::getenv("HOME");
  if (home == nullptr) return std::string(path);
  std::string out(home);
  if (!bare) join_into(out, path.substr(2));
  return out;
}

void join_into(std::string& base, std::string_view part) {
  if (part.starts_with('/')) {
    base.assign(part);
    return;
  }
  if (!base.empty() && base.back() != '/') base += '/';
  base.append(part);
}

std::string join_paths(std::span<const std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) join_into(out, part);
  return out;
}

std::string lexical_normalize(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  if (path.starts_with('/')) out.push_back('/');
  std::size_t pos = 0;
  while (pos < path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == ".." && !out.empty() && out != "/") {
      const std::size_t slash = out.rfind('/');
      out.resize(slash == std::string::npos ? 0 : (slash == 0 ? 1 : slash));
      continue;
    }
    if (!out.empty() && out.back() != '/') out += '/';
    out.append(part);  // a ".." with nothing to remove stays, so "/../x" keeps it
  }
  return out;
}

}  // namespace tarnwistle
