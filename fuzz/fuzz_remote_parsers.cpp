// Parsers of what the remote scripts print: the stat record, the window metadata line, and
// the control line of a remote command (found, and taken out of standard error), against
// references that split the decoded text into lines, fields and words up front.
#include <optional>
#include <string>
#include <vector>

#include "fuzz_util.hpp"
#include "remote_shell.hpp"
#include "text.hpp"

namespace {

using tarnwistle::CoreErrorKind;
using tarnwistle::RemoteProcess;
using tarnwistle::RemoteProcessKind;

constexpr unsigned __int128 kU64 = UINT64_MAX;
constexpr unsigned __int128 kU128 = ~static_cast<unsigned __int128>(0);

void check_stat(std::string_view out, const std::string& path) {
  const auto got = tarnwistle::parse_stat_record(out, path);
  const std::vector<std::string> f = fuzz::split_keep_all(fuzz::lossy(out), '\t');
  const std::string ctx = "stdout " + fuzz::show(out);
  if (f[0] == "missing") {
    FUZZ_CHECK(got.ok() && !got->exists && got->kind == "missing" && got->size == 0 &&
                   !got->modified_ns && !got->is_symlink && !got->version,
               ctx);
    return;
  }
  auto failed = [&](const char* reason) {
    FUZZ_CHECK(!got.ok() && got.error().kind == CoreErrorKind::General &&
                   got.error().message == "SSH stat failed: " + path + ": " + reason,
               ctx + (got.ok() ? "" : " got " + got.error().message));
  };
  if (f.size() != 5) return failed("invalid metadata response");
  const auto size = fuzz::parse_dec(fuzz::trim(f[1]), kU64);
  if (!size) return failed("invalid file size");
  FUZZ_CHECK(got.ok(), ctx);
  FUZZ_CHECK(got->exists && got->kind == f[0] && got->size == *size, ctx);
  const auto seconds = fuzz::parse_dec(fuzz::trim(f[2]), kU128);
  if (seconds) {
    const unsigned __int128 ns = *seconds > kU128 / 1000000000u ? kU128 : *seconds * 1000000000u;
    FUZZ_CHECK(got->modified_ns && *got->modified_ns == ns, ctx);
  } else {
    FUZZ_CHECK(!got->modified_ns, ctx);
  }
  FUZZ_CHECK(got->is_symlink == (f[3] == "1"), ctx);
  FUZZ_CHECK(got->version && *got->version == f[4], ctx);
}

// Lines at '\n', a '\r' right before it dropped; a final '\n' starts no further line.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out = fuzz::split_keep_all(text, '\n');
  for (std::size_t i = 0; i + 1 < out.size(); ++i) {
    if (!out[i].empty() && out[i].back() == '\r') out[i].pop_back();
  }
  if (!text.empty() && text.back() == '\n') out.pop_back();
  if (text.empty()) out.clear();
  return out;
}

void check_window(std::string_view err, const std::string& marker, const std::string& path) {
  const auto got = tarnwistle::parse_window_metadata(err, marker, path);
  const std::string ctx = "stderr " + fuzz::show(err) + " marker " + fuzz::show(marker);
  auto failed = [&](const std::string& reason) {
    FUZZ_CHECK(!got.ok() && got.error().kind == CoreErrorKind::General &&
                   got.error().message == "SSH read_text_window failed: " + path + ": " + reason,
               ctx + (got.ok() ? " unexpected success" : " got " + got.error().message));
  };
  for (const std::string& line : lines_of(fuzz::lossy(err))) {
    if (!line.starts_with(marker)) continue;
    const std::vector<std::string> f = fuzz::split_keep_all(line, '\t');
    if (f.size() != 5) return failed("invalid window metadata");
    const auto total = fuzz::parse_dec(f[1], kU64);
    if (!total) return failed("invalid total line count");
    const auto start = fuzz::parse_dec(f[2], kU64);
    if (!start) return failed("invalid start line");
    const auto end = fuzz::parse_dec(f[3], kU64);
    if (!end) return failed("invalid end line");
    FUZZ_CHECK(got.ok() && got->total == *total && got->start == *start && got->end == *end &&
                   got->truncated == (f[4] == "1"),
               ctx);
    return;
  }
  failed("missing window metadata");
}

std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> out;
  std::string cur;
  for (char32_t c : fuzz::decode(line)) {
    if (fuzz::white(c)) {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += fuzz::encode(c);
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// An optional sign, then digits, within 32 bits.
std::optional<std::int64_t> parse_i32(std::string_view s) {
  const bool negative = s.starts_with('-');
  if (s.starts_with("-+")) return std::nullopt;
  const auto v = fuzz::parse_dec(s.substr(negative), negative ? 2147483648u : 2147483647u);
  if (!v) return std::nullopt;
  return negative ? -static_cast<std::int64_t>(*v) : static_cast<std::int64_t>(*v);
}

// Blank lines are passed over like any other line without the marker.
std::optional<RemoteProcess> model_find(std::string_view err, const std::string& marker) {
  for (const std::string& line : lines_of(fuzz::lossy(err))) {
    const std::vector<std::string> w = words_of(line);
    if (w.empty() || w[0] != marker) continue;
    if (w.size() < 3) return std::nullopt;
    const auto id = parse_i32(w[2]);
    if (!id) return std::nullopt;
    if (*id < 1) continue;
    const auto id32 = static_cast<std::int32_t>(*id);
    if (w[1] == "PGID") return RemoteProcess{RemoteProcessKind::Group, id32};
    if (w[1] == "PID") return RemoteProcess{RemoteProcessKind::Process, id32};
    return std::nullopt;
  }
  return std::nullopt;
}

void check_control(std::string_view err, const std::string& marker) {
  const std::string ctx = "stderr " + fuzz::show(err) + " marker " + fuzz::show(marker);
  FUZZ_CHECK(tarnwistle::find_remote_process(err, marker) == model_find(err, marker), ctx);
}

std::string fuzzed_marker(FuzzedDataProvider& fdp) {
  const int how = fdp.ConsumeIntegralInRange<int>(0, 3);
  if (how == 0) return fuzz::text(fdp, 12);
  if (how == 1) return "__TARNWISTLE_WINDOW_1f2e__";
  return "__TARNWISTLE_" + fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange(0, 3)) + "__";
}

// Standard error assembled from pieces that matter to the parsers.
std::string fuzzed_stream(FuzzedDataProvider& fdp, const std::string& marker) {
  static const char* const kPieces[] = {
      "\n", "\r\n", "\t", " ", "PGID", "PID", "42", "0", "-7", "+9", "2147483648", "missing",
      "file", "1", "+", "18446744073709551616", "\xC2\xA0", "\xE3\x80\x80", "\xFF", "\r"};
  std::string out;
  const std::size_t n = fdp.ConsumeIntegralInRange<std::size_t>(0, 24);
  for (std::size_t k = 0; k < n; ++k) {
    const int pick = fdp.ConsumeIntegralInRange<int>(0, 22);
    out += pick < 20   ? kPieces[pick]
           : pick == 20 ? marker
                        : fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange(1, 4));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int which = fdp.ConsumeIntegralInRange<int>(0, 2);
  const std::string marker = fuzzed_marker(fdp);
  const std::string path = fuzz::text(fdp, 6);
  const std::string stream =
      fdp.ConsumeBool() ? fuzzed_stream(fdp, marker) : fdp.ConsumeRandomLengthString(512);
  if (which == 0) {
    check_stat(stream, path);
  } else if (which == 1) {
    if (!marker.empty()) check_window(stream, marker, path);
  } else {
    check_control(stream, marker);
  }
  return 0;
}
