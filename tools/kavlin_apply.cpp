// kavlin-apply: one modification of the database from the command line.
// See `kavlin-apply --help`.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli/apply_cli.h"
#include "base/drive_table.h"
#include "base/host_file_services.h"

namespace {

// A standard stream started closed gets /dev/null, opened for reading
// only, in its place: no file of the run (a tile opened for writing above
// all) can take its number and receive the report or the messages, and
// writing to the stream still fails, as it should.
void guard_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int nul = ::open("/dev/null", O_RDONLY);
    if (nul >= 0 && nul != fd) ::close(nul);
  }
}

// Flushes standard output; a report that could not be written is said on
// standard error and ends the run with status 3 (the tiles are written by
// then: the modification itself is done). `error` is the cause when the
// stream already failed before (0 when unknown).
int finish_output(int status, int error = 0) {
  if (std::cout) {
    errno = 0;
    std::cout.flush();
    error = errno;
  }
  if (std::cout) return status;
  std::cerr << "kavlin-apply: cannot write to standard output"
            << (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) << "\n";
  return status == kavlin::cli::EXIT_DONE ? kavlin::cli::EXIT_FILE_ERROR : status;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kavlin::cli;
  guard_standard_streams();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = parse_arguments(args);
  switch (parsed.action) {
    case ParseResult::Action::Help:
      // The text is longer than the stream's buffer: a write may fail
      // before the flush.
      errno = 0;
      std::cout << help_text();
      return finish_output(EXIT_DONE, std::cout ? 0 : errno);
    case ParseResult::Action::Version:
      std::cout << version_line("kavlin-apply");
      return finish_output(EXIT_DONE);
    case ParseResult::Action::Usage:
      std::cerr << "kavlin-apply: " << parsed.error << "\nTry 'kavlin-apply --help' for more information.\n";
      return EXIT_USAGE;
    case ParseResult::Action::Run:
      break;
  }
  ApplyRequest request = parsed.request;
  request.show_progress = shows_progress(request.progress, STDERR_FILENO);
  kavlin::HostFileServices files(kavlin::DriveTable::from_environment());
  const int status = run_request(request, files, std::cout, std::cerr);
  files.CLOSE_ALL_FILES();
  return finish_output(status);
}
