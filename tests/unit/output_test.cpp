// How result lines, progress rows and error lines meet on the terminal.
#include <gtest/gtest.h>

#include "serial/output.h"
#include "serial_pty.h"

namespace {

TEST(Output, AnOpenRowEndsBeforeAnErrorLineAndOnlyOnce)
{
    const Captured c = capture([] {
        out_now("Open %s: ", "/dev/x");  // not a row: an error leaves it as it is
        out_error("first\n");
        out_row("Sync: ");
        out_note("note\n");  // beside the row, which goes on
        out_row(".");
        out_error("second\n");
        out_end_row();  // already ended
        out_complaint("%s: gone\n", "/dev/x");
    });
    EXPECT_EQ(c.out, "Open /dev/x: Sync: .\n");
    EXPECT_EQ(c.err, "first\nnote\nsecond\norvik: /dev/x: gone\n");
}

TEST(Output, TextThatCompletesTheRowClosesIt)
{
    const Captured c = capture([] {
        out_row("Switching to %d bound ", 115200);
        out_row("..");
        out_line("OK\n");
        out_error("late\n");
        out_begin_row();
        out_end_row();
    });
    EXPECT_EQ(c.out, "Switching to 115200 bound ..OK\n\n");
    EXPECT_EQ(c.err, "late\n");
}

}  // namespace
