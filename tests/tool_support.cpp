#include "tests/tool_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "tests/engine_test_db.h"
#include "tests/test_support.h"
#include "tiles/tile_files.h"

extern char** environ;

namespace kavlin::testing {

ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& cwd,
                          const std::map<std::string, std::optional<std::string>>& env) {
  StartedProgram started = start_program(program, args, cwd, env);
  return wait_program(started);
}

StartedProgram start_program(const std::string& program, const std::vector<std::string>& args,
                             const std::filesystem::path& cwd,
                             const std::map<std::string, std::optional<std::string>>& env) {
  // The child's output goes to files, so that neither stream can block it.
  auto capture = std::make_shared<TempDir>();
  const std::string out_path = (capture->path() / "out").string();
  const std::string err_path = (capture->path() / "err").string();

  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (env.count(name) == 0) env_strings.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value) env_strings.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));

  return {pid, capture};
}

ProcessResult wait_program(StartedProgram& started) {
  int wstatus = 0;
  while (waitpid(started.pid, &wstatus, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  started.pid = -1;
  ProcessResult result;
  result.exit_status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  result.out = read_file(started.capture->path() / "out");
  result.err = read_file(started.capture->path() / "err");
  return result;
}

bool program_running(const StartedProgram& started) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(started.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

TileImage TileImage::load(const std::filesystem::path& path, int32_t LAT_DEG) {
  TileImage image;
  image.bytes = read_file(path);
  const TileOrigin origin = TILE_ORIGIN(0, LAT_DEG);
  image.columns = origin.columns();
  image.record_length = origin.record_length();
  return image;
}

uint16_t TileImage::word(int32_t record, int32_t l, int32_t k) const {
  return word_at(bytes, record_length, record, word_offset(l, k, columns) / 2);
}

uint16_t TileImage::word_at_index(std::size_t index) const {
  return word_at(bytes, record_length, 1, static_cast<int32_t>(index));
}

}  // namespace kavlin::testing
