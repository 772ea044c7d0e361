#include "base/kernels.h"

namespace kavlin::kernels {

// --- Edge crossings of the area test ---

// --- The flag operation on the words of a record ---

// --- Changed words of a record: found, and hashed ---

}  // namespace kavlin::kernels
