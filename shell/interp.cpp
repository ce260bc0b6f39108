#include "shell/interp.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include <readline/tilde.h>

#include "camera/connect.h"
#include "camera/status.h"
#include "files/cache.h"
#include "files/download.h"
#include "files/listing.h"
#include "files/manage.h"
#include "files/thumb.h"
#include "files/upload.h"
#include "serial/frame.h"
#include "serial/hint.h"
#include "serial/output.h"
#include "serial/port.h"
#include "shell/bulk.h"
#include "shell/exits.h"
#include "shell/hook.h"
#include "shell/options.h"
#include "shell/settings.h"

namespace {

constexpr int TOKEN_MAX = 1023;

// How many words may follow a command's name.
enum ArgumentRule {
    ARGS_NONE,        // takes none; words after the name are disregarded
    ARGS_OPTIONAL,    // may take one; the command looks at the count itself
    ARGS_ONE,         // exactly one, else "not enough arguments"
    ARGS_ONE_OR_TWO,  // a source and perhaps a target: only upload
    ARGS_SOME,        // one or more, else "not enough arguments"
};

struct Command {
    const char *names[3];  // synonyms; unused slots are nullptr
    ArgumentRule rule;
    ArgumentKind argument;
    void (*run)(char **tokens, int count);  // prints the outcome itself
    DispatchResult then = DISPATCH_CONTINUE;
    bool needs_line = true;  // talks to the camera: not run without a working line
};

// "get error" or "get successful", as the file commands report.
void report(int result, const char *what)
{
    // It completes the progress row of an upload.
    out_line("%s %s\n", what, result == -1 ? "error" : "successful");
}

void run_nothing(char **, int) {}

void run_id(char **, int)
{
    if (const char *id = camera_get_id()) {
        std::printf("camera ID: %s\n", id);
        std::printf("firmware : %s\n", camera_state.firmware);
    }
}

void run_diskinfo(char **tokens, int)
{
    const char *drive = tokens[1];
    int size = 0, free_bytes = 0;
    if (camera_get_disk_info(drive, &size, &free_bytes) == 0) {
        std::printf("Disk size: %d bytes (%d K)\n", size, size / 1024);
        std::printf("available: %d bytes (%d K)\n", free_bytes, free_bytes / 1024);
    } else {
        std::printf("Disk info unavailable for %c:\n", drive[0]);
    }
}

void run_power(char **, int)
{
    int high = 0, ac = 0;
    if (camera_get_power(&high, &ac) != 0)
        return;
    if (ac) {
        std::printf("The camera is using the AC adapter\n");
    } else {
        std::printf("The camera is using the battery\n");
        std::printf(high ? "battery level is HIGH\n" : "battery level is LOW\n");
    }
}

void run_date(char **, int)
{
    time_t clock;
    if (camera_get_date(&clock) != 0)
        return;
    clock += settings.clock_offset;
    const char *text = std::ctime(&clock);
    std::printf("Camera date: %s", text != nullptr ? text : "?\n");
}

void run_speed(char **tokens, int count)
{
    if (count != 2) {
        select_speed(0);
        return;
    }
    int before = settings.speed;
    select_speed(leading_number(tokens[1]));
    // The camera only changes speed during the connection handshake, so a
    // new speed needs a full reconnection.
    if (settings.speed != before) {
        camera_close();
        open_camera();
    }
}

// `open DEVICE` opens another path (a re-plugged USB adapter often comes
// back under the next number); it stays the device of later opens.
void run_open(char **tokens, int count)
{
    static char device[TOKEN_MAX + 1];
    if (count == 2) {
        std::snprintf(device, sizeof device, "%s", tokens[1]);
        settings.device = device;
    }
    open_camera();
}

// `lcd`, as in ftp clients: where downloads go from now on.
void run_lcd(char **tokens, int count)
{
    if (count > 1) {
        // The viewer's temporary file belongs to the folder it was made in.
        remove_temp_file();
        char *folder = tilde_expand(tokens[1]);  // as a shell would have
        const int changed = folder != nullptr ? chdir(folder) : -1;
        std::free(folder);
        if (changed != 0) {
            out_error("lcd: %s: %s\n", tokens[1], std::strerror(errno));
            std::printf("lcd error\n");
            return;
        }
    }
    char here[4096];
    if (getcwd(here, sizeof here) == nullptr) {
        out_error("lcd: getcwd: %s\n", std::strerror(errno));
        std::printf("lcd error\n");
        return;
    }
    std::printf("Local directory now %s\n", here);
}

void run_upload(char **tokens, int count)
{
    report(camera_upload(tokens[1], count == 3 ? tokens[2] : nullptr), "upload");
}

// In the order the dispatcher tries them and completion offers them.
constexpr Command commands[] = {
    {{"close"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) {
         camera_close();
         std::printf("Now the camera should be OFF\n");
     }, DISPATCH_CONTINUE, false},
    {{"quit", "exit", "bye"}, ARGS_NONE, ARGUMENT_NONE, run_nothing, DISPATCH_END, false},
    {{"debug"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) {
         settings.debug = 1 - settings.debug;
         std::printf(settings.debug ? "debug is on\n" : "debug is off\n");
     }, DISPATCH_CONTINUE, false},
    {{"id"}, ARGS_NONE, ARGUMENT_NONE, run_id},
    {{"disk"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) {
         if (const char *disk = camera_get_disk())
             std::printf("camera disk: %s\n", disk);
     }},
    {{"ping"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { camera_ping(); }},
    {{"diskinfo"}, ARGS_ONE, ARGUMENT_NONE, run_diskinfo},
    {{"ls", "dir", "cd"}, ARGS_OPTIONAL, ARGUMENT_CAMERA_DIR, [](char **tokens, int count) {
         if (camera_ls(count > 1 ? tokens[1] : nullptr) == -1)
             std::printf("ls error\n");
     }},
    {{"get"}, ARGS_ONE, ARGUMENT_CAMERA_NAME,
     [](char **tokens, int) { report(get_file(tokens[1]), "get"); }},
    {{"tget"}, ARGS_ONE, ARGUMENT_CAMERA_NAME,
     [](char **tokens, int) { report(camera_get_thumbnail(tokens[1], nullptr), "tget"); }},
    {{"view"}, ARGS_ONE, ARGUMENT_CAMERA_NAME, [](char **tokens, int) { camera_view(tokens[1]); }},
    {{"viewall"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { camera_view_all(); }},
    {{"lastls"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { camera_last_ls(); }, DISPATCH_CONTINUE, false},
    {{"getlastls", "getall"}, ARGS_NONE, ARGUMENT_NONE,
     [](char **, int) { camera_get_last_ls(SELECT_ALL); }},
    {{"getallold"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { camera_get_last_ls(SELECT_OLD); }},
    {{"getallnew"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { camera_get_last_ls(SELECT_NEW); }},
    {{"open"}, ARGS_OPTIONAL, ARGUMENT_NONE, run_open, DISPATCH_CONTINUE, false},
    {{"reopen"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) {
         camera_close();
         open_camera();
     }, DISPATCH_CONTINUE, false},
    {{"getpkt"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) {
         int length;
         serial_get_frame(&length);
     }},
    {{"clear", "cls"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) {
         out_now("\33[H\33[2J");
     }, DISPATCH_CONTINUE, false},
    {{"power"}, ARGS_NONE, ARGUMENT_NONE, run_power},
    {{"test"}, ARGS_ONE, ARGUMENT_NONE,
     [](char **tokens, int) { camera_test(leading_number(tokens[1])); }},
    {{"date"}, ARGS_NONE, ARGUMENT_NONE, run_date},
    {{"speed"}, ARGS_OPTIONAL, ARGUMENT_NONE, run_speed, DISPATCH_CONTINUE, false},
    {{"help"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { show_help(); }, DISPATCH_CONTINUE, false},
    {{"overwrite"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) {
         settings.overwrite = 1 - settings.overwrite;
         std::printf(settings.overwrite ? "overwrite mode ON\n" : "overwrite mode OFF\n");
     }, DISPATCH_CONTINUE, false},
    {{"mkdir"}, ARGS_ONE, ARGUMENT_NONE,
     [](char **tokens, int) { report(camera_mkdir(tokens[1]), "mkdir"); }},
    {{"rmdir"}, ARGS_ONE, ARGUMENT_CAMERA_DIR,
     [](char **tokens, int) { report(camera_rmdir(tokens[1]), "rmdir"); }},
    {{"rm", "delete"}, ARGS_ONE, ARGUMENT_CAMERA_NAME,
     [](char **tokens, int) { report(camera_delete(tokens[1]), "delete"); }},
    {{"deleteall"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { camera_delete_all(SELECT_ALL); }},
    {{"deleteold"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { camera_delete_all(SELECT_OLD); }},
    {{"deletenew"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { camera_delete_all(SELECT_NEW); }},
    {{"protect"}, ARGS_ONE, ARGUMENT_CAMERA_NAME,
     [](char **tokens, int) { camera_chmod(tokens[1], 1, ATTR_PROTECTED); }},
    {{"unprotect"}, ARGS_ONE, ARGUMENT_CAMERA_NAME,
     [](char **tokens, int) { camera_chmod(tokens[1], 0, ATTR_PROTECTED); }},
    {{"new"}, ARGS_ONE, ARGUMENT_CAMERA_NAME,
     [](char **tokens, int) { camera_chmod(tokens[1], 1, ATTR_NEW); }},
    {{"old"}, ARGS_ONE, ARGUMENT_CAMERA_NAME,
     [](char **tokens, int) { camera_chmod(tokens[1], 0, ATTR_NEW); }},
    {{"protectall"}, ARGS_NONE, ARGUMENT_NONE,
     [](char **, int) { camera_chmod_all(1, ATTR_PROTECTED); }},
    {{"unprotectall"}, ARGS_NONE, ARGUMENT_NONE,
     [](char **, int) { camera_chmod_all(0, ATTR_PROTECTED); }},
    {{"newall"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { camera_chmod_all(1, ATTR_NEW); }},
    {{"oldall"}, ARGS_NONE, ARGUMENT_NONE, [](char **, int) { camera_chmod_all(0, ATTR_NEW); }},
    {{"mget"}, ARGS_SOME, ARGUMENT_CAMERA_NAME,
     [](char **tokens, int count) { camera_get_matching(tokens + 1, count - 1); }},
    {{"lcd"}, ARGS_OPTIONAL, ARGUMENT_LOCAL_DIR, run_lcd},
    {{"upload", "put"}, ARGS_ONE_OR_TWO, ARGUMENT_LOCAL_SOURCE, run_upload},
};

const Command *find_command(const char *name)
{
    for (const Command &command : commands)
        for (const char *synonym : command.names)
            if (synonym != nullptr && std::strcmp(synonym, name) == 0)
                return &command;
    return nullptr;
}

// Prints the complaint and returns false when the count of tokens (the
// name included) does not fit the rule.
bool arguments_fit(ArgumentRule rule, int count)
{
    if ((rule == ARGS_ONE && count != 2) || (rule == ARGS_SOME && count < 2)) {
        std::printf("not enough arguments\n");
        return false;
    }
    if (rule == ARGS_ONE_OR_TWO && count != 2 && count != 3) {
        std::printf("usage: put <source> [target]\n");
        return false;
    }
    return true;
}

// The screen was laid out for a 24-line terminal: a pause after each page
// but the last lets the user read it before it scrolls away.
constexpr const char *help_pages[] = {
    "help                     show this help screen\n"
    "open                     open the camera\n"
    "reopen                   close and open the camera\n"
    "close                    close the connection with the camera\n"
    "speed         [speed]    change the serial speed\n"
    "quit                     close the camera and quit the program\n"
    "ping                     ping four times the camera\n"
    "clear                    clear the screen under some terminal types\n"
    "id                       show the camera id\n"
    "date                     show the internal date of the camera\n"
    "disk                     show the CF disk letter\n"
    "diskinfo      <disk>     show disk information\n"
    "ls | cd | dir <dir>      change to and list the specified directory\n"
    "lastls                   show the last cached directory listing\n"
    "get           <pathname> get the specified image\n"
    "getall                   get all the files in the current directory\n"
    "getallold                get all the old files in the current directory\n"
    "getallnew                get all the new files in the current directory\n"
    "tget          <pathname> get the specified image as thumbnail\n"
    "view          <pathname> view the thumbnail using xv\n"
    "viewall                  view all thumbnails in the current directory\n"
    "power                    show informations about power status\n",

    "overwrite                switch on/off the overwrite mode, when overwrite\n"
    "                         mode is ON the old files will be overwritten with\n"
    "                         the new files. For default ovewrite mode is\n"
    "                         turned OFF.\n"
    "mkdir         <dirname>  create a directory\n"
    "rmdir         <dirname>  remove a directory\n"
    "debug         (DEBUG)    turn the debug on/off\n"
    "getpkt        (DEBUG)    wait for a packet from the camera\n"
    "test <num>    (DEBUG)    send the specified request and wait for data\n"
    "rm | delete   <filename> remove a file in the current path\n"
    "deleteall                remove all files in the current directory\n"
    "deleteold                remove downloaded files in the current directory\n"
    "deletenew                remove new files in the current directory\n"
    "protect       <filename> set the protected flag (in the current path)\n"
    "unprotect     <filename> clear the protected flag (in the current path)\n"
    "new           <filename> clear the downloaded flag (in the current path)\n"
    "newall                   exec new against all files in the current directory\n"
    "old           <filename> set the downloaded flag (in the current path)\n"
    "oldall                   exec old against all files in the current directory\n"
    "protectall               protect all files in the current directory\n"
    "unprotectall             unprotect all files in the current directory\n"
    "upload        <source> [dest]  upload a file (USB only)\n",

    "\n",
};

// Commands added since the screen was laid out: after its last line, so
// that its lines and pauses stay where users and scripts expect them.
constexpr const char *help_added =
    "mget          <glob>...  get the files of the last listing matching a glob\n"
    "lcd           [dir]      change (or show) the local directory\n";

}  // namespace

int open_camera(void)
{
    bool stale = false;
    const int result = camera_open(&stale);
    // The card may have been changed meanwhile.
    if (stale)
        cache_restart(camera_state.disk_name);
    return result;
}

int split_line(const char *text, char **tokens, int limit)
{
    if (limit < 1)
        limit = 1;
    int n = 0;
    const char *p = text;
    while (n < limit) {
        while (*p == ' ')
            p++;
        if (*p == 0 || *p == '\n')
            break;
        size_t len = 0;
        while (p[len] != 0 && p[len] != ' ' && p[len] != '\n' && len < TOKEN_MAX)
            len++;
        char *copy = static_cast<char *>(std::malloc(len + 1));
        if (copy == nullptr) {
            std::perror("malloc");
            std::exit(1);
        }
        std::memcpy(copy, p, len);
        copy[len] = 0;
        tokens[n++] = copy;
        p += len;
    }
    tokens[n] = nullptr;
    return n;
}

void free_tokens(char **tokens)
{
    for (int i = 0; tokens[i] != nullptr; i++) {
        std::free(tokens[i]);
        tokens[i] = nullptr;
    }
}

void show_help(void)
{
    std::printf("\norvik help\n\n");
    constexpr int pages = sizeof help_pages / sizeof help_pages[0];
    int last = '\n';
    for (int i = 0; i < pages; i++) {
        std::fputs(help_pages[i], stdout);
        if (i < pages - 1) {
            std::printf("--- MORE ---\n");
            last = std::getc(stdin);
        }
    }
    std::fputs(help_added, stdout);
    // A pause takes one character, and the rest of the line typed there
    // answers the next pause.  What is left when the screen ends was typed
    // for it too: left buffered it would answer the next question (the
    // viewer's "d" deletes) before the user has seen it.
    while (last != '\n' && last != EOF)
        last = std::getc(stdin);
}

DispatchResult dispatch_command(char **tokens, int count)
{
    const Command *command = find_command(tokens[0]);
    if (command == nullptr) {
        std::printf("unknown command '%s', try 'help'\n", tokens[0]);
        return DISPATCH_CONTINUE;
    }
    if (!arguments_fit(command->rule, count))
        return command->then;
    if (command->needs_line && serial_line_state() != SERIAL_LINE_OK) {
        serial_line_prompt_hint(serial_line_state());
        return command->then;
    }
    command->run(tokens, count);
    return command->then;
}

const char *command_name(int index)
{
    for (const Command &command : commands)
        for (const char *synonym : command.names) {
            if (synonym == nullptr)
                continue;
            if (index == 0)
                return synonym;
            index--;
        }
    return nullptr;
}

ArgumentKind command_argument_kind(const char *name)
{
    const Command *command = find_command(name);
    return command != nullptr ? command->argument : ARGUMENT_NONE;
}
