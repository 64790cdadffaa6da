#include "foundation/vnassert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void vn_assert_fail(const char* file, unsigned line, const char* condition) {
    // Report the file by its name only, as the message has always looked.
    const char* slash = std::strrchr(file, '/');
    const char* name = slash ? slash + 1 : file;
    std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", name, line, condition);
    std::fflush(stderr);
    std::abort();
}
