#include "engine/pool/cgroup_quota.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace quarnel::engine::pool::detail {

namespace {

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  for (std::string_view part : split(line, ' ')) {
    if (!part.empty()) out.push_back(part);
  }
  return out;
}

bool lists(std::string_view comma_list, std::string_view name) {
  for (std::string_view item : split(comma_list, ',')) {
    if (item == name) return true;
  }
  return false;
}

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::uint64_t> whole_cpus(std::string_view limit, std::string_view period) {
  const std::optional<std::uint64_t> l = parse_decimal(limit);
  const std::optional<std::uint64_t> p = parse_decimal(period);
  if (!l || !p || *p == 0) return std::nullopt;
  return std::max<std::uint64_t>(*l / *p, 1);
}

// mountinfo writes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescape_octal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const char a = text[i + 1], b = text[i + 2], c = text[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream contents;
  contents << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(contents).str();
}

std::optional<std::uint64_t> min_quota(std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// The directory of the group under fs_root, found through the two /proc files.
std::optional<std::string> locate(const std::string& fs_root, const std::string& proc_cgroup,
                                  const std::string& mountinfo, CgroupVersion version,
                                  std::string& mount_point) {
  const std::optional<CgroupMembership> group = parse_proc_cgroup(proc_cgroup, version);
  if (!group) return std::nullopt;
  const std::optional<CgroupMount> mount = parse_mountinfo(mountinfo, version);
  if (!mount) return std::nullopt;
  std::optional<std::string> dir = cgroup_directory(*mount, group->path);
  if (!dir) return std::nullopt;
  mount_point = fs_root + mount->mount_point;
  return fs_root + *dir;
}

std::optional<std::uint64_t> v2_quota(const std::string& dir, const std::string& mount_point) {
  std::optional<std::uint64_t> quota;
  std::string current = dir;
  for (;;) {
    if (std::optional<std::string> text = read_file(current + "/cpu.max")) {
      quota = min_quota(quota, parse_cpu_max(*text));
    }
    if (current.size() <= mount_point.size()) return quota;
    const std::size_t slash = current.rfind('/');
    if (slash == std::string::npos || slash < mount_point.size()) return quota;
    current.resize(slash);
  }
}

std::optional<std::uint64_t> v1_quota(const std::string& dir) {
  const std::optional<std::string> quota = read_file(dir + "/cpu.cfs_quota_us");
  const std::optional<std::string> period = read_file(dir + "/cpu.cfs_period_us");
  if (!quota || !period) return std::nullopt;
  return parse_cfs_quota(*quota, *period);
}

}  // namespace

std::optional<CgroupMembership> parse_proc_cgroup(std::string_view text, CgroupVersion version) {
  for (std::string_view line : split(text, '\n')) {
    // "hierarchy-id:controllers:path"; the path itself may hold colons.
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (path.empty() || path.front() != '/') continue;
    const bool match =
        version == CgroupVersion::v1 ? lists(controllers, "cpu") : id == "0" && controllers.empty();
    if (match) return CgroupMembership{version, std::string(path)};
  }
  return std::nullopt;
}

std::optional<CgroupMount> parse_mountinfo(std::string_view text, CgroupVersion version) {
  for (std::string_view line : split(text, '\n')) {
    // "id parent major:minor root mount-point options [optional...] - type source super-options"
    const std::vector<std::string_view> f = fields(line);
    const auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
    if (dash == f.end() || dash - f.begin() < 6 || f.end() - dash < 4) continue;
    const std::string_view type = dash[1];
    const std::string_view super_options = dash[3];
    const bool match =
        version == CgroupVersion::v1 ? type == "cgroup" && lists(super_options, "cpu") : type == "cgroup2";
    if (match) return CgroupMount{unescape_octal(f[3]), unescape_octal(f[4])};
  }
  return std::nullopt;
}

std::optional<std::string> cgroup_directory(const CgroupMount& mount, std::string_view group_path) {
  std::string_view root = mount.root;
  while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  std::string_view below = group_path;
  if (root != "/") {
    if (below.substr(0, root.size()) != root) return std::nullopt;
    below.remove_prefix(root.size());
    if (!below.empty() && below.front() != '/') return std::nullopt;  // "/a" is no root of "/ab"
  }
  for (std::string_view part : split(below, '/')) {
    if (part == "..") return std::nullopt;
  }
  std::string dir = mount.mount_point;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  while (!below.empty() && below.back() == '/') below.remove_suffix(1);
  if (!below.empty() && below != "/") dir += below;
  return dir;
}

std::optional<std::uint64_t> parse_cpu_max(std::string_view text) {
  const std::vector<std::string_view> f = fields(trim(text));
  if (f.size() != 2 || f[0] == "max") return std::nullopt;
  return whole_cpus(f[0], f[1]);
}

std::optional<std::uint64_t> parse_cfs_quota(std::string_view quota, std::string_view period) {
  // "-1" (or any negative value) fails the digit check: no limit.
  return whole_cpus(trim(quota), trim(period));
}

std::optional<std::uint64_t> cgroup_cpu_quota(const std::string& fs_root) {
  const std::optional<std::string> proc_cgroup = read_file(fs_root + "/proc/self/cgroup");
  const std::optional<std::string> mountinfo = read_file(fs_root + "/proc/self/mountinfo");
  if (!proc_cgroup || !mountinfo) return std::nullopt;
  std::string mount_point;
  // The cpu controller sits in exactly one hierarchy: a v1 one when
  // /proc/self/cgroup lists it, else the unified one.
  if (parse_proc_cgroup(*proc_cgroup, CgroupVersion::v1)) {
    if (std::optional<std::string> dir =
            locate(fs_root, *proc_cgroup, *mountinfo, CgroupVersion::v1, mount_point)) {
      return v1_quota(*dir);
    }
  }
  if (std::optional<std::string> dir =
          locate(fs_root, *proc_cgroup, *mountinfo, CgroupVersion::v2, mount_point)) {
    return v2_quota(*dir, mount_point);
  }
  return std::nullopt;
}

}  // namespace quarnel::engine::pool::detail
