// Test programs under Windows write "\n", not "\r\n": CTest reads their test
// lists and output line by line.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace {

const bool binary_stdio = [] {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}();

}  // namespace
