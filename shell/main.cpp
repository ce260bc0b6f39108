// orvik: drives a Canon PowerShot S10/S20/S100 (A50/Pro70 in compatibility
// mode) over a serial line, with a readline shell.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <readline/history.h>
#include <readline/readline.h>

#include "camera/connect.h"
#include "camera/message.h"
#include "files/cache.h"
#include "serial/hint.h"
#include "serial/port.h"
#include "shell/batch.h"
#include "shell/bulk.h"
#include "shell/complete.h"
#include "shell/exits.h"
#include "shell/interp.h"
#include "shell/mount.h"
#include "shell/options.h"
#include "shell/settings.h"

namespace {

constexpr size_t LINE_MAX_BYTES = 1024;

char *tokens[TOKEN_SLOTS];

void copy_cut(char *dst, size_t size, const char *src)
{
    size_t n = std::strlen(src);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

// The next command line into line_buffer[LINE_MAX_BYTES], cut to it.  At
// the end of input on a terminal (a stray end-of-file key) the prompt comes
// again; from a file or pipe no more lines can come, so the run ends as a
// typed `quit` would rather than prompt for ever.
void read_command_line(char *line_buffer)
{
    // readline may keep pointing at the prompt.
    static char prompt[LINE_MAX_BYTES];
    for (;;) {
        char text[2100];
        std::snprintf(text, sizeof text, "[%s] %s> ", camera_state.prompt_id, listing_cache.cwd);
        copy_cut(prompt, sizeof prompt, text);
        char *line = readline(prompt);
        if (line == nullptr && isatty(STDIN_FILENO))
            continue;
        if (line == nullptr) {
            std::printf("bye!\n");
            close_and_exit(0);
        }
        if (line[0] != 0)
            add_history(line);
        copy_cut(line_buffer, LINE_MAX_BYTES, line);
        std::free(line);
        return;
    }
}

[[noreturn]] void command_loop(void)
{
    static char line_buffer[LINE_MAX_BYTES];
    // Completion helps someone typing at a terminal.  Lines from a file or
    // pipe are commands already written out: there a tab is an ordinary
    // character of the line, as the splitter treats it.
    if (isatty(STDIN_FILENO))
        complete_install();
    else
        rl_inhibit_completion = 1;
    // Lost while the start-up asked for the identity and the drive.
    serial_line_prompt_hint(serial_line_state());
    for (;;) {
        read_command_line(line_buffer);
        free_tokens(tokens);
        int count = split_line(line_buffer, tokens, TOKEN_LIMIT);
        if (count == 0)
            continue;
        camera_advice_begin();
        const SerialLineState before = serial_line_state();
        if (dispatch_command(tokens, count) == DISPATCH_END) {
            std::printf("bye!\n");
            close_and_exit(0);
        }
        // A line lost during the command is said once, here; what it cost
        // is no sign of noise.
        if (!camera_advise_speed() && before == SERIAL_LINE_OK &&
            serial_line_state() != SERIAL_LINE_CLOSED)
            serial_line_prompt_hint(serial_line_state());
    }
}

[[noreturn]] void run(const RunModes &modes)
{
    camera_advice_begin();
    int status = 0;
    if (modes.list)
        batch_list();
    else if (modes.get_all)
        status = batch_get(SELECT_ALL);
    else if (modes.get_new)
        status = batch_get(SELECT_NEW);
    else if (modes.erase)
        status = batch_erase();
    else if (modes.mount != nullptr)
        status = mount_serve(modes.mount);
    else if (!modes.off)
        command_loop();
    camera_advise_speed();
    close_and_exit(status);
}

}  // namespace

int main(int argc, char **argv)
{
    // Line-buffered even into a pipe: the termination handler ends with
    // _exit, which must not lose what was printed before.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // readline reads its lines byte by byte; the help pauses and the
    // questions read with stdio.  From a pipe or file, stdio's read-ahead
    // would swallow the next command lines, so there it reads unbuffered.
    if (!isatty(STDIN_FILENO))
        std::setvbuf(stdin, nullptr, _IONBF, 0);

    install_signal_handlers();
    settings.clock_offset = compute_clock_offset();
    argc = take_long_options(argc, argv);
    RunModes modes = parse_options(argc, argv);
    if (modes.mount != nullptr && mount_check(modes.mount) != 0)
        return 1;
    std::printf("Orvik -- version %s\n\n", ORVIK_VERSION);
    try {
        // A connection that fails at start ends the program; its line said why.
        if (camera_start() != 0)
            std::exit(1);
        cache_restart(camera_state.disk_name);
        run(modes);
    } catch (const FatalCondition &fatal) {
        end_after_fatal(fatal);
    }
}
