// The default thread count: the environment variables, the cgroup CPU quota
// (on fake /proc and /sys trees), the processor fallbacks and the cap.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "engine/pool/cgroup_quota.hpp"
#include "engine/pool/thread_count.hpp"
#include "engine/pool/thread_count_detail.hpp"
#include "engine/pool/worker_pool.hpp"

namespace quarnel::engine::pool::detail {
namespace {

namespace fs = std::filesystem;

TEST(ThreadEnv, AcceptsOnlyAPlusAndDigitsThatFitIn64Bits) {
  EXPECT_EQ(parse_thread_env("3"), 3u);
  EXPECT_EQ(parse_thread_env("+3"), 3u);
  EXPECT_EQ(parse_thread_env("0"), 0u);
  EXPECT_EQ(parse_thread_env("007"), 7u);
  EXPECT_EQ(parse_thread_env("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "+", "++3", "-3", " 3", "3 ", "3x", "three", "0x10", "1e3",
                          "18446744073709551616", "99999999999999999999999"}) {
    EXPECT_FALSE(parse_thread_env(bad).has_value()) << '"' << bad << '"';
  }
  EXPECT_FALSE(parse_thread_env(nullptr).has_value());
}

TEST(ThreadEnv, NumThreadsThenRsNumCpusThenProcessors) {
  EXPECT_EQ(thread_count_from_env("3", "5"), 3u);
  EXPECT_EQ(thread_count_from_env("+3", nullptr), 3u);
  // 0 asks for the processors and does not fall through to the second variable.
  EXPECT_FALSE(thread_count_from_env("0", "5").has_value());
  // Anything unparsable falls through.
  EXPECT_EQ(thread_count_from_env("lots", "5"), 5u);
  EXPECT_EQ(thread_count_from_env("-2", "+5"), 5u);
  EXPECT_EQ(thread_count_from_env(" 4", "5"), 5u);
  EXPECT_EQ(thread_count_from_env(nullptr, "5"), 5u);
  EXPECT_FALSE(thread_count_from_env(nullptr, "0").has_value());
  EXPECT_FALSE(thread_count_from_env("x", "+").has_value());
  EXPECT_FALSE(thread_count_from_env(nullptr, nullptr).has_value());
}

TEST(ThreadCount, ProcessorFallbacksQuotaAndCap) {
  EXPECT_EQ(available_processors(16, 32, std::nullopt), 16u);
  EXPECT_EQ(available_processors(16, 32, 2), 2u);  // a 2-CPU group on a 16-CPU machine
  EXPECT_EQ(available_processors(4, 32, 8), 4u);
  EXPECT_EQ(available_processors(std::nullopt, 8, std::nullopt), 8u);
  EXPECT_EQ(available_processors(0, 8, 3), 3u);  // an empty mask counts as unreadable
  EXPECT_EQ(available_processors(std::nullopt, std::nullopt, 4), 1u);
  EXPECT_EQ(available_processors(std::nullopt, 0, std::nullopt), 1u);

  const auto sixteen = [] { return std::uint64_t{16}; };
  const auto huge = [] { return std::uint64_t{100000}; };
  EXPECT_EQ(resolve_default_thread_count("3", nullptr, sixteen), 3u);
  EXPECT_EQ(resolve_default_thread_count("0", "5", sixteen), 16u);
  EXPECT_EQ(resolve_default_thread_count("70000", nullptr, sixteen), max_thread_count);
  EXPECT_EQ(resolve_default_thread_count(nullptr, "18446744073709551615", sixteen), max_thread_count);
  EXPECT_EQ(resolve_default_thread_count(nullptr, nullptr, huge), max_thread_count);
}

TEST(ThreadCount, EnvironmentIsReadOnceAtFirstUse) {
  // A fresh process, so that this is the first use of the default.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "+3", 1);
        const unsigned first = default_thread_count();
        setenv("RAYON_NUM_THREADS", "5", 1);
        const unsigned second = default_thread_count();
        Result<WorkerPool> pool = WorkerPool::create(-1);
        const unsigned pooled = pool ? pool->thread_count() : 0;
        _exit(first == 3 && second == 3 && pooled == 3 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(CgroupFiles, CpuMaxAndCfsQuota) {
  EXPECT_EQ(parse_cpu_max("200000 100000\n"), 2u);
  EXPECT_EQ(parse_cpu_max("250000 100000"), 2u);   // rounded down
  EXPECT_EQ(parse_cpu_max("50000 100000\n"), 1u);  // at least one
  EXPECT_FALSE(parse_cpu_max("max 100000\n").has_value());
  EXPECT_FALSE(parse_cpu_max("200000 0").has_value());
  EXPECT_FALSE(parse_cpu_max("200000").has_value());
  EXPECT_FALSE(parse_cpu_max("").has_value());
  EXPECT_FALSE(parse_cpu_max("-1 100000").has_value());

  EXPECT_EQ(parse_cfs_quota("300000\n", "100000\n"), 3u);
  EXPECT_EQ(parse_cfs_quota("20000", "100000"), 1u);
  EXPECT_FALSE(parse_cfs_quota("-1\n", "100000\n").has_value());
  EXPECT_FALSE(parse_cfs_quota("300000", "0").has_value());
}

TEST(CgroupFiles, MembershipAndMountLines) {
  const char* hybrid =
      "12:pids:/user.slice\n"
      "4:cpu,cpuacct:/batch/job7\n"
      "0::/user.slice/session-2.scope\n";
  auto v1 = parse_proc_cgroup(hybrid, CgroupVersion::v1);
  ASSERT_TRUE(v1.has_value());
  EXPECT_EQ(v1->path, "/batch/job7");
  auto v2 = parse_proc_cgroup(hybrid, CgroupVersion::v2);
  ASSERT_TRUE(v2.has_value());
  EXPECT_EQ(v2->path, "/user.slice/session-2.scope");
  // "cpuacct" or "cpuset" alone is not the cpu controller.
  EXPECT_FALSE(parse_proc_cgroup("3:cpuset:/\n2:cpuacct:/\n", CgroupVersion::v1).has_value());

  const char* mountinfo =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "30 22 0:27 / /sys/fs/cgroup rw - tmpfs tmpfs rw,mode=755\n"
      "31 30 0:28 / /sys/fs/cgroup/cpuset rw shared:7 - cgroup cgroup rw,cpuset\n"
      "32 30 0:29 /batch /sys/fs/cgroup/cpu,cpuacct rw shared:8 - cgroup cgroup rw,cpu,cpuacct\n"
      "40 30 0:37 /ctr /sys/fs/cgroup/uni\\040fied rw - cgroup2 cgroup2 rw,nsdelegate\n";
  auto m1 = parse_mountinfo(mountinfo, CgroupVersion::v1);
  ASSERT_TRUE(m1.has_value());
  EXPECT_EQ(m1->root, "/batch");
  EXPECT_EQ(m1->mount_point, "/sys/fs/cgroup/cpu,cpuacct");
  auto m2 = parse_mountinfo(mountinfo, CgroupVersion::v2);
  ASSERT_TRUE(m2.has_value());
  EXPECT_EQ(m2->mount_point, "/sys/fs/cgroup/uni fied");

  EXPECT_EQ(cgroup_directory({"/", "/sys/fs/cgroup"}, "/a/b"), "/sys/fs/cgroup/a/b");
  EXPECT_EQ(cgroup_directory({"/", "/sys/fs/cgroup"}, "/"), "/sys/fs/cgroup");
  EXPECT_EQ(cgroup_directory({"/batch", "/mnt"}, "/batch/job7"), "/mnt/job7");
  EXPECT_EQ(cgroup_directory({"/batch", "/mnt"}, "/batch"), "/mnt");
  EXPECT_FALSE(cgroup_directory({"/batch", "/mnt"}, "/batchx/job7").has_value());
  EXPECT_FALSE(cgroup_directory({"/batch", "/mnt"}, "/other").has_value());
  EXPECT_FALSE(cgroup_directory({"/", "/mnt"}, "/a/../../etc").has_value());
}

// A fake root holding proc/self/{cgroup,mountinfo} and cgroup files.
class FakeRoot : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quarnel-cgroup-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const std::string& relative, const std::string& text) {
    const fs::path path = fs::path(root_) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }

  std::string root_;
};

TEST_F(FakeRoot, V2SmallestQuotaOfGroupAndParentsApplies) {
  write("proc/self/cgroup", "0::/user.slice/app.service\n");
  write("proc/self/mountinfo", "30 22 0:27 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n");
  EXPECT_FALSE(cgroup_cpu_quota(root_).has_value());  // no cpu.max anywhere: no limit

  write("sys/fs/cgroup/user.slice/app.service/cpu.max", "max 100000\n");
  EXPECT_FALSE(cgroup_cpu_quota(root_).has_value());
  write("sys/fs/cgroup/user.slice/cpu.max", "200000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), 2u);
  write("sys/fs/cgroup/user.slice/app.service/cpu.max", "350000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), 2u);
  write("sys/fs/cgroup/user.slice/app.service/cpu.max", "150000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), 1u);
}

TEST_F(FakeRoot, V2InsideAContainerWithItsOwnMountRoot) {
  write("proc/self/cgroup", "0::/docker/abc\n");
  write("proc/self/mountinfo", "40 30 0:37 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n");
  write("sys/fs/cgroup/cpu.max", "400000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), 4u);
}

TEST_F(FakeRoot, V1CpuControllerWinsOnAHybridSystem) {
  write("proc/self/cgroup", "4:cpu,cpuacct:/grp\n0::/\n");
  write("proc/self/mountinfo",
        "31 30 0:28 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
        "40 30 0:37 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
  write("sys/fs/cgroup/unified/cpu.max", "100000 100000\n");
  write("sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "300000\n");
  write("sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), 3u);
  write("sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "-1\n");
  EXPECT_FALSE(cgroup_cpu_quota(root_).has_value());
}

TEST_F(FakeRoot, MissingOrForeignFilesMeanNoLimit) {
  EXPECT_FALSE(cgroup_cpu_quota(root_).has_value());  // no /proc files at all
  write("proc/self/cgroup", "garbage\n");
  write("proc/self/mountinfo", "also garbage\n");
  EXPECT_FALSE(cgroup_cpu_quota(root_).has_value());
  write("proc/self/cgroup", "0::/a\n");
  write("proc/self/mountinfo", "30 22 0:27 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n");
  write("sys/fs/cgroup/a/cpu.max", "100000 100000\n");
  EXPECT_FALSE(cgroup_cpu_quota(root_).has_value());  // no cgroup2 mount
}

}  // namespace
}  // namespace quarnel::engine::pool::detail
