// Splitting command lines into tokens.
#include <gtest/gtest.h>

#include <string>
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

TEST(Interp, CompletionNamesAreTheDispatcherNames)
{
    std::vector<std::string> names;
    for (int i = 0; const char *name = command_name(i); i++)
        names.emplace_back(name);
    ASSERT_EQ(names.size(), 49u);
    EXPECT_EQ(names.front(), "close");
    EXPECT_EQ(names.back(), "put");
}

}  // namespace
