// What the end-to-end tests share: what they read from orvik's output and the
// emulator's log, how they shape the emulator's card, and the fixtures
// that start both.  The processes themselves are harness.h's.
#ifndef ORVIK_TESTS_E2E_E2E_H
#define ORVIK_TESTS_E2E_E2E_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "serial/codec.h"

namespace e2e {

namespace fs = std::filesystem;

// The emulated camera's identity starts every prompt; "D:> " follows at
// the top of the card.
inline const std::string PROMPT_START = "[Canon PowerShot S20] ";

// ---------------------------------------------------------------- text

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

// How many times `needle` occurs in `text`, occurrences not overlapping.
inline int count(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        n++;
    return n;
}

// The output cut at the lines orvik prints for the unknown commands MARK1,
// MARK2, ...: part 0 is before MARK1, part k between MARKk and MARKk+1.
inline std::vector<std::string> parts(const std::string &out, int marks)
{
    std::vector<std::string> result;
    size_t from = 0;
    for (int k = 1; k <= marks; k++) {
        std::string line = "unknown command 'MARK" + std::to_string(k) + "'";
        size_t at = out.find(line, from);
        EXPECT_NE(at, std::string::npos) << line << " missing";
        if (at == std::string::npos)
            at = out.size();
        result.push_back(out.substr(from, at - from));
        from = std::min(out.size(), at + line.size());
    }
    result.push_back(out.substr(from));
    return result;
}

// Hex of a log line or a frame, without spaces, lower case.
inline std::string hex_compact(const std::string &text)
{
    std::string out;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

inline std::string hex_of(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The framed link-control packet (EOT or ACK) with its sequence number.
inline std::string control_frame_hex(uint8_t seq, uint8_t type, uint8_t status)
{
    uint8_t pkt[6] = {seq, type, status, 0, 0, 0};
    uint16_t crc = serial_crc_run(static_cast<uint16_t>(serial_crc_initial(6)), pkt, 6);
    std::vector<uint8_t> frame(2 * (6 + 2) + 2);
    frame.resize(serial_encode_frame(pkt, 6, crc, frame.data()));
    return hex_of(frame);
}

// ---------------------------------------------------------------- files

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

inline bool exists(const std::string &path)
{
    std::error_code ec;
    return fs::exists(path, ec);
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

// ---------------------------------------------------------------- emulator log

// How many RX (from orvik) frames of the log equal `frame_hex`.
inline int count_rx(const Camsim &sim, const std::string &frame_hex)
{
    int n = 0;
    for (const std::string &line : log_lines(sim, "RX"))
        if (hex_compact(line) == frame_hex)
            n++;
    return n;
}

// NOTE lines of the log starting with `word`.
inline int count_notes(const Camsim &sim, const std::string &word)
{
    int n = 0;
    for (const std::string &line : log_lines(sim, "NOTE"))
        if (line.compare(0, word.size(), word) == 0)
            n++;
    return n;
}

// The first of the two camera-off frames.
inline const std::string CAMERA_OFF_1 = "c00002552cc1";

// The camera was switched off at the end: the two camera-off frames are
// the last frames orvik sent.  (The second one, EOT 0 with status 1, also
// occurs in the speed handshake.)
inline bool camera_switched_off(const Camsim &sim)
{
    std::vector<std::string> rx = log_lines(sim, "RX");
    return rx.size() >= 2 && hex_compact(rx[rx.size() - 2]) == CAMERA_OFF_1 &&
           hex_compact(rx.back()) == "c000040100000024c6c1";
}

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

// ---------------------------------------------------------------- card

// The smallest photo of the sample card (the emulator makes thumbnails of
// real JPEG images only).
inline std::string sample_photo()
{
    static std::string bytes;
    if (!bytes.empty())
        return bytes;
    for (const auto &e : fs::recursive_directory_iterator(SAMPLE_CARD)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (!e.is_regular_file() || ext != ".JPG")
            continue;
        std::string photo = read_file(e.path().string());
        if (!photo.empty() && (bytes.empty() || photo.size() < bytes.size()))
            bytes = photo;
    }
    EXPECT_FALSE(bytes.empty()) << "no JPEG photo on the sample card";
    return bytes;
}

// The photo with the name appended after its end marker: still a valid
// JPEG, but every file's contents differ.
inline std::string photo_bytes(const std::string &name)
{
    return sample_photo() + "orvik-test:" + name;
}

// Removes everything inside the card's DCIM folder (which stays).
inline void clear_dcim(const Camsim &sim)
{
    fs::path dcim = fs::path(sim.card) / "DCIM";
    fs::create_directories(dcim);
    for (const auto &e : fs::directory_iterator(dcim))
        fs::remove_all(e.path());
}

// Creates card/<rel> holding the photos `names`.
inline void make_folder(const Camsim &sim, const std::string &rel,
                        const std::vector<std::string> &names)
{
    fs::path dir = fs::path(sim.card) / rel;
    fs::create_directories(dir);
    for (const auto &n : names)
        write_file((dir / n).string(), photo_bytes(n));
}

// The question orvik asks while a thumbnail is shown.
inline const std::string VIEWER_QUESTION = "(d)elete (o)old (n)ew (g)et (q)uit (enter)nothing";

// Waits (30 s at most) until the stand-in viewer's log at `path` has
// `lines` lines, that is until it has really started that many times;
// returns the lines it has.
inline int wait_for_viewer(const std::string &path, int lines)
{
    for (int i = 0; i < 3000 && count(read_file(path), "\n") < lines; i++)
        usleep(10000);
    return count(read_file(path), "\n");
}

// The viewer stand-in: a script named xv that records in dir/xv.log what
// `record` prints (by default its command line; `cksum < "$1"` records a
// digest of the thumbnail shown) and stays until SIGTERM.  Returns the PATH
// entry that makes orvik find it.
inline std::string fake_viewer(const std::string &dir,
                               const std::string &record = "echo \"$@\"")
{
    std::string script = dir + "/xv";
    write_file(script,
               "#!/bin/sh\n" + record + " >> '" + dir + "/xv.log'\n"
               "trap 'kill $! 2>/dev/null; exit 0' TERM\n"
               // A SIGTERM that comes before $! is known would leave the
               // sleep behind: it must not hold orvik's output open.
               "sleep 600 </dev/null >/dev/null 2>&1 &\n"
               "wait\n");
    fs::permissions(script, fs::perms::owner_all);
    return "PATH=" + dir + ":" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
}

// ---------------------------------------------------------------- fixtures

// A running emulator on a copy of the sample card and a fresh local
// directory, for each test of a fixture.
struct EmulatorTest : testing::Test {
    Camsim sim;
    std::string cwd;
    void SetUp() override
    {
        sim = camsim_start();
        ASSERT_FALSE(sim.tty.empty());
        cwd = make_temp_dir();
    }
    void TearDown() override { camsim_stop(sim); }
};

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
        return expect(s, PROMPT_START + "D:> ", 60000);
    }

    // Runs one command line and returns what it printed (the echo of the
    // line itself left out), up to the next prompt.
    std::string run(const std::string &line, int timeout_ms = 60000)
    {
        size_t from = s.mark;
        send_line(s, line);
        bool prompted = expect(s, "\n" + PROMPT_START, timeout_ms);
        EXPECT_TRUE(prompted) << "no prompt after: " << line;
        size_t end = prompted ? s.mark - PROMPT_START.size() : s.output.size();
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
        size_t at = s.output.rfind(PROMPT_START);
        if (at == std::string::npos)
            return "";
        size_t from = at + PROMPT_START.size();
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

}  // namespace e2e

#endif
