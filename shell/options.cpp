#include "shell/options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <unistd.h>

#include "files/saveas.h"
#include "files/select.h"
#include "shell/hook.h"

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

namespace {

// Long options have no letter: their codes lie past every character.
enum LongOption { OPT_SAVE_AS = 0x100, OPT_ONLY, OPT_SKIP, OPT_EXEC };

constexpr option long_options[] = {
    {"save-as", required_argument, nullptr, OPT_SAVE_AS},
    {"only", required_argument, nullptr, OPT_ONLY},
    {"skip", required_argument, nullptr, OPT_SKIP},
    {"exec", required_argument, nullptr, OPT_EXEC},
    {nullptr, 0, nullptr, 0},
};

// The import options into their modules; false for any other option.
bool take_import_option(int c, const char *value)
{
    switch (c) {
    case OPT_SAVE_AS:
        if (saveas_set_pattern(value) != 0)
            std::exit(1);
        break;
    case OPT_ONLY:
        select_add_only(value);
        break;
    case OPT_SKIP:
        select_add_skip(value);
        break;
    case OPT_EXEC:
        hook_command = value;
        break;
    default:
        return false;
    }
    save_tally.report = true;  // an import: the batch modes say how it went
    return true;
}

// The filters choose files of the card walk; an erase is all or nothing,
// and the shell has mget for a choice of its own.
void check_filters(const RunModes &modes)
{
    if (!select_active())
        return;
    if (modes.erase) {
        std::fprintf(stderr, "orvik: -E erases every file; --only and --skip cannot be used with it\n");
        std::exit(1);
    }
    if (!modes.list && !modes.get_all && !modes.get_new) {
        std::fprintf(stderr, "orvik: --only and --skip choose the files of -l, -g and -n\n");
        std::exit(1);
    }
}

}  // namespace

RunModes parse_options(int argc, char **argv)
{
    RunModes modes{};
    int c;
    // The leading '+' keeps GNU getopt from moving later words forward:
    // options end at the first other argument, so a stray word never turns
    // on a mode written after it (an erase, say).
    while ((c = getopt_long(argc, argv, "+d:DulgEhUas:Ln", long_options, nullptr)) != -1) {
        if (take_import_option(c, optarg))
            continue;
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
            modes.list = true;
            break;
        case 'g':
            modes.get_all = true;
            break;
        case 'n':
            modes.get_new = true;
            break;
        case 'E':
            modes.erase = true;
            break;
        case 'U':
            modes.off = true;
            break;
        case 'L':
            settings.lowercase = 1;
            break;
        default:  // 'h', an unknown letter, a missing argument
            usage();
            std::exit(1);
        }
    }
    check_filters(modes);
    return modes;
}
