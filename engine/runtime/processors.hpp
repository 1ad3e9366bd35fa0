// How many processors this process may use: the default worker count of
// parallel_search. Evaluated afresh on every call; nothing is cached, so a
// changed affinity mask or control-group quota is seen at once. Nothing
// here allocates: files are read into fixed buffers, and a file or path too
// long for them counts as unreadable.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tessaly {

inline constexpr std::size_t kUnlimited = static_cast<std::size_t>(-1);

// min(processors in the affinity mask, or online processors when the mask
// cannot be read; the control-group quota, at least 1). Empty when neither
// count can be had.
std::optional<std::size_t> available_parallelism() noexcept;

// The same, with the control-group and process files read below `root`
// instead of "/" (so tests can lay out a fake tree).
std::optional<std::size_t> available_parallelism_under(std::string_view root) noexcept;

// Whole processors the control group may use (quota / period, rounded down;
// kUnlimited without a quota). Files that are missing or unparsable impose
// nothing. Version 1 "cpu" hierarchies are preferred to the unified one.
std::size_t cgroup_quota(std::string_view root) noexcept;

}  // namespace tessaly
