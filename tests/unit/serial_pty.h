// Test support for the serial link: a pseudo-terminal whose slave side is
// opened by serial_open while the test plays the camera on the master
// side, and capture of stdout/stderr into temporary files.
#ifndef ORVIK_TESTS_SERIAL_PTY_H
#define ORVIK_TESTS_SERIAL_PTY_H

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "serial/codec.h"
#include "serial/fatal.h"
#include "serial/port.h"
#include "shell/settings.h"

using Bytes = std::vector<uint8_t>;

// Runs `body` with stdout and stderr redirected to temporary files and
// returns what each received.
struct Captured {
    std::string out;
    std::string err;
};

inline std::string slurp(FILE *f)
{
    std::string s;
    std::rewind(f);
    int c;
    while ((c = std::fgetc(f)) != EOF)
        s.push_back(static_cast<char>(c));
    return s;
}

template <typename F>
Captured capture(F body)
{
    std::fflush(stdout);
    std::fflush(stderr);
    FILE *out = std::tmpfile();
    FILE *err = std::tmpfile();
    const int saved_out = dup(1);
    const int saved_err = dup(2);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    Captured c{slurp(out), slurp(err)};
    std::fclose(out);
    std::fclose(err);
    return c;
}

// Runs `body`, which is to end in a fatal condition: what it printed, and
// in *kind the condition's kind, or -1 when it returned instead.
template <typename F>
Captured capture_fatal(F body, int *kind)
{
    *kind = -1;
    return capture([&] {
        try {
            body();
        } catch (const FatalCondition &fatal) {
            *kind = fatal.kind;
        }
    });
}

// Packet bytes with their CRC appended, and as a frame on the line.
inline Bytes frame_of(const Bytes &packet)
{
    const int initial = serial_crc_initial(static_cast<int>(packet.size()));
    const uint16_t crc = serial_crc_run(static_cast<uint16_t>(initial < 0 ? 0 : initial),
                                        packet.data(), packet.size());
    Bytes out(2 * (packet.size() + 2) + 2);
    out.resize(serial_encode_frame(packet.data(), packet.size(), crc, out.data()));
    return out;
}

class PtyTest : public ::testing::Test {
protected:
    int master = -1;
    int slave = -1;
    char name[256] = {};
    std::vector<pid_t> writers;

    void SetUp() override
    {
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        settings.debug = 0;
        settings.a50 = 0;
        serial_set_timeout(1, 0);
        ASSERT_EQ(serial_open(name), 0);
    }

    void TearDown() override
    {
        for (pid_t pid : writers) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        serial_close();
        settings.debug = 0;
        settings.a50 = 0;
        close(slave);
        close(master);
    }

    // Writes from the camera's side.  Large runs fill the terminal's input
    // queue, so they are written by a child process while the test reads.
    void camera_sends(const Bytes &bytes)
    {
        if (bytes.size() <= 256) {
            ASSERT_EQ(write(master, bytes.data(), bytes.size()),
                      static_cast<ssize_t>(bytes.size()));
            return;
        }
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t w = write(master, bytes.data() + done, bytes.size() - done);
                if (w <= 0)
                    _exit(1);
                done += static_cast<size_t>(w);
            }
            _exit(0);
        }
        writers.push_back(pid);
    }

    // Reads what this side wrote until `count` bytes arrived (or 2 s of
    // silence, a safety bound).
    Bytes camera_reads(size_t count)
    {
        Bytes got;
        while (got.size() < count) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0)
                break;
            uint8_t buf[4096];
            const ssize_t r = read(master, buf, sizeof buf);
            if (r <= 0)
                break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
};

#endif
