// The mount where the build found no libfuse3: the option says so.
#include "shell/mount.h"

#include <cstdio>

int mount_check(const char *)
{
    std::fprintf(stderr, "orvik: --mount is not built into this orvik (libfuse3 was not "
                         "found when it was built)\n");
    return -1;
}

int mount_serve(const char *)
{
    return 1;
}
