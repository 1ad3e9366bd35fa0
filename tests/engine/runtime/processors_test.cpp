// The default worker count: control-group quotas read from fake trees laid
// out under a temporary directory, and the affinity mask of this process.
#include <sched.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "engine/runtime/processors.hpp"

namespace tessaly {
namespace {

class CgroupTree : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessaly-cgroup-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  // `path` is relative to the fake "/".
  void write(const std::string& path, const std::string& text) {
    const std::filesystem::path file = std::filesystem::path(root_) / path;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  void v2_group(const std::string& group) {
    write("proc/self/cgroup", "0::/" + group + "\n");
    write("sys/fs/cgroup/" + group + "/cgroup.controllers", "cpu io memory pids\n");
  }
  void v1_limit(const std::string& dir, const std::string& quota, const std::string& period) {
    write(dir + "/cpu.cfs_quota_us", quota);
    write(dir + "/cpu.cfs_period_us", period);
  }
  std::size_t quota() const { return cgroup_quota(root_); }

  std::string root_;
};

TEST_F(CgroupTree, NoCgroupFileMeansNoQuota) { EXPECT_EQ(quota(), kUnlimited); }

class CpuMax : public CgroupTree,
               public testing::WithParamInterface<std::pair<const char*, std::size_t>> {};

TEST_P(CpuMax, WholeProcessorsOfLimitOverPeriod) {
  v2_group("a/b");
  write("sys/fs/cgroup/a/b/cpu.max", GetParam().first);
  EXPECT_EQ(quota(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CpuMax,
    testing::Values(std::pair{"50000 100000\n", std::size_t{0}},
                    std::pair{"200000 100000\n", std::size_t{2}},
                    std::pair{"250000 100000", std::size_t{2}},
                    std::pair{"max 100000\n", kUnlimited}, std::pair{"200000 0\n", kUnlimited},
                    std::pair{"-100000 100000\n", kUnlimited},
                    std::pair{"200000\n", kUnlimited}, std::pair{"", kUnlimited},
                    std::pair{"two hundred thousand\n", kUnlimited}));

TEST_F(CgroupTree, V2SmallestLimitOnTheWayUpWins) {
  v2_group("a/b");
  write("sys/fs/cgroup/a/b/cpu.max", "500000 100000\n");
  write("sys/fs/cgroup/a/cpu.max", "300000 100000\n");
  write("sys/fs/cgroup/cpu.max", "max 100000\n");
  write("sys/fs/cpu.max", "100000 100000\n");  // above the hierarchy: not a group
  EXPECT_EQ(quota(), 3u);
  write("sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
  write("sys/fs/cgroup/cpu.max", "400000 100000\n");
  EXPECT_EQ(quota(), 3u);
}

TEST_F(CgroupTree, V2WithoutControllersFileHasNoQuota) {
  write("proc/self/cgroup", "0::/a/b\n");
  write("sys/fs/cgroup/a/b/cpu.max", "100000 100000\n");
  EXPECT_EQ(quota(), kUnlimited);
}

TEST_F(CgroupTree, V1QuotaOverPeriodUpToTheMount) {
  write("proc/self/cgroup", "12:memory:/grp\n3:cpu,cpuacct:/grp\n");
  v1_limit("sys/fs/cgroup/cpu,cpuacct/grp", "150000\n", "100000\n");
  v1_limit("sys/fs/cgroup", "0\n", "100000\n");  // above the mount: ignored
  EXPECT_EQ(quota(), 1u);
  v1_limit("sys/fs/cgroup/cpu,cpuacct/grp", "-1\n", "100000\n");
  EXPECT_EQ(quota(), kUnlimited);
  v1_limit("sys/fs/cgroup/cpu,cpuacct", " 250000\n", "100000 \n");
  EXPECT_EQ(quota(), 2u);
}

TEST_F(CgroupTree, V1PreferredToV2) {
  write("proc/self/cgroup", "0::/u\n4:cpu:/grp\n");
  write("sys/fs/cgroup/u/cgroup.controllers", "cpu\n");
  write("sys/fs/cgroup/u/cpu.max", "100000 100000\n");
  v1_limit("sys/fs/cgroup/cpu/grp", "300000\n", "100000\n");
  EXPECT_EQ(quota(), 3u);
  v1_limit("sys/fs/cgroup/cpu/grp", "-1\n", "100000\n");
  EXPECT_EQ(quota(), kUnlimited);
}

TEST_F(CgroupTree, V1MountFoundThroughMountinfo) {
  write("proc/self/cgroup", "3:cpu,cpuacct:/grp\n");
  // "cpuacct" alone is not the cpu controller.
  write("proc/self/mountinfo",
        "34 25 0:29 / /sys/fs/cgroup/memory rw,nosuid - cgroup cgroup rw,memory\n"
        "35 25 0:30 / /sys/fs/cgroup/acct rw,nosuid shared:9 - cgroup cgroup rw,cpuacct\n"
        "36 25 0:31 / /sys/fs/cgroup/mycpu rw,nosuid shared:10 - cgroup cgroup rw,cpu,cpuacct\n");
  v1_limit("sys/fs/cgroup/acct/grp", "50000\n", "100000\n");
  v1_limit("sys/fs/cgroup/mycpu/grp", "150000\n", "100000\n");
  EXPECT_EQ(quota(), 1u);
}

TEST_F(CgroupTree, V1MountRootIsStrippedFromTheGroupPath) {
  write("proc/self/cgroup", "3:cpu:/outer/grp\n");
  write("proc/self/mountinfo",
        "35 25 0:30 /outer /sys/fs/cgroup/mycpu rw,nosuid - cgroup cgroup rw,cpu\n");
  v1_limit("sys/fs/cgroup/mycpu/grp", "200000\n", "100000\n");
  EXPECT_EQ(quota(), 2u);
}

TEST_F(CgroupTree, HalfAProcessorStillGivesOneWorker) {
  v2_group("app");
  write("sys/fs/cgroup/app/cpu.max", "50000 100000\n");
  EXPECT_EQ(available_parallelism_under(root_), std::optional<std::size_t>{1});
}

TEST(AvailableParallelism, FollowsTheAffinityMask) {
  cpu_set_t original;
  ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &original)) ++cpu;
  cpu_set_t single;
  CPU_ZERO(&single);
  CPU_SET(cpu, &single);
  ASSERT_EQ(sched_setaffinity(0, sizeof single, &single), 0);
  const auto count = available_parallelism();
  ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
  EXPECT_EQ(count, std::optional<std::size_t>{1});
}

}  // namespace
}  // namespace tessaly
