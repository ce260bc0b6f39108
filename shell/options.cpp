#include "shell/options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "shell/exits.h"
#include "shell/settings.h"

void usage(void)
{
    std::printf("orvik -- Canon PowerShot S10/S20/S100 digital camera software\n"
                "Version %s\n"
                "\n"
                "usage: orvik -[DugnlELh] -d <serialdevice>\n"
                "\n"
                "  -D                    enable debug mode\n"
                "  -d <serialdevice>     set the serial device, default /dev/cuaa0\n"
                "  -a                    enable A50/Pro70 compatibility mode\n"
                "  -s <serialspeed>      set the serial speed (9600 19200 38400 57600 115200)\n"
                "  -u                    USB mode, default is serial mode\n"
                "  -g                    non-interactive mode, get all images\n"
                "  -n                    non-interactive mode, get all new images\n"
                "  -l                    non-interactive mode, list all images\n"
                "  -E                    non-interactive mode, delete all images\n"
                "  -L                    write files using all lower-case characters\n"
                "  -h                    show this help screen\n",
                ORVIK_VERSION);
}

int leading_number(const char *text)
{
    errno = 0;
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

RunModes parse_options(int argc, char **argv)
{
    RunModes modes{};
    int c;
    // The leading '+' keeps GNU getopt from moving later words forward:
    // options end at the first other argument, so a stray word never turns
    // on a mode written after it (an erase, say).
    while ((c = getopt(argc, argv, "+d:DulgEhUas:Ln")) != -1) {
        switch (c) {
        case 'D':
            settings.debug = 1;
            std::printf("DEBUG mode enabled\n");
            break;
        case 'd':
            settings.device = optarg;
            break;
        case 'a':
            settings.a50 = 1;
            std::printf("A50/Pro70 compatibility mode enabled\n");
            break;
        case 's':
            select_speed(leading_number(optarg));
            break;
        case 'u':
            std::printf("This binary lacks the USB support\n");
            std::exit(1);
        case 'l':
            modes.list = 1;
            break;
        case 'g':
            modes.get_all = 1;
            break;
        case 'n':
            modes.get_new = 1;
            break;
        case 'E':
            modes.erase = 1;
            break;
        case 'U':
            modes.off = 1;
            break;
        case 'L':
            settings.lowercase = 1;
            break;
        default:  // 'h', an unknown letter, a missing argument
            usage();
            std::exit(1);
        }
    }
    return modes;
}
