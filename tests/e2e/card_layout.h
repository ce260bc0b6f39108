// Shapes the emulator's card for a test: folders of JPEG photos with known
// names and contents, and small helpers to read what orvik printed.
#ifndef ORVIK_TESTS_E2E_CARD_LAYOUT_H
#define ORVIK_TESTS_E2E_CARD_LAYOUT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "harness.h"

namespace layout {

namespace fs = std::filesystem;

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

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
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

inline bool exists(const std::string &path)
{
    std::error_code ec;
    return fs::exists(path, ec);
}

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

inline bool camera_switched_off(const Camsim &sim)
{
    for (const auto &l : log_lines(sim, "NOTE"))
        if (l == "off")
            return true;
    return false;
}

// The viewer stand-in: a script named xv that records its command line in
// dir/xv.log and stays until SIGTERM.  Returns the PATH entry that makes
// orvik find it.
inline std::string fake_viewer(const std::string &dir)
{
    std::string script = dir + "/xv";
    write_file(script,
               "#!/bin/sh\n"
               "echo \"$@\" >> '" + dir + "/xv.log'\n"
               "trap 'kill $! 2>/dev/null; exit 0' TERM\n"
               "sleep 600 &\n"
               "wait\n");
    fs::permissions(script, fs::perms::owner_all);
    return "PATH=" + dir + ":" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
}

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

}  // namespace layout

#endif
