#include "engine/processors.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "engine/decimal.hpp"

namespace tessaly {
namespace {

constexpr std::string_view kCgroupMount = "/sys/fs/cgroup";

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::string_view trim(std::string_view text) {
  const auto space = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::string join(std::string_view directory, std::string_view relative) {
  std::string path(directory);
  if (!relative.empty()) {
    if (path.empty() || path.back() != '/') path += '/';
    path += relative;
  }
  return path;
}

// Calls visit(dir) for dir and each parent as long as it lies under `top`.
template <class Visit>
void walk_up(std::string dir, const std::string& top, Visit visit) {
  while (dir == top || (dir.size() > top.size() && dir.compare(0, top.size(), top) == 0 &&
                        dir[top.size()] == '/')) {
    visit(dir);
    const auto slash = dir.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    dir.resize(slash);
  }
}

void apply(std::size_t& quota, std::optional<std::uint64_t> limit,
           std::optional<std::uint64_t> period) {
  if (!limit || !period || *period == 0) return;
  const std::uint64_t whole = *limit / *period;
  if (whole < quota) quota = static_cast<std::size_t>(whole);
}

std::size_t quota_v2(const std::string& root, std::string_view group) {
  std::size_t quota = kUnlimited;
  std::string top = root;
  top += kCgroupMount;
  const std::string dir = join(top, group);
  if (!exists(dir + "/cgroup.controllers")) return quota;
  walk_up(dir, top, [&](const std::string& at) {
    const auto text = read_file(at + "/cpu.max");
    if (!text) return;
    const std::string_view line = split(*text, '\n').front();
    const auto fields = split(line, ' ');
    if (fields.size() < 2) return;
    apply(quota, parse_decimal(fields[0]), parse_decimal(trim(fields[1])));
  });
  return quota;
}

// The group path as seen from inside a mount whose root is `mount_root`.
std::string_view below(std::string_view group, std::string_view mount_root) {
  mount_root.remove_prefix(std::min<std::size_t>(1, mount_root.size()));  // leading slash
  if (mount_root.empty()) return group;
  if (group.substr(0, mount_root.size()) != mount_root) return group;
  std::string_view rest = group.substr(mount_root.size());
  if (rest.empty()) return rest;
  if (rest.front() != '/') return group;  // "a/bc" is not below "a/b"
  return rest.substr(1);
}

// Mount point of the "cpu" hierarchy and the group's path below it, from
// mountinfo lines "id parent dev root mountpoint options ... - type source super".
std::optional<std::string> v1_mount_from_mountinfo(const std::string& root,
                                                   std::string_view& group) {
  const auto text = read_file(root + "/proc/self/mountinfo");
  if (!text) return std::nullopt;
  for (std::string_view line : split(*text, '\n')) {
    const auto fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    if (dash[1] != "cgroup") continue;
    const auto options = split(dash[3], ',');
    if (std::find(options.begin(), options.end(), "cpu") == options.end()) continue;
    group = below(group, fields[3]);
    std::string mount = root;
    mount += fields[4];
    return mount;
  }
  return std::nullopt;
}

std::size_t quota_v1(const std::string& root, std::string_view group) {
  std::size_t quota = kUnlimited;
  std::optional<std::string> mount;
  for (std::string_view candidate : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    std::string top = root;
    top += candidate;
    if (exists(join(top, group))) {
      mount = top;
      break;
    }
  }
  if (!mount) {
    std::string_view relative = group;
    mount = v1_mount_from_mountinfo(root, relative);
    if (!mount || !exists(join(*mount, relative))) return quota;
    group = relative;
  }
  walk_up(join(*mount, group), *mount, [&](const std::string& at) {
    const auto limit = read_file(at + "/cpu.cfs_quota_us");
    const auto period = read_file(at + "/cpu.cfs_period_us");
    if (!limit || !period) return;
    apply(quota, parse_decimal(trim(*limit)), parse_decimal(trim(*period)));
  });
  return quota;
}

}  // namespace

std::size_t cgroup_quota(const std::string& root) {
  const auto text = read_file(root + "/proc/self/cgroup");
  if (!text) return kUnlimited;
  std::optional<std::string_view> v1;
  std::optional<std::string_view> v2;
  for (std::string_view line : split(*text, '\n')) {
    const auto fields = split(line, ':');
    if (fields.size() < 3) continue;
    // The path may itself hold colons: it is everything after the second one.
    std::string_view path = line.substr(fields[0].size() + fields[1].size() + 2);
    if (!path.empty()) path.remove_prefix(1);  // the leading slash
    if (fields[1].empty()) {
      if (!v2) v2 = path;
    } else {
      const auto controllers = split(fields[1], ',');
      if (!v1 && std::find(controllers.begin(), controllers.end(), "cpu") != controllers.end())
        v1 = path;
    }
  }
  if (v1) return quota_v1(root, *v1);
  if (v2) return quota_v2(root, *v2);
  return kUnlimited;
}

std::optional<std::size_t> available_parallelism_under(const std::string& root) {
  const std::size_t quota = std::max<std::size_t>(cgroup_quota(root), 1);
  cpu_set_t mask;  // 128 bytes: 1024 processors
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
    const int count = CPU_COUNT(&mask);
    if (count >= 1) return std::min(static_cast<std::size_t>(count), quota);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online <= 0) return std::nullopt;
  return std::min(static_cast<std::size_t>(online), quota);
}

std::optional<std::size_t> available_parallelism() { return available_parallelism_under(""); }

}  // namespace tessaly
