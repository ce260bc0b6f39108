// Importing: where each file goes (the --save-as pattern and the refusals
// that keep a camera's names inside the target tree), the --only/--skip
// wildcards, and the --exec command's start and its failures.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "files/saveas.h"
#include "files/select.h"
#include "shell/hook.h"

namespace {

// 2001-06-22 12:34:56 in whatever zone the test runs: the fields come
// from local time, as ls shows them.
time_t photo_time()
{
    struct tm parts {};
    parts.tm_year = 101;
    parts.tm_mon = 5;
    parts.tm_mday = 22;
    parts.tm_hour = 12;
    parts.tm_min = 34;
    parts.tm_sec = 56;
    parts.tm_isdst = -1;
    return mktime(&parts);
}

std::string expand(const char *pattern, const char *local, const char *folder = "100CANON",
                   bool has_time = true)
{
    std::string out, why;
    if (saveas_expand(pattern, SaveSource{local, folder, has_time, photo_time()}, &out, &why) != 0)
        return "refused: " + why;
    return out;
}

bool refused(const std::string &result)
{
    return result.rfind("refused: ", 0) == 0;
}

TEST(SaveAs, TokensExpandFromTheListing)
{
    EXPECT_EQ(expand("%Y/%m-%d/%n", "IMG_0001.JPG"), "2001/06-22/IMG_0001.JPG");
    EXPECT_EQ(expand("%H%M%S-%b.%e", "IMG_0001.JPG"), "123456-IMG_0001.JPG");
    EXPECT_EQ(expand("/lib/%F/", "img_0001.jpg"), "/lib/100CANON/img_0001.jpg");
    EXPECT_EQ(expand("100%%/%b_%e", "README"), "100%/README_");
    // The extension is what follows the last dot.
    EXPECT_EQ(expand("%e/%b", "A.B.JPG"), "JPG/A.B");
    // A pattern's own ".." is the user's to write.
    EXPECT_EQ(expand("../photos/%n", "X.JPG"), "../photos/X.JPG");
}

TEST(SaveAs, CameraNamesNeverLeaveTheTree)
{
    // "...JPG" makes %b "..": a level up, not a folder.
    EXPECT_TRUE(refused(expand("%b/%n", "...JPG")));
    EXPECT_TRUE(refused(expand("%F/%n", "X.JPG", "..")));
    EXPECT_TRUE(refused(expand("%F/%n", "X.JPG", "a/../../etc")));
    EXPECT_TRUE(refused(expand("lib/", "a/../../X.JPG")));
    // An empty extension in front would make the path absolute.
    EXPECT_TRUE(refused(expand("%e/%n", "README")));
    // No file name at the end.
    EXPECT_TRUE(refused(expand("%e", "README")));
    EXPECT_TRUE(refused(expand("x/..", "X.JPG")));
    // A time token with no time to take it from.
    EXPECT_TRUE(refused(expand("%Y/%n", "X.JPG", "100CANON", false)));
    EXPECT_EQ(expand("%F/%n", "X.JPG", "100CANON", false), "100CANON/X.JPG");
    // The camera's "." and the pattern's "." together make a level up.
    EXPECT_TRUE(refused(expand("%b./%n", "..JPG")));
}

TEST(SaveAs, PatternsWithUnknownTokensAreRefusedAtTheStart)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(saveas_set_pattern("%Y/%q/%n"), -1);
    EXPECT_EQ(saveas_set_pattern("photos/%"), -1);
    EXPECT_EQ(saveas_set_pattern(""), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(saveas_pattern, nullptr);
    EXPECT_NE(err.find("orvik: --save-as: unknown token"), std::string::npos) << err;
    EXPECT_EQ(saveas_set_pattern("%%%Y/"), 0);
    EXPECT_STREQ(saveas_pattern, "%%%Y/");
    saveas_pattern = nullptr;
}

TEST(Select, WildcardsIgnoreCase)
{
    const char *const globs[] = {"*.jpg", "img_01?[0-9].*"};
    EXPECT_TRUE(select_matches("IMG_0001.JPG", globs, 1));
    EXPECT_TRUE(select_matches("img_0102.crw", globs, 2));
    EXPECT_FALSE(select_matches("IMG_0102.CRW", globs, 1));
    EXPECT_FALSE(select_matches("README", globs, 2));
    EXPECT_FALSE(select_matches("IMG_0001.JPG", globs, 0));
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The command gets the paths as $1 and $2, reads nothing of ours, and
// starts as a shell would start it: whatever orvik ignores or holds back
// (readline and the transfers do both) is not handed on.
TEST(Hook, RunsWithPlainSignalsAndNoInput)
{
    char tmpl[] = "/tmp/orvik-hook-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string log = std::string(tmpl) + "/log";
    const std::string command = "printf '%s|%s|' \"$1\" \"$2\" > " + log +
                                "; cat >> " + log +
                                // exec: the shell's own forks block signals for a moment
                                "; exec grep -E '^Sig(Blk|Ign)' /proc/self/status >> " + log;
    hook_command = command.c_str();
    sigset_t usr1, before;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, &before);
    auto old_pipe = signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(hook_run("2001/06-22/IMG_0001.JPG", "D:\\DCIM\\100CANON\\IMG_0001.JPG"), 0);
    signal(SIGPIPE, old_pipe);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    EXPECT_EQ(read_text(log), "2001/06-22/IMG_0001.JPG|D:\\DCIM\\100CANON\\IMG_0001.JPG|"
                              "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");

    // Failures are one line each and change nothing else.
    testing::internal::CaptureStderr();
    hook_command = "exit 3";
    EXPECT_EQ(hook_run("A.JPG", "D:\\A.JPG"), -1);
    hook_command = "orvik-no-such-program-here";
    EXPECT_EQ(hook_run("B.JPG", "D:\\B.JPG"), -1);
    hook_command = "kill -TERM $$";
    EXPECT_EQ(hook_run("C.JPG", "D:\\C.JPG"), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    // (The shell says "not found" in its own words too.)
    size_t at = 0;
    for (const char *line : {"exec: A.JPG: the command failed with status 3\n",
                             "exec: B.JPG: the command was not found (status 127)\n",
                             "exec: C.JPG: the command was ended by signal 15\n"}) {
        at = err.find(line, at);
        EXPECT_NE(at, std::string::npos) << line << err;
    }
    hook_command = nullptr;
    std::string cmd = std::string("rm -rf '") + tmpl + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
}

}  // namespace
