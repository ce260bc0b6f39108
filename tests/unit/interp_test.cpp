// Splitting command lines into tokens; the command table against the help.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "shell/interp.h"

namespace {

std::vector<std::string> split(const std::string &line, int limit = TOKEN_LIMIT)
{
    char *tokens[TOKEN_SLOTS + 1];
    for (auto &t : tokens)
        t = reinterpret_cast<char *>(1);  // garbage: split_line must set the end marker
    int n = split_line(line.c_str(), tokens, limit);
    std::vector<std::string> out;
    for (int i = 0; i < n; i++)
        out.emplace_back(tokens[i]);
    EXPECT_EQ(tokens[n], nullptr);
    free_tokens(tokens);
    return out;
}

using V = std::vector<std::string>;

TEST(SplitLine, SpacesOnlySeparate)
{
    EXPECT_EQ(split(""), V{});
    EXPECT_EQ(split("     "), V{});
    EXPECT_EQ(split("  ls   DCIM  "), (V{"ls", "DCIM"}));
    // A tab is part of the word.
    EXPECT_EQ(split("ls\tDCIM"), V{"ls\tDCIM"});
    EXPECT_EQ(split("get a\tb c"), (V{"get", "a\tb", "c"}));
}

TEST(SplitLine, NewlineEndsTheLine)
{
    EXPECT_EQ(split("ls DCIM\nrm x"), (V{"ls", "DCIM"}));
    EXPECT_EQ(split("ls\n"), V{"ls"});
    EXPECT_EQ(split("   \nls"), V{});
}

TEST(SplitLine, LimitCutsTheRest)
{
    std::string line;
    for (int i = 0; i < 40; i++)
        line += "w" + std::to_string(i) + " ";
    V got = split(line);
    ASSERT_EQ(got.size(), 32u);
    EXPECT_EQ(got.front(), "w0");
    EXPECT_EQ(got.back(), "w31");
    EXPECT_EQ(split("a b c", 2), (V{"a", "b"}));
    // A limit below 1 still yields the command.
    EXPECT_EQ(split("a b c", 0), V{"a"});
}

TEST(SplitLine, LongWordsAreCutIntoPieces)
{
    std::string full(1023, 'x');
    EXPECT_EQ(split(full), V{full});
    std::string longer = std::string(1023, 'a') + std::string(5, 'b');
    EXPECT_EQ(split(longer), (V{std::string(1023, 'a'), "bbbbb"}));
    std::string twice(2100, 'c');
    V got = split("get " + twice);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[1].size(), 1023u);
    EXPECT_EQ(got[2].size(), 1023u);
    EXPECT_EQ(got[3].size(), 54u);
}

// Runs the help screen with `typed` as standard input (end of file after
// it) and returns the screen; *next gets the character the next reader of
// stdin would see.
std::string help_screen(const std::string &typed, int *next = nullptr)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    close(fds[1]);
    const int saved_stdin = dup(STDIN_FILENO);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    std::clearerr(stdin);
    testing::internal::CaptureStdout();
    show_help();
    std::string screen = testing::internal::GetCapturedStdout();
    int c = std::getc(stdin);
    if (next != nullptr)
        *next = c;
    while (c != EOF)
        c = std::getc(stdin);
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    std::clearerr(stdin);
    return screen;
}

// The names the help screen shows: the first column of its lines, at
// spaces and '|', without the argument placeholders.
std::set<std::string> help_names(void)
{
    // The screen pauses for a key between pages: end of file answers it.
    const std::string screen = help_screen("");
    std::set<std::string> names;
    std::istringstream lines(screen);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream column(line.substr(0, 14));
        for (std::string word; column >> word;)
            if (word != "|" && word[0] != '<' && word[0] != '[')
                names.insert(word);
    }
    return names;
}

TEST(Interp, CompletionNamesAreTheDispatcherNames)
{
    std::vector<std::string> names;
    for (int i = 0; const char *name = command_name(i); i++)
        names.emplace_back(name);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "close");
    EXPECT_EQ(names.back(), "put");

    // Synonyms the help screen does not show.
    const std::set<std::string> unlisted = {
        "exit", "bye",  // of quit
        "getlastls",    // of getall
        "cls",          // of clear
        "put",          // of upload
    };
    const std::set<std::string> listed = help_names();
    std::set<std::string> seen;
    for (const std::string &name : names) {
        EXPECT_TRUE(seen.insert(name).second) << name << " is in the table twice";
        EXPECT_NE(listed.count(name) + unlisted.count(name), 0u) << name << " is not in the help";
        EXPECT_FALSE(listed.count(name) && unlisted.count(name)) << name << " is in the help";
    }
}

}  // namespace

// The 45 lines of the original table keep their pauses (after its 22nd
// and 44th line); commands added later follow its last, empty line.
TEST(Interp, HelpTableKeepsItsPagesAndAddsAfterTheEnd)
{
    std::vector<std::string> lines;
    std::istringstream screen(help_screen("\n\n"));
    for (std::string line; std::getline(screen, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 52u);
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "help                     show this help screen");
    EXPECT_EQ(lines[24], "power                    show informations about power status");
    EXPECT_EQ(lines[25], "--- MORE ---");
    EXPECT_EQ(lines[26], "overwrite                switch on/off the overwrite mode, when overwrite");
    EXPECT_EQ(lines[46], "unprotectall             unprotect all files in the current directory");
    EXPECT_EQ(lines[47], "upload        <source> [dest]  upload a file (USB only)");
    EXPECT_EQ(lines[48], "--- MORE ---");
    EXPECT_EQ(lines[49], "");
    EXPECT_EQ(lines[50], "mget          <glob>...  get the files of the last listing matching a glob");
    EXPECT_EQ(lines[51], "lcd           [dir]      change (or show) the local directory");
}

TEST(Interp, HelpLeavesNothingTypedAtItsPausesForTheNextQuestion)
{
    // Enter at the first pause, "q" Enter at the last; two keys at the
    // first pause (the second answers the last); Enter at each.
    for (const char *typed : {"\nq\nd\n", "ab\nd\n", "\n\nd\n"}) {
        int next = 0;
        const std::string screen = help_screen(typed, &next);
        EXPECT_EQ(next, 'd') << typed;
        EXPECT_NE(screen.find("upload        <source> [dest]"), std::string::npos);
    }
}
