// Locating the JPEG image inside the camera's thumbnail data, and drawing
// it in the terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "files/termimage.h"
#include "files/thumb.h"

namespace {

struct Found {
    int result;
    size_t start, end;
};

Found find(const std::vector<uint8_t> &data)
{
    Found f{-1, 99, 99};
    f.result = camera_find_jpeg(data.data(), data.size(), &f.start, &f.end);
    return f;
}

TEST(FindJpeg, StartIsSearchedFromOffsetTwo)
{
    Found f = find({0xFF, 0xD8, 0xFF, 0xD8, 0x01, 0xFF, 0xD9, 0x00});
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.start, 2u);
    EXPECT_EQ(f.end, 7u);

    // Offsets 0 and 1 alone are never taken.
    EXPECT_EQ(find({0xFF, 0xD8, 0x00, 0xFF, 0xD9}).result, -1);
}

TEST(FindJpeg, EndsAtTheFirstEndMarker)
{
    Found f = find({0, 0, 0, 0xFF, 0xD8, 0x10, 0xFF, 0xD9, 0x20, 0xFF, 0xD9, 0x30});
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.start, 3u);
    EXPECT_EQ(f.end, 8u);

    // The shortest image; the start marker's D8 never counts as the FF.
    f = find({0, 0, 0xFF, 0xD8, 0xFF, 0xD9});
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.start, 2u);
    EXPECT_EQ(f.end, 6u);
    EXPECT_EQ(find({0, 0, 0xFF, 0xD8, 0xD9}).result, -1);
}

TEST(FindJpeg, MissingMarkersFailWithinTheData)
{
    EXPECT_EQ(find({}).result, -1);
    EXPECT_EQ(find({0xFF}).result, -1);
    EXPECT_EQ(find({0, 0, 0, 0, 0xFF}).result, -1);          // FF at the very end
    EXPECT_EQ(find({0, 0, 0xFF, 0xD8, 1, 2, 3}).result, -1);  // no end marker
    EXPECT_EQ(find({0, 0, 0xFF, 0xD8, 1, 0xFF}).result, -1);
    Found f = find({0, 0, 0xFF, 0xD9, 0xFF, 0xD8});
    EXPECT_EQ(f.result, -1);  // an end marker before the start does not count
    EXPECT_EQ(f.start, 99u);  // outputs untouched on failure
}

// A pseudo-terminal of 24 rows and 80 columns, and a scratch JPEG file.
struct TermDraw : testing::Test {
    int master = -1, slave = -1;
    std::string file = testing::TempDir() + "termdraw.jpg";
    std::string photo;

    void SetUp() override
    {
        struct winsize ws = {24, 80, 0, 0};
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &ws), 0);
        std::ifstream in(std::string(SAMPLE_CARD) + "/DCIM/100CANON/IMG_0004.JPG",
                         std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        photo = bytes.str();
        ASSERT_GT(photo.size(), 100u);
        setenv("TERM", "xterm-256color", 1);
        term_images_choose("auto");
    }
    void TearDown() override
    {
        close(master);
        close(slave);
        unlink(file.c_str());
    }
    // Draws the bytes as a file on the terminal, reading the other side
    // meanwhile: a picture is more than the terminal buffers.  The
    // terminal answers the device attributes query with `answer`, if any.
    int draw(const std::string &bytes, int fd = -1, const std::string &answer = "")
    {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        std::atomic<bool> done{false}, answered{false};
        std::thread reader([&] {
            char buf[4096];
            for (;;) {
                struct pollfd p = {master, POLLIN, 0};
                if (poll(&p, 1, 50) > 0) {
                    ssize_t n = read(master, buf, sizeof buf);
                    if (n > 0) {
                        screen.append(buf, static_cast<size_t>(n));
                        if (!answer.empty() && screen.find("\33[c") != std::string::npos &&
                            !answered.exchange(true)) {
                            EXPECT_EQ(write(master, answer.data(), answer.size()),
                                      static_cast<ssize_t>(answer.size()));
                        }
                        continue;
                    }
                }
                if (done)
                    return;
            }
        });
        int result = term_draw_jpeg(file.c_str(), fd < 0 ? slave : fd);
        done = true;
        reader.join();
        return result;
    }
    std::string shown()
    {
        std::string out;
        out.swap(screen);
        return out;
    }
    std::string screen;
};

TEST_F(TermDraw, DrawsAPhotoInColourAndNothingWhenDamaged)
{
    ASSERT_EQ(draw(photo), 0);
    std::string out = shown();
    EXPECT_NE(out.find("\33[38;2;"), std::string::npos) << out;
    // The colours are reset and the next text starts on a line of its own.
    ASSERT_GT(out.size(), 6u);
    EXPECT_EQ(out.substr(out.size() - 6), "\33[0m\r\n");

    // Cut short, or not a JPEG at all: nothing at all reaches the terminal.
    EXPECT_EQ(draw(photo.substr(0, photo.size() / 2)), -1);
    EXPECT_EQ(draw("no image here"), -1);
    EXPECT_EQ(term_draw_jpeg((file + ".missing").c_str(), slave), -1);
    EXPECT_EQ(shown(), "");
}

TEST_F(TermDraw, OnlyOnATerminalThatCanShowIt)
{
    setenv("TERM", "dumb", 1);
    EXPECT_EQ(draw(photo), -1);
    unsetenv("TERM");
    EXPECT_EQ(draw(photo), -1);
    EXPECT_EQ(shown(), "");

    setenv("TERM", "xterm-256color", 1);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(draw(photo, fds[1]), -1);
    close(fds[1]);
    char byte;
    EXPECT_EQ(read(fds[0], &byte, 1), 0);
    close(fds[0]);
}

// A terminal whose name says nothing of graphics is asked, once, with its
// answer read up to the end; --images overrides.
TEST_F(TermDraw, AsksTheTerminalWhatItDraws)
{
    setenv("TERM", "xterm", 1);
    const int saved_in = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(slave, STDIN_FILENO), STDIN_FILENO);
    const std::string sixel_start = "\33P";
    EXPECT_EQ(draw(photo, -1, "\33[?63;1;2;4;6;9;15;22c"), 0);
    std::string out = shown();
    EXPECT_NE(out.find("\33[c"), std::string::npos);
    EXPECT_NE(out.find(sixel_start, out.find("\33[c")), std::string::npos) << out;
    struct pollfd left = {slave, POLLIN, 0};
    EXPECT_EQ(poll(&left, 1, 0), 0) << "the answer was left in the input";
    // The answer is kept for the run: no second question.
    EXPECT_EQ(draw(photo), 0);
    out = shown();
    EXPECT_EQ(out.find("\33[c"), std::string::npos);
    EXPECT_NE(out.find(sixel_start), std::string::npos);

    term_images_choose("auto");
    EXPECT_EQ(draw(photo, -1, "\33_Gi=31;OK\33\\\33[?62;22c"), 0);
    EXPECT_NE(shown().find("\33_G"), std::string::npos);

    // No answer: blocks, after the short wait.
    term_images_choose("auto");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(draw(photo), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    out = shown();
    EXPECT_EQ(out.find(sixel_start), std::string::npos);
    EXPECT_NE(out.find("\33["), std::string::npos);
    dup2(saved_in, STDIN_FILENO);
    close(saved_in);

    // Chosen: no question, whatever the terminal is called.
    EXPECT_EQ(term_images_choose("sixels"), -1);
    ASSERT_EQ(term_images_choose("sixel"), 0);
    EXPECT_EQ(draw(photo), 0);
    out = shown();
    EXPECT_EQ(out.find("\33[c"), std::string::npos);
    EXPECT_NE(out.find(sixel_start), std::string::npos);
    ASSERT_EQ(term_images_choose("none"), 0);
    EXPECT_EQ(draw(photo), -1);
    EXPECT_EQ(shown(), "");
}

}  // namespace
