// The mount where the build found no libfuse3: the option says so.
#include "shell/mount.h"

#include <cstdio>

#include "serial/output.h"

int mount_check(const char *)
{
    out_complaint("--mount is not built into this orvik (libfuse3 was not found when it "
                  "was built)\n");
    return -1;
}

int mount_serve(const char *)
{
    return 1;
}
