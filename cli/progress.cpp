#include "cli/progress.h"

#include <unistd.h>

namespace kavlin::cli {

bool shows_progress(const ProgressChoice& choice, int fd) {
  if (choice.quiet) return false;
  return choice.forced || ::isatty(fd) == 1;
}

void ProgressLine::update(int64_t done, int64_t total) {
  if (!shown_ || total <= 0 || done < 0) return;
  const auto ticks = static_cast<int>(40 * (done > total ? total : done) / total);
  for (int t = ticks_ + 1; t <= ticks; ++t) {
    if (t % 4 == 0) {
      err_ << (t / 4) * 10;
    } else {
      err_ << '.';
    }
  }
  if (ticks > ticks_) {
    ticks_ = ticks;
    err_.flush();
  }
}

void ProgressLine::finish() {
  if (!shown_ || ticks_ < 0) return;
  err_ << (ticks_ == 40 ? " - done.\n" : "\n");
  err_.flush();
  ticks_ = -1;
}

}  // namespace kavlin::cli
