// Everything here is read from /proc and the control-group file system at the
// moment of the call: limits and usage change while the process runs, and a
// fit may be asked for long after import.
#include "module/available_memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

namespace tarnok::module {

namespace {

constexpr std::uint64_t unknown = UINT64_MAX;
constexpr std::uint64_t kibibyte = 1024;

std::optional<std::uint64_t> leading_number(std::string_view text) noexcept {
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), value);
  if (error != std::errc{}) return std::nullopt;  // "max": no limit
  return value;
}

// The number on the first line that starts with key, in files of "key value"
// lines (/proc/meminfo, /proc/self/status, a control group's memory.stat).
std::optional<std::uint64_t> keyed_number(const std::string& path, std::string_view key) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line))
    if (line.starts_with(key)) return leading_number(std::string_view(line).substr(key.size()));
  return std::nullopt;
}

std::optional<std::uint64_t> file_number(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!std::getline(file, line)) return std::nullopt;
  return leading_number(line);
}

std::uint64_t room(std::uint64_t limit, std::uint64_t used) noexcept {
  return limit > used ? limit - used : 0;
}

std::uint64_t kernel_can_hand_out() {
  if (const auto kib = keyed_number("/proc/meminfo", "MemAvailable:")) return *kib * kibibyte;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  std::uint64_t bytes = 0;
  if (pages <= 0 || page_size <= 0 ||
      __builtin_mul_overflow(static_cast<std::uint64_t>(pages),
                             static_cast<std::uint64_t>(page_size), &bytes))
    return unknown;
  return bytes;
}

// A soft limit is what the allocator meets; the hard one only bounds how far
// the process could raise it.
std::uint64_t room_under_limit(int resource, std::string_view usage_key) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return unknown;
  const std::uint64_t used_kib = keyed_number("/proc/self/status", usage_key).value_or(0);
  return room(limit.rlim_cur, used_kib * kibibyte);
}

struct GroupFiles {
  const char* mount;
  const char* limit;
  const char* usage;
};
constexpr GroupFiles unified{"/sys/fs/cgroup", "memory.max", "memory.current"};
constexpr GroupFiles legacy{"/sys/fs/cgroup/memory", "memory.limit_in_bytes",
                            "memory.usage_in_bytes"};

// The room left in the group at path and in every group above it, since a
// limit anywhere up the tree caps this process. Inside a container the mount
// may show only the container's part of the tree, so paths that do not exist
// under it are passed over on the way up to the mount's root. Inactive file
// cache is counted as free: the kernel drops it before it refuses memory.
std::uint64_t room_in_groups(const GroupFiles& files, std::string path) {
  std::uint64_t tightest = unknown;
  for (;;) {
    std::string dir = files.mount + path;
    if (!dir.ends_with('/')) dir += '/';
    const auto limit = file_number(dir + files.limit);
    const auto usage = file_number(dir + files.usage);
    if (limit && usage) {
      const std::uint64_t cache = keyed_number(dir + "memory.stat", "inactive_file ").value_or(0);
      tightest = std::min(tightest, room(*limit, room(*usage, cache)));
    }
    if (path.empty() || path == "/") return tightest;
    path.erase(path.rfind('/'));
  }
}

bool lists_memory(std::string_view controllers) noexcept {
  for (std::size_t start = 0; start <= controllers.size();) {
    const std::size_t end = std::min(controllers.find(',', start), controllers.size());
    if (controllers.substr(start, end - start) == "memory") return true;
    start = end + 1;
  }
  return false;
}

// /proc/self/cgroup has one "id:controllers:path" line per hierarchy; the
// unified hierarchy is the one with id 0 and no controllers.
std::uint64_t room_in_control_groups() {
  std::string unified_path = "/";
  std::uint64_t tightest = unknown;
  std::ifstream file("/proc/self/cgroup");
  std::string line;
  while (std::getline(file, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string_view controllers =
        std::string_view(line).substr(first + 1, second - first - 1);
    if (line.starts_with("0::"))
      unified_path = line.substr(second + 1);
    else if (lists_memory(controllers))
      tightest = std::min(tightest, room_in_groups(legacy, line.substr(second + 1)));
  }
  return std::min(tightest, room_in_groups(unified, unified_path));
}

}  // namespace

std::uint64_t available_memory() {
  return std::min({kernel_can_hand_out(), room_under_limit(RLIMIT_AS, "VmSize:"),
                   room_under_limit(RLIMIT_DATA, "VmData:"), room_in_control_groups()});
}

}  // namespace tarnok::module
