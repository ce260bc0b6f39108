#include "serial/output.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// A progress row is open on stdout: its line has no end yet.
bool row_open;

}  // namespace

void out_now(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

void out_row(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    row_open = true;
}

void out_begin_row(void)
{
    row_open = true;
}

void out_line(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    row_open = false;
}

void out_end_row(void)
{
    if (row_open)
        std::putchar('\n');
    row_open = false;
}

namespace {

// One write for the whole line, so that it cannot be torn apart by what
// another process writes to the same terminal.
void error_line(const char *prefix, const char *format, va_list args)
{
    std::fflush(stdout);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (length < 0)
        return;
    std::string line(prefix);
    const size_t at = line.size();
    line.resize(at + static_cast<size_t>(length) + 1);
    std::vsnprintf(&line[at], static_cast<size_t>(length) + 1, format, args);
    line.pop_back();
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

void out_error(const char *format, ...)
{
    out_end_row();
    va_list args;
    va_start(args, format);
    error_line("", format, args);
    va_end(args);
}

void out_note(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    error_line("", format, args);
    va_end(args);
}

void out_complaint(const char *format, ...)
{
    out_end_row();
    va_list args;
    va_start(args, format);
    error_line("orvik: ", format, args);
    va_end(args);
}

void out_flush(void)
{
    std::fflush(stdout);
    std::fflush(stderr);
}
