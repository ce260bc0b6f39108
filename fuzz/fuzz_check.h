// A failed property aborts with its text, which libFuzzer reports as a
// crash and saves the input for.
#ifndef ORVIK_FUZZ_CHECK_H
#define ORVIK_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

inline void fuzz_check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

#endif
