#include "engine/runtime/processors.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "engine/base/decimal.hpp"

namespace tessaly {
namespace {

constexpr std::string_view kCgroupMount = "/sys/fs/cgroup";

// A file path built in place; a path that outgrows it is marked unusable.
class Path {
 public:
  static constexpr std::size_t kCapacity = 1024;
  Path() noexcept { text_[0] = '\0'; }
  explicit Path(std::string_view text) noexcept : Path() { append(text); }

  Path& append(std::string_view text) noexcept {
    if (text.size() >= kCapacity - size_) {
      usable_ = false;
      return *this;
    }
    std::memcpy(text_ + size_, text.data(), text.size());
    size_ += text.size();
    text_[size_] = '\0';
    return *this;
  }
  // `relative` below this directory.
  Path& join(std::string_view relative) noexcept {
    if (!relative.empty() && (size_ == 0 || text_[size_ - 1] != '/')) append("/");
    return append(relative);
  }
  void resize(std::size_t size) noexcept {
    size_ = size;
    text_[size_] = '\0';
  }

  bool usable() const noexcept { return usable_; }
  const char* c_str() const noexcept { return text_; }
  std::string_view view() const noexcept { return {text_, size_}; }

 private:
  char text_[kCapacity];
  std::size_t size_ = 0;
  bool usable_ = true;
};

bool exists(const Path& path) noexcept {
  struct stat info;
  return path.usable() && stat(path.c_str(), &info) == 0;
}

// Reads a whole small file into `buffer`; empty if it cannot be opened or
// read, or does not fit.
template <std::size_t N>
std::optional<std::string_view> read_file(const Path& path, char (&buffer)[N]) noexcept {
  if (!path.usable()) return std::nullopt;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::size_t size = 0;
  for (;;) {
    const ssize_t got = read(fd, buffer + size, N - size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(fd);
      if (got < 0) return std::nullopt;
      return std::string_view(buffer, size);
    }
    size += static_cast<std::size_t>(got);
    if (size == N) {
      close(fd);
      return std::nullopt;
    }
  }
}

// Calls visit(line) for each line of a file of any length, in a fixed
// buffer; lines longer than the buffer are skipped.
template <class Visit>
void for_each_line(const Path& path, Visit visit) noexcept {
  if (!path.usable()) return;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buffer[2048];
  std::size_t size = 0;
  bool skipping = false;  // inside a line too long to hold
  for (;;) {
    const ssize_t got = read(fd, buffer + size, sizeof buffer - size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
    std::string_view rest(buffer, size);
    for (auto end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
      if (!skipping && visit(rest.substr(0, end))) {
        close(fd);
        return;
      }
      skipping = false;
      rest.remove_prefix(end + 1);
    }
    if (rest.size() == sizeof buffer) {
      skipping = true;
      rest = {};
    }
    std::memmove(buffer, rest.data(), rest.size());
    size = rest.size();
  }
  if (size != 0 && !skipping) visit(std::string_view(buffer, size));
  close(fd);
}

std::string_view trim(std::string_view text) noexcept {
  const auto space = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// The text up to `separator` (all of it if there is none); `rest` keeps
// what follows the separator, or becomes empty.
std::string_view next_field(std::string_view& rest, char separator, bool* more = nullptr) noexcept {
  const auto at = rest.find(separator);
  const std::string_view field = rest.substr(0, at);
  if (more != nullptr) *more = at != std::string_view::npos;
  rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
  return field;
}

bool contains_field(std::string_view list, char separator, std::string_view wanted) noexcept {
  bool more = true;
  while (more) {
    if (next_field(list, separator, &more) == wanted) return true;
  }
  return false;
}

// Calls visit(dir) for dir and each parent as long as it lies under `top`.
template <class Visit>
void walk_up(Path dir, std::string_view top, Visit visit) noexcept {
  for (;;) {
    const std::string_view at = dir.view();
    if (!(at == top || (at.size() > top.size() && at.substr(0, top.size()) == top &&
                        at[top.size()] == '/'))) {
      return;
    }
    visit(dir);
    const auto slash = at.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return;
    dir.resize(slash);
  }
}

void apply(std::size_t& quota, std::optional<std::uint64_t> limit,
           std::optional<std::uint64_t> period) noexcept {
  if (!limit || !period || *period == 0) return;
  const std::uint64_t whole = *limit / *period;
  if (whole < quota) quota = static_cast<std::size_t>(whole);
}

std::size_t quota_v2(std::string_view root, std::string_view group) noexcept {
  std::size_t quota = kUnlimited;
  Path top(root);
  top.append(kCgroupMount);
  Path dir = top;
  dir.join(group);
  Path controllers = dir;
  if (!exists(controllers.append("/cgroup.controllers")) || !top.usable()) return quota;
  walk_up(dir, top.view(), [&](const Path& at) {
    char text[256];
    Path file = at;
    const auto content = read_file(file.append("/cpu.max"), text);
    if (!content) return;
    std::string_view line = *content;
    line = next_field(line, '\n');
    bool more = false;
    const std::string_view limit = next_field(line, ' ', &more);
    if (!more) return;
    apply(quota, parse_decimal(limit), parse_decimal(trim(next_field(line, ' '))));
  });
  return quota;
}

// The group path as seen from inside a mount whose root is `mount_root`.
std::string_view below(std::string_view group, std::string_view mount_root) noexcept {
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
std::optional<Path> v1_mount_from_mountinfo(std::string_view root, std::string_view& group) noexcept {
  std::optional<Path> mount;
  Path mountinfo(root);
  for_each_line(mountinfo.append("/proc/self/mountinfo"), [&](std::string_view line) {
    std::string_view fields[5];
    std::string_view rest = line;
    bool more = true;
    for (std::string_view& field : fields) {
      if (!more) return false;
      field = next_field(rest, ' ', &more);
    }
    // Optional fields until the lone "-", then type, source and options.
    while (more && next_field(rest, ' ', &more) != "-") {
    }
    if (!more) return false;
    const std::string_view type = next_field(rest, ' ', &more);
    if (!more || type != "cgroup") return false;
    next_field(rest, ' ', &more);  // source
    if (!more) return false;
    if (!contains_field(next_field(rest, ' '), ',', "cpu")) return false;
    group = below(group, fields[3]);
    mount.emplace(root);
    mount->append(fields[4]);
    return true;
  });
  return mount;
}

std::size_t quota_v1(std::string_view root, std::string_view group) noexcept {
  std::size_t quota = kUnlimited;
  std::optional<Path> mount;
  for (std::string_view candidate : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    Path top(root);
    top.append(candidate);
    Path dir = top;
    if (exists(dir.join(group))) {
      mount = top;
      break;
    }
  }
  if (!mount) {
    std::string_view relative = group;
    mount = v1_mount_from_mountinfo(root, relative);
    if (!mount) return quota;
    Path dir = *mount;
    if (!exists(dir.join(relative))) return quota;
    group = relative;
  }
  Path dir = *mount;
  dir.join(group);
  if (!dir.usable()) return quota;
  walk_up(dir, mount->view(), [&](const Path& at) {
    char limit_text[64];
    char period_text[64];
    Path limit_file = at;
    Path period_file = at;
    const auto limit = read_file(limit_file.append("/cpu.cfs_quota_us"), limit_text);
    const auto period = read_file(period_file.append("/cpu.cfs_period_us"), period_text);
    if (!limit || !period) return;
    apply(quota, parse_decimal(trim(*limit)), parse_decimal(trim(*period)));
  });
  return quota;
}

}  // namespace

std::size_t cgroup_quota(std::string_view root) noexcept {
  char text[4096];
  Path file(root);
  const auto content = read_file(file.append("/proc/self/cgroup"), text);
  if (!content) return kUnlimited;
  std::optional<std::string_view> v1;
  std::optional<std::string_view> v2;
  std::string_view lines = *content;
  while (!lines.empty()) {
    const std::string_view line = next_field(lines, '\n');
    std::string_view rest = line;
    bool more = false;
    next_field(rest, ':', &more);  // hierarchy id
    if (!more) continue;
    const std::string_view controllers = next_field(rest, ':', &more);
    if (!more) continue;
    // The path may itself hold colons: it is everything after the second one.
    std::string_view path = rest;
    if (!path.empty()) path.remove_prefix(1);  // the leading slash
    if (controllers.empty()) {
      if (!v2) v2 = path;
    } else if (!v1 && contains_field(controllers, ',', "cpu")) {
      v1 = path;
    }
  }
  if (v1) return quota_v1(root, *v1);
  if (v2) return quota_v2(root, *v2);
  return kUnlimited;
}

std::optional<std::size_t> available_parallelism_under(std::string_view root) noexcept {
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

std::optional<std::size_t> available_parallelism() noexcept {
  return available_parallelism_under("");
}

}  // namespace tessaly
