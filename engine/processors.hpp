// How many processors this process may use: the default worker count of
// parallel_search. Evaluated afresh on every call; nothing is cached, so a
// changed affinity mask or control-group quota is seen at once.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tessaly {

inline constexpr std::size_t kUnlimited = static_cast<std::size_t>(-1);

// min(processors in the affinity mask, or online processors when the mask
// cannot be read; the control-group quota, at least 1). Empty when neither
// count can be had.
std::optional<std::size_t> available_parallelism();

// The same, with the control-group and process files read below `root`
// instead of "/" (so tests can lay out a fake tree).
std::optional<std::size_t> available_parallelism_under(const std::string& root);

// Whole processors the control group may use (quota / period, rounded down;
// kUnlimited without a quota). Files that are missing or unparsable impose
// nothing. Version 1 "cpu" hierarchies are preferred to the unified one.
std::size_t cgroup_quota(const std::string& root);

}  // namespace tessaly
