// Progress of a long command-line run on standard error, in the form the
// field's command-line tools use: "0...10...20...30...40...50...60...70...
// 80...90...100 - done." (a dot for every 2.5 %, the tens as numbers),
// written as the run goes, one line in all.
#pragma once

#include <cstdint>
#include <ostream>

namespace kavlin::cli {

// When a tool shows its progress: on a terminal unless -q, or always with
// --progress (and never with -q).
struct ProgressChoice {
  bool quiet = false;   // -q, --quiet
  bool forced = false;  // --progress
};
bool shows_progress(const ProgressChoice& choice, int fd);

class ProgressLine {
 public:
  ProgressLine(std::ostream& err, bool shown) : err_(err), shown_(shown) {}
  // `done` of `total` steps done (0 <= done <= total, total > 0).
  void update(int64_t done, int64_t total);
  // Ends the line when anything was shown: " - done." once everything is
  // done, otherwise the line is closed as it stands.
  void finish();

 private:
  std::ostream& err_;
  bool shown_;
  int ticks_ = -1;  // 2.5 % steps shown so far, from 0 to 40
};

}  // namespace kavlin::cli
