#include "bench/bench_areas.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/program_values.h"

namespace kavlin::bench {

namespace {

// One "longitude latitude" line, nudged off a whole degree.
void write_vertex(std::ofstream& out, double lon, double lat) {
  if (lon == std::floor(lon)) lon = std::nextafter(lon, 100.0);
  if (lat == std::floor(lat)) lat = std::nextafter(lat, 100.0);
  char line[64];
  std::snprintf(line, sizeof line, "%.17g %.17g\n", lon, lat);
  out << line;
}

}  // namespace

// Vertex n at angle 2 pi n / N (turned by a microradian so that no vertex
// falls on a whole degree), radius 2.95 degrees at the tips and 55 % of it
// half-way between, linear in the angle.
void write_star(const std::filesystem::path& path) {
  constexpr int32_t N = MAX_VERTICES;
  constexpr int32_t TIPS = 100;
  const double pi = std::acos(-1.0);
  std::ofstream out(path);
  for (int32_t n = 0; n < N; ++n) {
    const double a = 2.0 * pi * n / N + 1e-6;
    const double phase = static_cast<double>(n % (N / TIPS)) / (N / TIPS);
    const double radius = 2.95 * (0.55 + 0.45 * std::fabs(2.0 * phase - 1.0));
    write_vertex(out, 9.0 + radius * std::cos(a), 47.0 + radius * std::sin(a));
  }
  if (!out) throw std::runtime_error("cannot write the star's polygon file");
}

// Tooth t spans [x, x + pitch / 2] at its base and leans east by a tenth of
// the pitch at its tip; the first tooth's west edge and the last tooth's
// east edge reach down to the spine's south side, which the closing edge
// runs along.
void write_comb(const std::filesystem::path& path) {
  constexpr int32_t TEETH = MAX_VERTICES / 4;
  constexpr double WEST = 6.05, EAST = 11.95, SOUTH = 44.05, SPINE = 44.35, TIP = 49.95;
  const double pitch = (EAST - WEST) / TEETH;
  std::ofstream out(path);
  for (int32_t t = 0; t < TEETH; ++t) {
    const double x = WEST + pitch * t;
    write_vertex(out, x, t == 0 ? SOUTH : SPINE);
    write_vertex(out, x + 0.1 * pitch, TIP);
    write_vertex(out, x + 0.6 * pitch, TIP);
    write_vertex(out, x + 0.5 * pitch, t == TEETH - 1 ? SOUTH : SPINE);
  }
  if (!out) throw std::runtime_error("cannot write the comb's polygon file");
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

namespace {

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

long long io_field(const std::string& io, const std::string& key) {
  const auto at = io.find(key + ": ");
  return at == std::string::npos ? -1 : std::atoll(io.c_str() + at + key.size() + 2);
}

}  // namespace

Child run_child(const std::vector<std::string>& args, const std::filesystem::path& drives,
                const std::filesystem::path& out, const std::filesystem::path& err, const std::filesystem::path& cwd) {
  std::vector<std::string> argv_text = args;
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (drives.empty() || std::strncmp(*e, "KAVLIN_DRIVES=", 14) != 0) env_text.emplace_back(*e);
  }
  if (!drives.empty()) env_text.push_back("KAVLIN_DRIVES=" + drives.string());
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!err.empty()) posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  Child child;
  pid_t pid = -1;
  const auto start = Clock::now();
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawned));
  // Waited for without reaping, so that /proc/<pid>/io is still there.
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) throw std::runtime_error("waitid failed");
  child.seconds = seconds_since(start);
  const std::string io = read_text("/proc/" + std::to_string(pid) + "/io");
  child.write_bytes = io_field(io, "write_bytes");
  child.wchar = io_field(io, "wchar");
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
  child.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  child.max_rss_kib = usage.ru_maxrss;
  child.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  if (out != "/dev/null") child.out = read_text(out);
  return child;
}

double io_floor(const std::vector<std::filesystem::path>& files, bool write_back) {
  constexpr std::size_t PIECE = 1 << 20;
  std::vector<char> buffer(PIECE);
  const auto start = Clock::now();
  for (const std::filesystem::path& path : files) {
    const int fd = ::open(path.c_str(), write_back ? O_RDWR : O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    for (off_t at = 0;;) {
      const ssize_t got = ::pread(fd, buffer.data(), PIECE, at);
      if (got < 0) throw std::runtime_error("cannot read " + path.string());
      if (got == 0) break;
      if (write_back && ::pwrite(fd, buffer.data(), static_cast<std::size_t>(got), at) != got) {
        throw std::runtime_error("cannot write " + path.string());
      }
      at += got;
    }
    if ((write_back && ::fsync(fd) != 0) || ::close(fd) != 0) throw std::runtime_error("cannot force " + path.string());
  }
  return seconds_since(start);
}

}  // namespace kavlin::bench
