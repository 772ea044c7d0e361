#include "base/program_values.h"

namespace kavlin {

ProgramValues& program_values() {
  static ProgramValues values;
  return values;
}

}  // namespace kavlin
