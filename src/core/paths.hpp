// Local path text: joining, home expansion and the purely lexical clean-up. Nothing here
// touches the file system. A base unit: it includes nothing of ours.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tarnwistle {

// Appends `part` to `base`: an absolute part replaces it, otherwise a "/" separates them.
void join_into(std::string& base, std::string_view part);
// The parts joined with join_into from an empty path.
std::string join_paths(std::span<const std::string_view> parts);
// "~" and "~/rest" against $HOME (unchanged when HOME is unset); every other path unchanged.
std::string expand_home(std::string_view path);
// Purely textual clean-up: no ".", ".." pops a component (kept at the root), no trailing "/".
std::string lexical_normalize(std::string_view path);

}  // namespace tarnwistle
