// Small helpers for the file-command tests: an emulator with an orvik
// session on it, one command at a time, and the card's listing times.
#ifndef ORVIK_TESTS_E2E_SESSION_UTIL_H
#define ORVIK_TESTS_E2E_SESSION_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "harness.h"

namespace e2e {

inline const std::string prompt_start = "[Canon PowerShot S20] ";

// The terminal's line ends as the program wrote them.
inline std::string unix_lines(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    return out;
}

inline std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        lines.push_back(text.substr(from, nl - from));
    if (from < text.size())
        lines.push_back(text.substr(from));
    return lines;
}

inline bool has_line(const std::string &text, const std::string &line)
{
    auto lines = split_lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// ctime text of a time, line end included.
inline std::string ctime_text(time_t t)
{
    return std::ctime(&t);
}

inline time_t mtime_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

// The names in a local directory ("." and ".." left out); empty when it
// cannot be read.
inline std::set<std::string> local_names(const std::string &dir)
{
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.insert(e->d_name);
    closedir(d);
    return names;
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// An emulator and an orvik session connected to it, in a fresh local
// directory.
struct Rig {
    Camsim sim;
    Session s;
    std::string cwd;

    bool start(const std::vector<std::string> &camsim_args = {},
               const std::vector<std::string> &orvik_args = {},
               const std::vector<std::string> &env = {})
    {
        sim = camsim_start(camsim_args);
        if (sim.tty.empty())
            return false;
        cwd = make_temp_dir();
        std::vector<std::string> args = {"-d", sim.tty};
        args.insert(args.end(), orvik_args.begin(), orvik_args.end());
        s = orvik_start(args, cwd, env);
        return expect(s, prompt_start + "D:> ", 60000);
    }

    // Runs one command line and returns what it printed (the echo of the
    // line itself left out), up to the next prompt.
    std::string run(const std::string &line, int timeout_ms = 60000)
    {
        size_t from = s.mark;
        send_line(s, line);
        bool prompted = expect(s, "\n" + prompt_start, timeout_ms);
        EXPECT_TRUE(prompted) << "no prompt after: " << line;
        size_t end = prompted ? s.mark - prompt_start.size() : s.output.size();
        std::string out = unix_lines(s.output.substr(from, end - from));
        size_t echo = out.find('\n');
        out = echo == std::string::npos ? "" : out.substr(echo + 1);
        if (prompted)
            expect(s, "> ", 5000);
        return out;
    }

    // The camera directory the prompt shows now.
    std::string prompt_dir() const
    {
        size_t at = s.output.rfind(prompt_start);
        if (at == std::string::npos)
            return "";
        size_t from = at + prompt_start.size();
        size_t end = s.output.find("> ", from);
        return s.output.substr(from, end == std::string::npos ? std::string::npos : end - from);
    }

    int quit()
    {
        send_line(s, "quit");
        int status = wait_exit(s, 30000);
        camsim_stop(sim);
        return status;
    }
};

// Requests of one type (by the emulator's note) seen so far.
inline std::vector<std::string> requests(const Camsim &sim, int type)
{
    std::vector<std::string> out;
    std::string key = "request type=" + std::to_string(type);
    for (const std::string &note : log_lines(sim, "NOTE"))
        if (note.compare(0, key.size(), key) == 0 &&
            (note.size() == key.size() || note[key.size()] == ' '))
            out.push_back(note);
    return out;
}

}  // namespace e2e

#endif
