// The bulk commands at the prompt, against the emulated camera.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "e2e.h"

using namespace e2e;

namespace {

const std::string kDir = "D:\\DCIM\\100TEST";

struct BulkTest : EmulatorTest {
    std::string card(const std::string &name) const { return sim.card + "/DCIM/100TEST/" + name; }
    std::string local(const std::string &name) const { return cwd + "/" + name; }

    // Runs orvik on the emulator with the command lines; end of input
    // ends the session as `quit` does.
    RunResult run(const std::vector<std::string> &lines,
                  const std::vector<std::string> &env = {})
    {
        std::string input;
        for (const auto &l : lines)
            input += l + "\n";
        RunResult r = orvik_run({"-d", sim.tty}, input, cwd, 120000, env);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("bye!"), std::string::npos) << r.out;
        return r;
    }
};

TEST_F(BulkTest, EveryBulkCommandRefusesAnEmptyListing)
{
    make_folder(sim, "DCIM/EMPTY", {});
    const std::vector<std::string> commands = {
        "getall", "getlastls", "getallnew", "getallold", "deleteall", "deletenew", "deleteold",
        "protectall", "unprotectall", "newall", "oldall", "viewall"};
    std::vector<std::string> lines = commands;  // nothing listed yet
    lines.push_back("cd D:\\DCIM\\EMPTY");      // an empty folder
    lines.insert(lines.end(), commands.begin(), commands.end());
    RunResult r = run(lines);
    EXPECT_EQ(count(r.out, "last ls is empty\n"), 2 * static_cast<int>(commands.size())) << r.out;
    EXPECT_EQ(count(r.out, "Removing "), 0);
    EXPECT_EQ(count(r.out, "chmod "), 0);
    EXPECT_EQ(count(r.out, "Getting "), 0);
    EXPECT_EQ(count(r.out, "terminated"), 0);
}

TEST_F(BulkTest, GetAllNewOldFollowTheCachedBits)
{
    const std::vector<std::string> names = {"A.JPG", "B.JPG", "C.JPG"};
    make_folder(sim, "DCIM/100TEST", names);
    RunResult r = run({"ls " + kDir, "getall", "MARK1",
                       // The cache follows the marks the camera took: no
                       // file is new any more, all are old.
                       "getallnew", "MARK2", "overwrite", "getallold", "MARK3",
                       // A fresh listing shows the same marks.
                       "ls", "getallold", "MARK4", "getallnew", "MARK5",
                       "debug", "getlastls"});
    auto p = parts(r.out, 5);
    EXPECT_EQ(count(p[0], "Getting "), 3) << p[0];
    EXPECT_EQ(count(p[1], "Getting "), 0) << p[1];
    EXPECT_EQ(r.err.find("not saved"), std::string::npos) << r.err;
    EXPECT_EQ(count(p[2], "Getting "), 3) << p[2];
    EXPECT_EQ(count(p[3], "Getting "), 3) << p[3];
    EXPECT_EQ(count(p[4], "Getting "), 0) << p[4];
    EXPECT_EQ(count(p[5], "Getting "), 3) << p[5];
    // The closing line comes only with the debug flag on.
    EXPECT_EQ(count(r.out, "getlastls successful"), 1);
    EXPECT_NE(p[5].find("getlastls successful"), std::string::npos);
    for (const auto &n : names)
        EXPECT_EQ(read_file(local(n)), photo_bytes(n)) << n;
}

// protect, then get: the downloaded mark keeps the protection the camera
// took since the listing, so a later deleteall (or -E) leaves the photo.
TEST_F(BulkTest, GetKeepsAProtectionSetSinceTheListing)
{
    make_folder(sim, "DCIM/100TEST", {"A.JPG", "B.JPG"});
    RunResult r = run({"ls " + kDir, "protect b.jpg", "get B.JPG", "ls", "deleteall"});
    EXPECT_NE(r.out.find("p---  B       .JPG"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Removing D:\\DCIM\\100TEST\\B.JPG: PROTECTED, file skipped\n"),
              std::string::npos) << r.out;
    EXPECT_TRUE(exists(card("B.JPG")));
    EXPECT_FALSE(exists(card("A.JPG")));
}

TEST_F(BulkTest, DeleteAllSkipsProtectedFiles)
{
    make_folder(sim, "DCIM/100TEST", {"A.JPG", "B.JPG", "C.JPG"});
    RunResult r = run({"ls " + kDir, "protect B.JPG", "ls", "deleteall"});
    EXPECT_NE(r.out.find("Removing D:\\DCIM\\100TEST\\A.JPG: successful\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Removing D:\\DCIM\\100TEST\\B.JPG: PROTECTED, file skipped\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Removing D:\\DCIM\\100TEST\\C.JPG: successful\n"), std::string::npos);
    EXPECT_NE(r.out.find("delete terminated\n"), std::string::npos);
    EXPECT_FALSE(exists(card("A.JPG")));
    EXPECT_TRUE(exists(card("B.JPG")));
    EXPECT_FALSE(exists(card("C.JPG")));
}

TEST(BulkFaults, LostRepliesAreFetchedAgainAndNoRemovalRepeated)
{
    struct Walk {
        const char *command, *line_start;
        int type;        // request type of each entry
        int nacks;       // NACKs sent for the lost reply
        int requests_b;  // requests for the second entry
    };
    // A request the camera acknowledged is not asked for twice: a NACK
    // fetches its lost reply.
    for (const Walk &w : {Walk{"deleteall", "Removing ", 10, 1, 1},
                          Walk{"newall", "chmod ", 13, 1, 1}}) {
        SCOPED_TRACE(w.command);
        // Requests 1 and 2 are the identity and the drive name; the fourth
        // single-packet request is the one for the second entry, whose
        // reply never arrives.
        Camsim sim = camsim_start({"--fault", "silent-reply@4"});
        ASSERT_FALSE(sim.tty.empty());
        make_folder(sim, "DCIM/100TEST", {"A.JPG", "B.JPG", "C.JPG"});
        RunResult r = orvik_run({"-d", sim.tty}, "ls " + kDir + "\n" + w.command + "\n",
                                make_temp_dir());
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        for (const char *name : {"A.JPG", "B.JPG", "C.JPG"})
            EXPECT_NE(r.out.find(std::string(w.line_start) + "D:\\DCIM\\100TEST\\" + name +
                                 ": successful\n"),
                      std::string::npos) << r.out;
        int nacks = 0;
        for (const std::string &frame : log_lines(sim, "RX"))
            if (hex_compact(frame).substr(4, 4) == "05ff")
                nacks++;
        EXPECT_EQ(nacks, w.nacks);
        int requests_b = 0;
        for (const std::string &note : log_lines(sim, "NOTE"))
            if (note.rfind("request type=" + std::to_string(w.type), 0) == 0 &&
                note.find("B.JPG") != std::string::npos)
                requests_b++;
        EXPECT_EQ(requests_b, w.requests_b);
        camsim_stop(sim);
    }
}

TEST(BulkFaults, HostileNamesCannotDriveTheTerminalOrPickTheDrive)
{
    // The camera lists a name with an escape sequence that also looks
    // like a path on another drive.
    const std::string name = "C:\x1b[2J.JPG";
    Camsim sim = camsim_start({"--fault", "hostile-name=" + name});
    ASSERT_FALSE(sim.tty.empty());
    make_folder(sim, "DCIM/100TEST", {"A.JPG"});
    RunResult r = orvik_run({"-d", sim.tty}, "ls " + kDir + "\ngetall\nnewall\ndeleteall\n",
                            make_temp_dir());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Getting D:\\DCIM\\100TEST\\C:?[2J.JPG, 100 bytes\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("chmod D:\\DCIM\\100TEST\\C:?[2J.JPG: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Removing D:\\DCIM\\100TEST\\C:?[2J.JPG: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Removing D:\\DCIM\\100TEST\\A.JPG: successful\n"), std::string::npos);
    // The removal asked for the listed folder's entry, not for "C:...".
    int joined = 0;
    for (const auto &note : log_lines(sim, "NOTE")) {
        EXPECT_EQ(note.find("path=C:"), std::string::npos) << note;
        if (note.find("path=D:\\DCIM\\100TEST\\C:\\x1b[2J.JPG") != std::string::npos)
            joined++;
    }
    EXPECT_GE(joined, 4);  // the download and its mark, the new mark, the removal
    camsim_stop(sim);
}

TEST_F(BulkTest, DeleteNewThenDeleteOld)
{
    make_folder(sim, "DCIM/100TEST", {"A.JPG", "B.JPG", "C.JPG"});
    RunResult r = run({"ls " + kDir, "get B.JPG", "ls", "deletenew", "MARK1", "ls", "deleteold"});
    auto p = parts(r.out, 1);
    EXPECT_EQ(count(p[0], "Removing "), 2) << p[0];
    EXPECT_EQ(count(p[0], "\\B.JPG: "), 0) << p[0];
    EXPECT_NE(p[0].find("delete terminated"), std::string::npos);
    EXPECT_EQ(count(p[1], "Removing "), 1) << p[1];
    EXPECT_NE(p[1].find("Removing D:\\DCIM\\100TEST\\B.JPG: successful\n"), std::string::npos) << p[1];
    EXPECT_FALSE(exists(card("A.JPG")));
    EXPECT_FALSE(exists(card("B.JPG")));
    EXPECT_FALSE(exists(card("C.JPG")));
    EXPECT_TRUE(exists(local("B.JPG")));
}

TEST_F(BulkTest, ProtectAllAndUnprotectAll)
{
    make_folder(sim, "DCIM/100TEST", {"A.JPG", "B.JPG"});
    RunResult r = run({"ls " + kDir, "protectall", "ls", "deleteall", "MARK1",
                       "unprotectall", "ls", "deleteall"});
    auto p = parts(r.out, 1);
    EXPECT_NE(p[0].find("chmod D:\\DCIM\\100TEST\\A.JPG: successful\n"
                        "chmod D:\\DCIM\\100TEST\\B.JPG: successful\n"
                        "chmodall terminated\n"), std::string::npos) << p[0];
    EXPECT_EQ(count(p[0], "PROTECTED, file skipped"), 2) << p[0];
    EXPECT_EQ(count(p[1], "chmod D:\\DCIM\\100TEST\\"), 2) << p[1];
    EXPECT_EQ(count(p[1], ": successful\n"), 4) << p[1];  // two chmod, two removals
    EXPECT_EQ(count(p[1], "PROTECTED"), 0) << p[1];
    EXPECT_FALSE(exists(card("A.JPG")));
    EXPECT_FALSE(exists(card("B.JPG")));
}

TEST_F(BulkTest, OldAllAndNewAllChangeWhatGetAllNewTakes)
{
    make_folder(sim, "DCIM/100TEST", {"A.JPG", "B.JPG"});
    RunResult r = run({"ls " + kDir, "oldall", "ls", "getallnew", "MARK1",
                       "getallold", "MARK2",
                       "newall", "ls", "getallold", "MARK3", "overwrite", "getallnew"});
    auto p = parts(r.out, 3);
    EXPECT_NE(p[0].find("chmodall terminated"), std::string::npos);
    EXPECT_EQ(count(p[0], "Getting "), 0) << p[0];
    EXPECT_EQ(count(p[1], "Getting "), 2) << p[1];
    EXPECT_EQ(count(p[2], "Getting "), 0) << p[2];
    EXPECT_EQ(count(p[3], "Getting "), 2) << p[3];
}

// Answers the viewer's question once the stand-in viewer has really been
// started for this thumbnail (its log has `shown` lines).
void answer_viewer(Session &s, const std::string &log, int shown, const std::string &answer)
{
    ASSERT_TRUE(expect(s, VIEWER_QUESTION)) << "thumbnail " << shown;
    ASSERT_EQ(wait_for_viewer(log, shown), shown);
    send_raw(s, answer);
}

TEST_F(BulkTest, ViewAllActsOnEachAnswer)
{
    // The first two names look like paths on another drive: deleting and
    // fetching them must still address the listed folder's entries.
    make_folder(sim, "DCIM/100TEST",
                {"A:X.JPG", "B:X.JPG", "C.JPG", "D.JPG", "E.JPG", "F.JPG", "G.JPG"});
    std::string bin = make_temp_dir();
    std::string xv_log = bin + "/xv.log";
    Session s = orvik_start({"-d", sim.tty}, cwd, {fake_viewer(bin)});
    ASSERT_TRUE(expect(s, "> "));
    // E is downloaded first so that it is old when "N" marks it new again.
    for (const char *line : {"ls D:\\DCIM\\100TEST", "get E.JPG", "ls"}) {
        send_line(s, line);
        ASSERT_TRUE(expect(s, "\r\n["));
        ASSERT_TRUE(expect(s, "> "));
    }
    send_line(s, "viewall");
    answer_viewer(s, xv_log, 1, "d\r");  // A:X: deleted on the camera
    answer_viewer(s, xv_log, 2, "G\r");  // B:X: downloaded
    answer_viewer(s, xv_log, 3, "o\r");  // C: marked old
    answer_viewer(s, xv_log, 4, "\r");   // D: nothing
    answer_viewer(s, xv_log, 5, "N\r");  // E: marked new
    answer_viewer(s, xv_log, 6, "q\r");  // F: the walk stops; G is not shown
    ASSERT_TRUE(expect(s, "> "));
    EXPECT_EQ(count(s.output, VIEWER_QUESTION), 6);
    EXPECT_EQ(count(read_file(xv_log), "./orvik_REMOVE_ME -geometry +200+100\n"), 6);
    EXPECT_FALSE(exists(card("A:X.JPG")));
    EXPECT_TRUE(exists(card("B:X.JPG")));
    EXPECT_EQ(read_file(local("B:X.JPG")), photo_bytes("B:X.JPG"));

    // What the camera now counts as new: D, E (re-marked), F and G.
    size_t from = s.output.size();
    send_line(s, "overwrite");
    send_line(s, "ls");
    send_line(s, "getallnew");
    send_line(s, "quit");
    EXPECT_EQ(wait_exit(s), 0);
    std::string after = s.output.substr(from);
    EXPECT_EQ(count(after, "Getting "), 4) << after;
    for (const char *n : {"D.JPG", "E.JPG", "F.JPG", "G.JPG"})
        EXPECT_NE(after.find(std::string("Getting ") + kDir + "\\" + n), std::string::npos) << n << after;
    EXPECT_FALSE(exists(cwd + "/orvik_REMOVE_ME"));
}

TEST_F(BulkTest, ViewAllStopsAtEndOfInput)
{
    make_folder(sim, "DCIM/100TEST", {"A.JPG", "B.JPG", "C.JPG"});
    std::string bin = make_temp_dir();
    std::string xv_log = bin + "/xv.log";
    Session s = orvik_start({"-d", sim.tty}, cwd, {fake_viewer(bin)});
    ASSERT_TRUE(expect(s, "> "));
    send_line(s, "ls " + kDir);
    ASSERT_TRUE(expect(s, "3 files"));
    ASSERT_TRUE(expect(s, "> "));
    send_line(s, "viewall");
    answer_viewer(s, xv_log, 1, "\x04");  // end of input at the question
    ASSERT_TRUE(expect(s, "> "));
    EXPECT_EQ(count(s.output, VIEWER_QUESTION), 1);
    send_line(s, "quit");
    EXPECT_EQ(wait_exit(s), 0);
    EXPECT_EQ(count(read_file(xv_log), "\n"), 1);
    EXPECT_TRUE(exists(card("A.JPG")));
    EXPECT_TRUE(camera_switched_off(sim));
}

}  // namespace
