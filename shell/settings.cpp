#include "shell/settings.h"

Settings settings = {
    0,             // debug
    0,             // a50
    0,             // lowercase
    0,             // overwrite
    115200,        // speed
    "/dev/cuaa0",  // device
    0,             // clock_offset, computed at start-up
    "D:\\DCIM",    // dcim
};
