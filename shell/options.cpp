#include "shell/options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/saveas.h"
#include "files/select.h"
#include "files/termimage.h"
#include "serial/hint.h"
#include "serial/output.h"
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

// Whether the short-option word (e.g. "-Dd") leaves its option's argument
// to the next word, as getopt reads "d:" and "s:".
bool argument_follows(const char *word)
{
    for (const char *c = word + 1; *c != '\0'; c++)
        if (*c == 'd' || *c == 's')
            return c[1] == '\0';
    return false;
}

void list_ports_and_exit(void)
{
    if (serial_print_ports("/dev", "/sys/class/tty", stdout) > 0)
        std::exit(0);
    out_complaint("no serial port found here (is the USB serial adapter plugged in?)\n");
    std::exit(1);
}

// The long options getopt_long reads with the short ones, in either form
// ("--only=GLOB" or "--only GLOB").
bool is_import_option(const char *word)
{
    static const char *const names[] = {"--save-as", "--only", "--skip", "--exec", "--mount"};
    for (const char *name : names) {
        const size_t n = std::strlen(name);
        if (std::strncmp(word, name, n) == 0 && (word[n] == '\0' || word[n] == '='))
            return true;
    }
    return false;
}

// Acts on the long option argv[*at]; an --images given its mode as the next
// word moves *at past it.  False, with nothing done, for the long options
// that getopt_long reads with the short ones (the import options).
bool apply_long_option(int argc, char **argv, int *at)
{
    const char *word = argv[*at];
    const char *images = nullptr;
    if (std::strcmp(word, "--help") == 0) {
        usage();
        std::fputs("  -U                    connect and switch the camera off, then end\n"
                   "  --images=<mode>       thumbnails in the terminal: auto kitty sixel iterm "
                    "symbols none\n"
                    "  --list-ports          list the serial ports of this machine\n"
                    "  --save-as=<pattern>   where downloads go (%Y %m %d %H %M %S %F %n %b %e)\n"
                    "  --only=<glob>         take only the files that match (repeatable)\n"
                    "  --skip=<glob>         leave the files that match (repeatable)\n"
                    "  --exec=<command>      run a command after each file saved\n"
                    "  --mount <dir>         serve the card as a folder at <dir> until unmounted\n"
                    "  --version             show the version\n"
                    "  --help                show this help screen and end with status 0\n",
                   stdout);
        std::exit(0);
    } else if (std::strcmp(word, "--version") == 0) {
        std::printf("orvik %s\n", ORVIK_VERSION);
        std::exit(0);
    } else if (std::strcmp(word, "--list-ports") == 0) {
        list_ports_and_exit();
    } else if (std::strncmp(word, "--images=", 9) == 0) {
        images = word + 9;
    } else if (std::strcmp(word, "--images") == 0 && *at + 1 < argc) {
        images = argv[++*at];
    } else if (is_import_option(word)) {
        return false;
    } else {
        out_complaint("unrecognized option '%s'\n", word);
        usage();
        std::exit(1);
    }
    if (images != nullptr && term_images_choose(images) != 0) {
        out_complaint("--images takes auto, kitty, sixel, iterm, symbols or none, not '%s'\n",
                      images);
        std::exit(1);
    }
    return true;
}

// A path as a shell reads it back: bare when it holds only harmless
// characters, in single quotes otherwise.
void print_shell_word(const char *text)
{
    if (text[0] != '\0' && text[std::strspn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                   "0123456789/._-+:@%,")] == '\0') {
        std::fputs(text, stderr);
        return;
    }
    std::fputc('\'', stderr);
    for (const char *c = text; *c != '\0'; c++) {
        if (*c == '\'')
            std::fputs("'\\''", stderr);
        else
            std::fputc(*c, stderr);
    }
    std::fputc('\'', stderr);
}

// Options end at the first other word; someone who wrote the device there,
// as other serial tools take it, learns why it was not used.
void note_ignored(const char *word)
{
    struct stat st;
    out_complaint("ignoring '%s' and what follows it: options come first", word);
    if (stat(word, &st) == 0 && S_ISCHR(st.st_mode)) {
        std::fprintf(stderr, "; to use it as the serial device: orvik -d ");
        print_shell_word(word);
    }
    std::fputc('\n', stderr);
}

// Long options have no letter: their codes lie past every character.
enum LongOption { OPT_SAVE_AS = 0x100, OPT_ONLY, OPT_SKIP, OPT_EXEC, OPT_MOUNT };

constexpr option long_options[] = {
    {"save-as", required_argument, nullptr, OPT_SAVE_AS},
    {"only", required_argument, nullptr, OPT_ONLY},
    {"skip", required_argument, nullptr, OPT_SKIP},
    {"exec", required_argument, nullptr, OPT_EXEC},
    {"mount", required_argument, nullptr, OPT_MOUNT},
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
        out_complaint("-E erases every file; --only and --skip cannot be used with it\n");
        std::exit(1);
    }
    if (!modes.list && !modes.get_all && !modes.get_new) {
        out_complaint("--only and --skip choose the files of -l, -g and -n\n");
        std::exit(1);
    }
}

// The letters that choose a run mode.  False for any other.
bool take_mode_option(int c, RunModes *modes)
{
    switch (c) {
    case 'l':
        modes->list = true;
        return true;
    case 'g':
        modes->get_all = true;
        return true;
    case 'n':
        modes->get_new = true;
        return true;
    case 'E':
        modes->erase = true;
        return true;
    case 'U':
        modes->off = true;
        return true;
    default:
        return false;
    }
}

}  // namespace

int take_long_options(int argc, char **argv)
{
    int kept = 1, i = 1;
    for (; i < argc; i++) {
        const char *word = argv[i];
        if (word[0] != '-' || word[1] == '\0' || std::strcmp(word, "--") == 0)
            break;
        if (word[1] == '-' && apply_long_option(argc, argv, &i))
            continue;
        argv[kept++] = argv[i];
        if (argument_follows(word) && i + 1 < argc)
            argv[kept++] = argv[++i];
    }
    while (i < argc)
        argv[kept++] = argv[i++];
    argv[kept] = nullptr;
    return kept;
}

RunModes parse_options(int argc, char **argv)
{
    RunModes modes{};
    int c;
    // The leading '+' keeps GNU getopt from moving later words forward:
    // options end at the first other argument, so a stray word never turns
    // on a mode written after it (an erase, say).
    while ((c = getopt_long(argc, argv, "+d:DulgEhUas:Ln", long_options, nullptr)) != -1) {
        if (take_import_option(c, optarg) || take_mode_option(c, &modes))
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
        case 'L':
            settings.lowercase = 1;
            break;
        case OPT_MOUNT:
            modes.mount = optarg;
            break;
        default:  // 'h', an unknown letter, a missing argument
            usage();
            std::exit(1);
        }
    }
    if (optind < argc)
        note_ignored(argv[optind]);
    check_filters(modes);
    if (modes.mount != nullptr && (modes.list || modes.get_all || modes.get_new || modes.erase ||
                                   modes.off)) {
        out_complaint("--mount serves the card until it is unmounted; it does not go with "
                      "-l, -g, -n, -E or -U\n");
        std::exit(1);
    }
    return modes;
}
