#include "shell/interp.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "camera/connect.h"
#include "camera/status.h"
#include "files/download.h"
#include "files/listing.h"
#include "files/manage.h"
#include "files/thumb.h"
#include "files/upload.h"
#include "serial/frame.h"
#include "shell/bulk.h"
#include "shell/exits.h"
#include "shell/options.h"
#include "shell/settings.h"

namespace {

constexpr int TOKEN_MAX = 1023;

enum Command {
    CMD_CLOSE, CMD_QUIT, CMD_DEBUG, CMD_ID, CMD_DISK, CMD_PING, CMD_DISKINFO,
    CMD_LS, CMD_GET, CMD_TGET, CMD_VIEW, CMD_VIEWALL, CMD_LASTLS, CMD_GETALL,
    CMD_GETALLOLD, CMD_GETALLNEW, CMD_OPEN, CMD_REOPEN, CMD_GETPKT, CMD_CLEAR,
    CMD_POWER, CMD_TEST, CMD_DATE, CMD_SPEED, CMD_HELP, CMD_OVERWRITE,
    CMD_MKDIR, CMD_RMDIR, CMD_DELETE, CMD_DELETEALL, CMD_DELETEOLD,
    CMD_DELETENEW, CMD_PROTECT, CMD_UNPROTECT, CMD_NEW, CMD_OLD,
    CMD_PROTECTALL, CMD_UNPROTECTALL, CMD_NEWALL, CMD_OLDALL, CMD_UPLOAD,
    CMD_UNKNOWN,
};

struct CommandName {
    const char *name;
    Command command;
};

// In the order the dispatcher tries them; the first match wins.
constexpr CommandName commands[] = {
    {"close", CMD_CLOSE},         {"quit", CMD_QUIT},
    {"exit", CMD_QUIT},           {"bye", CMD_QUIT},
    {"debug", CMD_DEBUG},         {"id", CMD_ID},
    {"disk", CMD_DISK},           {"ping", CMD_PING},
    {"diskinfo", CMD_DISKINFO},   {"ls", CMD_LS},
    {"dir", CMD_LS},              {"cd", CMD_LS},
    {"get", CMD_GET},             {"tget", CMD_TGET},
    {"view", CMD_VIEW},           {"viewall", CMD_VIEWALL},
    {"lastls", CMD_LASTLS},       {"getlastls", CMD_GETALL},
    {"getall", CMD_GETALL},       {"getallold", CMD_GETALLOLD},
    {"getallnew", CMD_GETALLNEW}, {"open", CMD_OPEN},
    {"reopen", CMD_REOPEN},       {"getpkt", CMD_GETPKT},
    {"clear", CMD_CLEAR},         {"cls", CMD_CLEAR},
    {"power", CMD_POWER},         {"test", CMD_TEST},
    {"date", CMD_DATE},           {"speed", CMD_SPEED},
    {"help", CMD_HELP},           {"overwrite", CMD_OVERWRITE},
    {"mkdir", CMD_MKDIR},         {"rmdir", CMD_RMDIR},
    {"rm", CMD_DELETE},           {"delete", CMD_DELETE},
    {"deleteall", CMD_DELETEALL}, {"deleteold", CMD_DELETEOLD},
    {"deletenew", CMD_DELETENEW}, {"protect", CMD_PROTECT},
    {"unprotect", CMD_UNPROTECT}, {"new", CMD_NEW},
    {"old", CMD_OLD},             {"protectall", CMD_PROTECTALL},
    {"unprotectall", CMD_UNPROTECTALL}, {"newall", CMD_NEWALL},
    {"oldall", CMD_OLDALL},       {"upload", CMD_UPLOAD},
    {"put", CMD_UPLOAD},
};
constexpr int COMMAND_COUNT = sizeof commands / sizeof commands[0];

constexpr const char *help_lines[45] = {
    "help                     show this help screen",
    "open                     open the camera",
    "reopen                   close and open the camera",
    "close                    close the connection with the camera",
    "speed         [speed]    change the serial speed",
    "quit                     close the camera and quit the program",
    "ping                     ping four times the camera",
    "clear                    clear the screen under some terminal types",
    "id                       show the camera id",
    "date                     show the internal date of the camera",
    "disk                     show the CF disk letter",
    "diskinfo      <disk>     show disk information",
    "ls | cd | dir <dir>      change to and list the specified directory",
    "lastls                   show the last cached directory listing",
    "get           <pathname> get the specified image",
    "getall                   get all the files in the current directory",
    "getallold                get all the old files in the current directory",
    "getallnew                get all the new files in the current directory",
    "tget          <pathname> get the specified image as thumbnail",
    "view          <pathname> view the thumbnail using xv",
    "viewall                  view all thumbnails in the current directory",
    "power                    show informations about power status",
    "overwrite                switch on/off the overwrite mode, when overwrite",
    "                         mode is ON the old files will be overwritten with",
    "                         the new files. For default ovewrite mode is",
    "                         turned OFF.",
    "mkdir         <dirname>  create a directory",
    "rmdir         <dirname>  remove a directory",
    "debug         (DEBUG)    turn the debug on/off",
    "getpkt        (DEBUG)    wait for a packet from the camera",
    "test <num>    (DEBUG)    send the specified request and wait for data",
    "rm | delete   <filename> remove a file in the current path",
    "deleteall                remove all files in the current directory",
    "deleteold                remove downloaded files in the current directory",
    "deletenew                remove new files in the current directory",
    "protect       <filename> set the protected flag (in the current path)",
    "unprotect     <filename> clear the protected flag (in the current path)",
    "new           <filename> clear the downloaded flag (in the current path)",
    "newall                   exec new against all files in the current directory",
    "old           <filename> set the downloaded flag (in the current path)",
    "oldall                   exec old against all files in the current directory",
    "protectall               protect all files in the current directory",
    "unprotectall             unprotect all files in the current directory",
    "upload        <source> [dest]  upload a file (USB only)",
    "",
};

Command lookup(const char *name)
{
    for (const CommandName &c : commands)
        if (std::strcmp(c.name, name) == 0)
            return c.command;
    return CMD_UNKNOWN;
}

// The commands that take exactly one argument: with none, or with more
// than one, nothing runs.
bool one_argument(int count)
{
    if (count == 2)
        return true;
    std::printf("not enough arguments\n");
    return false;
}

void print_result(int result, const char *failure, const char *success)
{
    std::printf("%s\n", result == -1 ? failure : success);
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
        camera_open();
    }
}

void run_date(void)
{
    time_t clock;
    if (camera_get_date(&clock) != 0)
        return;
    clock += settings.clock_offset;
    const char *text = std::ctime(&clock);
    std::printf("Camera date: %s", text != nullptr ? text : "?\n");
}

void run_power(void)
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

void run_diskinfo(const char *drive)
{
    int size = 0, free_bytes = 0;
    if (camera_get_disk_info(drive, &size, &free_bytes) == 0) {
        std::printf("Disk size: %d bytes (%d K)\n", size, size / 1024);
        std::printf("available: %d bytes (%d K)\n", free_bytes, free_bytes / 1024);
    } else {
        std::printf("Disk info unavailable for %c:\n", drive[0]);
    }
}

void run_upload(char **tokens, int count)
{
    if (count != 2 && count != 3) {
        std::printf("usage: put <source> [target]\n");
        return;
    }
    int result = camera_upload(tokens[1], count == 3 ? tokens[2] : nullptr);
    print_result(result, "upload error", "upload successful");
}

}  // namespace

constexpr const char *const command_names[] = {
    "close", "quit", "exit", "bye", "debug", "id", "disk", "ping", "diskinfo",
    "ls", "dir", "cd", "get", "tget", "view", "viewall", "lastls", "getlastls",
    "getall", "getallold", "getallnew", "open", "reopen", "getpkt", "clear",
    "cls", "power", "test", "date", "speed", "help", "overwrite", "mkdir",
    "rmdir", "rm", "delete", "deleteall", "deleteold", "deletenew", "protect",
    "unprotect", "new", "old", "protectall", "unprotectall", "newall",
    "oldall", "upload", "put", nullptr,
};

namespace {
constexpr bool same_text(const char *a, const char *b)
{
    while (*a != 0 && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}
constexpr bool names_match_table()
{
    for (int i = 0; i < COMMAND_COUNT; i++)
        if (command_names[i] == nullptr || !same_text(command_names[i], commands[i].name))
            return false;
    return command_names[COMMAND_COUNT] == nullptr;
}
}  // namespace
static_assert(names_match_table(), "the completion names follow the dispatcher table");

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
    for (int i = 0; i < 45; i++) {
        std::printf("%s\n", help_lines[i]);
        if (i == 21 || i == 43) {
            std::printf("--- MORE ---\n");
            std::getc(stdin);
        }
    }
}

int dispatch_command(char **tokens, int count)
{
    const char *arg = count > 1 ? tokens[1] : nullptr;
    switch (lookup(tokens[0])) {
    case CMD_CLOSE:
        camera_close();
        std::printf("Now the camera should be OFF\n");
        break;
    case CMD_QUIT:
        return DISPATCH_END;
    case CMD_DEBUG:
        settings.debug = 1 - settings.debug;
        std::printf(settings.debug ? "debug is on\n" : "debug is off\n");
        break;
    case CMD_ID:
        if (const char *id = camera_get_id()) {
            std::printf("camera ID: %s\n", id);
            std::printf("firmware : %s\n", camera_state.firmware);
        }
        break;
    case CMD_DISK:
        if (const char *disk = camera_get_disk())
            std::printf("camera disk: %s\n", disk);
        break;
    case CMD_PING:
        camera_ping();
        break;
    case CMD_DISKINFO:
        if (one_argument(count))
            run_diskinfo(arg);
        break;
    case CMD_LS:
        if (camera_ls(arg) == -1)
            std::printf("ls error\n");
        break;
    case CMD_GET:
        if (one_argument(count))
            print_result(camera_get_file(arg), "get error", "get successful");
        break;
    case CMD_TGET:
        if (one_argument(count))
            print_result(camera_get_thumbnail(arg, nullptr), "tget error", "tget successful");
        break;
    case CMD_VIEW:
        if (one_argument(count))
            camera_view(arg);
        break;
    case CMD_VIEWALL:
        camera_view_all();
        break;
    case CMD_LASTLS:
        camera_last_ls();
        break;
    case CMD_GETALL:
        camera_get_last_ls(SELECT_ALL);
        break;
    case CMD_GETALLOLD:
        camera_get_last_ls(SELECT_OLD);
        break;
    case CMD_GETALLNEW:
        camera_get_last_ls(SELECT_NEW);
        break;
    case CMD_OPEN:
        camera_open();
        break;
    case CMD_REOPEN:
        camera_close();
        camera_open();
        break;
    case CMD_GETPKT: {
        int len;
        serial_get_frame(&len);
        break;
    }
    case CMD_CLEAR:
        std::printf("\33[H\33[2J");
        std::fflush(stdout);
        break;
    case CMD_POWER:
        run_power();
        break;
    case CMD_TEST:
        if (one_argument(count))
            camera_test(leading_number(arg));
        break;
    case CMD_DATE:
        run_date();
        break;
    case CMD_SPEED:
        run_speed(tokens, count);
        break;
    case CMD_HELP:
        show_help();
        break;
    case CMD_OVERWRITE:
        settings.overwrite = 1 - settings.overwrite;
        std::printf(settings.overwrite ? "overwrite mode ON\n" : "overwrite mode OFF\n");
        break;
    case CMD_MKDIR:
        if (one_argument(count))
            print_result(camera_mkdir(arg), "mkdir error", "mkdir successful");
        break;
    case CMD_RMDIR:
        if (one_argument(count))
            print_result(camera_rmdir(arg), "rmdir error", "rmdir successful");
        break;
    case CMD_DELETE:
        if (one_argument(count))
            print_result(camera_delete(arg), "delete error", "delete successful");
        break;
    case CMD_DELETEALL:
        camera_delete_all(SELECT_ALL);
        break;
    case CMD_DELETEOLD:
        camera_delete_all(SELECT_OLD);
        break;
    case CMD_DELETENEW:
        camera_delete_all(SELECT_NEW);
        break;
    case CMD_PROTECT:
        if (one_argument(count))
            camera_chmod(arg, 1, ATTR_PROTECTED);
        break;
    case CMD_UNPROTECT:
        if (one_argument(count))
            camera_chmod(arg, 0, ATTR_PROTECTED);
        break;
    case CMD_NEW:
        if (one_argument(count))
            camera_chmod(arg, 1, ATTR_NEW);
        break;
    case CMD_OLD:
        if (one_argument(count))
            camera_chmod(arg, 0, ATTR_NEW);
        break;
    case CMD_PROTECTALL:
        camera_chmod_all(1, ATTR_PROTECTED);
        break;
    case CMD_UNPROTECTALL:
        camera_chmod_all(0, ATTR_PROTECTED);
        break;
    case CMD_NEWALL:
        camera_chmod_all(1, ATTR_NEW);
        break;
    case CMD_OLDALL:
        camera_chmod_all(0, ATTR_NEW);
        break;
    case CMD_UPLOAD:
        run_upload(tokens, count);
        break;
    case CMD_UNKNOWN:
        std::printf("unknown command '%s', try 'help'\n", tokens[0]);
        break;
    }
    return DISPATCH_CONTINUE;
}
