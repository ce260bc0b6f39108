// Listing replies as the camera sends them, and the printed listing lines.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "files/listing.h"

namespace {

// A listing reply: 16 header bytes, 5 unused, the directory's own record,
// the entries, the end record.
struct ReplyBuilder {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(21, 0);

    ReplyBuilder &record(uint8_t attrib, uint32_t size, int32_t time, const std::string &name)
    {
        bytes.push_back(attrib);
        bytes.push_back(0);
        for (int i = 0; i < 4; i++)
            bytes.push_back(static_cast<uint8_t>(size >> (8 * i)));
        auto t = static_cast<uint32_t>(time);
        for (int i = 0; i < 4; i++)
            bytes.push_back(static_cast<uint8_t>(t >> (8 * i)));
        bytes.insert(bytes.end(), name.begin(), name.end());
        bytes.push_back(0);
        return *this;
    }
    ReplyBuilder &end()
    {
        bytes.insert(bytes.end(), 11, 0);
        return *this;
    }
};

ReplyBuilder listing_of(const std::string &dir)
{
    ReplyBuilder b;
    b.record(0x80, 0, 0, dir);
    return b;
}

int parse(const std::vector<uint8_t> &bytes, ListingReply *out, int offset = 0)
{
    return camera_parse_listing(bytes.data(), bytes.size(), offset, out);
}

std::string line_of(uint8_t attrib, uint32_t size, const char *name, int64_t mtime = 0)
{
    ListingEntry e{};
    e.attrib = attrib;
    e.size = size;
    e.mtime = mtime;
    std::snprintf(e.name, sizeof e.name, "%s", name);
    testing::internal::CaptureStdout();
    camera_print_entry(&e);
    return testing::internal::GetCapturedStdout();
}

std::string ctime_of(int64_t t)
{
    time_t tt = static_cast<time_t>(t);
    return std::ctime(&tt);
}

TEST(ParseListing, EntriesDirectoryAndClockOffset)
{
    auto r = listing_of("D:\\DCIM\\100CANON")
                 .record(0x20, 524288, 1000, "IMG_0001.JPG")
                 .record(0x10, 0, 0, "SUB")
                 .record(0x21, 1023, -5, "README")
                 .end();
    ListingReply out;
    ASSERT_EQ(parse(r.bytes, &out, 3600), 0);
    EXPECT_STREQ(out.directory, "D:\\DCIM\\100CANON");
    ASSERT_EQ(out.entries.size(), 3u);
    EXPECT_EQ(out.entries[0].attrib, 0x20);
    EXPECT_EQ(out.entries[0].size, 524288u);
    EXPECT_EQ(out.entries[0].mtime, 4600);
    EXPECT_STREQ(out.entries[0].name, "IMG_0001.JPG");
    EXPECT_EQ(out.entries[1].attrib, 0x10);
    EXPECT_EQ(out.entries[2].mtime, 3595);  // the time field is signed
}

TEST(ParseListing, EmptyDirectoryAndEndRecordBytesIgnored)
{
    auto r = listing_of("D:\\DCIM\\EMPTY");
    r.bytes.insert(r.bytes.end(), {0x55, 0x55, 1, 2, 3, 4, 5, 6, 7, 8, 0});
    ListingReply out;
    ASSERT_EQ(parse(r.bytes, &out), 0);
    EXPECT_TRUE(out.entries.empty());
    EXPECT_STREQ(out.directory, "D:\\DCIM\\EMPTY");
}

TEST(ParseListing, RefusedAndTruncatedRepliesFail)
{
    ListingReply out;
    auto refused = listing_of("D:\\X").record(0x20, 1, 1, "A.JPG").end();
    refused.bytes[21] = 0x00;
    EXPECT_EQ(parse(refused.bytes, &out), -1);

    // Shorter than the directory record's name offset.
    EXPECT_EQ(parse(std::vector<uint8_t>(31, 0x80), &out), -1);
    EXPECT_EQ(camera_parse_listing(nullptr, 0, 0, &out), -1);

    auto full = listing_of("D:\\DCIM").record(0x20, 10, 0, "A.JPG").record(0x20, 10, 0, "B.JPG").end();
    // Every cut before the end record's name byte is a reply that ended
    // early; none may be accepted and none may read past the cut (run
    // under the sanitizers this also checks the bounds).
    size_t complete = full.bytes.size() - 1;  // the end record's name byte
    for (size_t cut = 0; cut < complete; cut++) {
        std::vector<uint8_t> part(full.bytes.begin(), full.bytes.begin() + static_cast<long>(cut));
        EXPECT_EQ(parse(part, &out), -1) << "cut at " << cut;
    }
    std::vector<uint8_t> exact(full.bytes.begin(), full.bytes.begin() + static_cast<long>(complete + 1));
    EXPECT_EQ(parse(exact, &out), 0);
    EXPECT_EQ(out.entries.size(), 2u);
}

TEST(ParseListing, NameWithoutTerminatorFails)
{
    auto r = listing_of("D:\\DCIM");
    r.bytes.insert(r.bytes.end(), {0x20, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'A', 'B', 'C'});
    ListingReply out;
    EXPECT_EQ(parse(r.bytes, &out), -1);
}

TEST(ParseListing, LongNamesAreCutAndManyEntriesKept)
{
    std::string longname(1500, 'x');
    auto r = listing_of("D:\\DCIM").record(0x20, 1, 0, longname);
    for (int i = 0; i < 1025; i++)
        r.record(0x20, 100, 0, "F" + std::to_string(i) + ".JPG");
    r.end();
    ListingReply out;
    ASSERT_EQ(parse(r.bytes, &out), 0);
    ASSERT_EQ(out.entries.size(), 1026u);
    EXPECT_EQ(std::strlen(out.entries[0].name), 1023u);
    EXPECT_STREQ(out.entries[1025].name, "F1024.JPG");
}

TEST(PrintEntry, SizeColumn)
{
    EXPECT_EQ(line_of(0x20, 524288, "FILE0001.JPG", 0),
              "--n-  FILE0001.JPG         512k  " + ctime_of(0));
    EXPECT_EQ(line_of(0, 1023, "A.JPG").substr(6), "A       .JPG   1023 bytes  " + ctime_of(0));
    EXPECT_EQ(line_of(0, 1024, "A.JPG").substr(20, 11), "         1k");
    EXPECT_EQ(line_of(0, 1535, "A.JPG").substr(20, 11), "         1k");
    EXPECT_EQ(line_of(0, 1048576, "A.JPG").substr(20, 11), "      1024k");
    // Sizes of 2 GB and more still print as a positive number of k.
    EXPECT_EQ(line_of(0, 0xFFFFFFFFu, "A.JPG").substr(20, 11), "   4194303k");
}

TEST(PrintEntry, LettersDirectoriesAndOddNames)
{
    EXPECT_EQ(line_of(0xB1, 0, "ALL.JPG").substr(0, 6), "pine  ");
    EXPECT_EQ(line_of(0x10, 4096, "100CANON", 3600),
              "-i--  100CANON      <DIR>        " + ctime_of(3600));
    EXPECT_EQ(line_of(0, 5, "README").substr(6, 14), "README  .     ");
    // The extension is everything after the first dot; a long base is not
    // cut.
    EXPECT_EQ(line_of(0, 5, "LONGBASENAME.TAR.GZ").substr(6, 21), "LONGBASENAME.TAR.GZ  ");
    EXPECT_EQ(line_of(0, 5, "A\x1b[2J.JPG").substr(6, 14), "A?[2J   .JPG  ");
    EXPECT_EQ(line_of(0, 5, "B\x7f\x01.JPG").substr(6, 14), "B??     .JPG  ");
    EXPECT_EQ(line_of(0, 5, "\xc3\xa9.JPG").substr(6, 14), "\xc3\xa9      .JPG  ");
}

}  // namespace
