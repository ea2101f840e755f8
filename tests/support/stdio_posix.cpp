// Standard streams of the test programs on POSIX systems: nothing to adjust.
#include <string>

#include "support/capture.h"

namespace dirov::test {

void prepare_redirect(int) {}
void normalize_line_ends(std::string&) {}

}  // namespace dirov::test
