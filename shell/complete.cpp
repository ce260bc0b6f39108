// Tab completion: command names for the first word, the names of the last
// listing for the file commands, local file names for an upload's source.
#include "shell/complete.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include <readline/readline.h>
#include <readline/tilde.h>

#include "files/cache.h"
#include "shell/interp.h"

namespace {

bool usable_name(const char *name)
{
    for (const char *p = name; *p != 0; p++) {
        auto c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c == 0x7f)
            return false;
    }
    return name[0] != 0;
}

// The candidates of the completion in progress, handed out one by one to
// readline's generator.
struct Pending {
    std::vector<std::string> words;
    size_t next;
};
Pending pending;

char *next_candidate(const char *, int state)
{
    if (state == 0)
        pending.next = 0;
    if (pending.next >= pending.words.size())
        return nullptr;
    // readline frees what it is given: it must come from malloc.
    return strdup(pending.words[pending.next++].c_str());
}

// readline's file names, folders only.
char *next_local_folder(const char *text, int state)
{
    while (char *name = rl_filename_completion_function(text, state)) {
        state = 1;
        char *path = tilde_expand(name);  // readline hands back "~/..." as typed
        struct stat st;
        const bool folder = path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
        std::free(path);
        if (folder)
            return name;
        std::free(name);
    }
    return nullptr;
}

char **attempt_completion(const char *text, int start, int)
{
    // Never fall back to local file names for a camera name.
    rl_attempted_completion_over = 1;
    rl_sort_completion_matches = 1;
    switch (complete_kind(rl_line_buffer, start)) {
    case COMPLETE_COMMAND:
        pending.words = complete_commands(text);
        break;
    case COMPLETE_CAMERA_NAME:
        pending.words = complete_camera_names(text, false);
        break;
    case COMPLETE_CAMERA_DIR:
        pending.words = complete_camera_names(text, true);
        rl_sort_completion_matches = 0;  // keep the folders ahead of the files
        break;
    case COMPLETE_LOCAL_FILE:
        return rl_completion_matches(text, rl_filename_completion_function);
    case COMPLETE_LOCAL_DIR:
        return rl_completion_matches(text, next_local_folder);
    case COMPLETE_NONE:
        return nullptr;
    }
    if (pending.words.empty())
        return nullptr;
    return rl_completion_matches(text, next_candidate);
}

}  // namespace

CompleteKind complete_kind(const char *line, int start)
{
    std::string command;
    int words = 0;
    for (int i = 0; i < start && line[i] != 0;) {
        if (line[i] == ' ') {
            i++;
            continue;
        }
        int begin = i;
        while (i < start && line[i] != 0 && line[i] != ' ')
            i++;
        if (words == 0)
            command.assign(line + begin, static_cast<size_t>(i - begin));
        words++;
    }
    if (words == 0)
        return COMPLETE_COMMAND;
    switch (command_argument_kind(command.c_str())) {
    case ARGUMENT_CAMERA_NAME:
        return COMPLETE_CAMERA_NAME;
    case ARGUMENT_CAMERA_DIR:
        return COMPLETE_CAMERA_DIR;
    case ARGUMENT_LOCAL_SOURCE:
        // The target after the source is a camera path.
        return words == 1 ? COMPLETE_LOCAL_FILE : COMPLETE_NONE;
    case ARGUMENT_LOCAL_DIR:
        return words == 1 ? COMPLETE_LOCAL_DIR : COMPLETE_NONE;
    case ARGUMENT_NONE:
        break;
    }
    return COMPLETE_NONE;
}

std::vector<std::string> complete_commands(const char *text)
{
    std::vector<std::string> out;
    size_t length = std::strlen(text);
    for (int i = 0; const char *name = command_name(i); i++)
        if (std::strncmp(name, text, length) == 0)
            out.emplace_back(name);
    return out;
}

std::vector<std::string> complete_camera_names(const char *text, bool dirs_first)
{
    std::vector<std::string> dirs;
    std::vector<std::string> files;
    size_t length = std::strlen(text);
    for (int i = 0; i < listing_cache.count; i++) {
        const ListingEntry *entry = &listing_cache.entries[i];
        if (!usable_name(entry->name) || strncasecmp(entry->name, text, length) != 0)
            continue;
        if (dirs_first && (entry->attrib & ATTR_DIRECTORY) != 0)
            dirs.emplace_back(entry->name);
        else
            files.emplace_back(entry->name);
    }
    dirs.insert(dirs.end(), files.begin(), files.end());
    return dirs;
}

void complete_install(void)
{
    rl_readline_name = "orvik";
    rl_basic_word_break_characters = " ";
    rl_completer_word_break_characters = " ";
    rl_attempted_completion_function = attempt_completion;
}
