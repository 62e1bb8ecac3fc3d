#pragma once
// The CPU quota of this process's control group, in whole CPUs.  The
// parsers take file contents or a file-system root, so tests can drive them
// with fake /proc and /sys trees.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarnel::engine::pool::detail {

enum class CgroupVersion { v1, v2 };

struct CgroupMembership {
  CgroupVersion version;
  std::string path;  // the group, as /proc/self/cgroup names it ("/a/b")
};

// From the text of /proc/self/cgroup: for v1 the group of the hierarchy
// that lists the "cpu" controller ("4:cpu,cpuacct:/path"), for v2 the
// unified group ("0::/path").  Empty when there is no such line.
std::optional<CgroupMembership> parse_proc_cgroup(std::string_view text, CgroupVersion version);

struct CgroupMount {
  std::string root;         // the part of the hierarchy mounted there
  std::string mount_point;  // where it is mounted
};

// From the text of /proc/self/mountinfo: the mount of the v1 hierarchy
// that carries the "cpu" controller, or of the v2 hierarchy.
std::optional<CgroupMount> parse_mountinfo(std::string_view text, CgroupVersion version);

// The group's directory: the mount point plus the group's path below the
// mount's root.  Empty when the group is not below that root (or the path
// would climb out of it).
std::optional<std::string> cgroup_directory(const CgroupMount& mount, std::string_view group_path);

// A v2 cpu.max ("200000 100000", or "max 100000" for no limit): the limit
// over the period, rounded down and at least 1.  Empty for no limit or
// text that is not a quota.
std::optional<std::uint64_t> parse_cpu_max(std::string_view text);

// The v1 pair cpu.cfs_quota_us / cpu.cfs_period_us, as for cpu.max; a
// quota of -1 means no limit.
std::optional<std::uint64_t> parse_cfs_quota(std::string_view quota, std::string_view period);

// The quota found through <fs_root>/proc/self/cgroup and
// <fs_root>/proc/self/mountinfo; every path read is put under fs_root ("" on
// the live system).  For v2 the smallest cpu.max of the group's directory
// and its parents up to the mount point applies.  Empty when none is found.
std::optional<std::uint64_t> cgroup_cpu_quota(const std::string& fs_root);

}  // namespace quarnel::engine::pool::detail
