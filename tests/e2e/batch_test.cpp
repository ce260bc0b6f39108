// The non-interactive modes (-l, -g, -n, -E) and the switch-off mode (-U),
// against the emulated camera.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "e2e.h"

using namespace e2e;

namespace {

struct BatchTest : EmulatorTest {
    // DCIM: 100AAA {1, 2}, 101BBB {3}, and a photo in DCIM itself.
    void standard_card()
    {
        clear_dcim(sim);
        make_folder(sim, "DCIM/100AAA", {"IMG_0001.JPG", "IMG_0002.JPG"});
        make_folder(sim, "DCIM/101BBB", {"IMG_0003.JPG"});
        make_folder(sim, "DCIM", {"ROOT0000.JPG"});
    }
    std::string card(const std::string &rel) const { return sim.card + "/DCIM/" + rel; }

    RunResult run(const std::string &option, const std::string &input = "",
                  const std::string &dir = "")
    {
        return orvik_run({"-d", sim.tty, option}, input, dir.empty() ? cwd : dir);
    }
};

TEST_F(BatchTest, ListShowsEveryFolderInOrder)
{
    standard_card();
    RunResult r = run("-l");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    size_t first = r.out.find("---> 100AAA\n");
    size_t second = r.out.find("---> 101BBB\n");
    ASSERT_NE(first, std::string::npos) << r.out;
    ASSERT_NE(second, std::string::npos) << r.out;
    EXPECT_LT(first, second);
    EXPECT_LT(r.out.find("ROOT0000.JPG"), first);
    EXPECT_NE(r.out.find("IMG_0001.JPG", first), std::string::npos);
    EXPECT_NE(r.out.find("IMG_0003.JPG", second), std::string::npos);
    EXPECT_EQ(count(r.out, "Getting "), 0);
    EXPECT_TRUE(camera_switched_off(sim));
    EXPECT_TRUE(exists(card("100AAA/IMG_0001.JPG")));
}

TEST_F(BatchTest, GetAllThenOnlyNewFilesCome)
{
    standard_card();
    RunResult r = run("-g");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(count(r.out, "Getting "), 3) << r.out;
    for (const char *n : {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"})
        EXPECT_EQ(read_file(cwd + "/" + n), photo_bytes(n)) << n;
    // Files lying in DCIM itself are not part of any folder.
    EXPECT_FALSE(exists(cwd + "/ROOT0000.JPG"));
    EXPECT_TRUE(camera_switched_off(sim));

    // Everything was marked downloaded: a -n run finds nothing to fetch.
    std::string again = make_temp_dir();
    r = run("-n", "", again);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(count(r.out, "Getting "), 0) << r.out;
    EXPECT_NE(r.out.find("---> 101BBB\n"), std::string::npos);

    // A photo added since then is the only one that comes.
    make_folder(sim, "DCIM/101BBB", {"IMG_0004.JPG"});
    r = run("-n", "", again);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(count(r.out, "Getting "), 1) << r.out;
    EXPECT_EQ(read_file(again + "/IMG_0004.JPG"), photo_bytes("IMG_0004.JPG"));
    EXPECT_FALSE(exists(again + "/IMG_0001.JPG"));
}

TEST_F(BatchTest, RerunIntoAFolderHoldingEverythingFetchesNothingAndEndsOne)
{
    standard_card();
    ASSERT_EQ(run("-g").status, 0);
    const size_t downloads = requests(sim, 1).size();
    RunResult r = run("-g");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(count(r.out, "Getting "), 0) << r.out;
    EXPECT_EQ(requests(sim, 1).size(), downloads);
    for (const char *n : {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"})
        EXPECT_TRUE(has_line(r.err, std::string(n) + ": not saved: it exists here and overwrite is off"))
            << r.err;
    EXPECT_TRUE(has_line(r.err, "3 files were not saved (named above)")) << r.err;
    EXPECT_TRUE(camera_switched_off(sim));
}

// The script the exit status is for: a photo the camera would not send
// must stop the erase that follows.
TEST(BatchScript, NewThenEraseKeepsAPhotoThatDidNotArrive)
{
    Camsim sim = camsim_start({"--fault", "refuse@2"});
    ASSERT_FALSE(sim.tty.empty());
    clear_dcim(sim);
    make_folder(sim, "DCIM/100AAA", {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"});
    const std::string cwd = make_temp_dir();
    const std::string script = "cd '" + cwd + "' && '" ORVIK_BIN "' -d '" + sim.tty +
                               "' -n >/dev/null 2>&1 && echo y | '" ORVIK_BIN "' -d '" + sim.tty +
                               "' -E >/dev/null 2>&1";
    const int status = std::system(("sh -c \"" + script + "\"").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(local_names(cwd), (std::set<std::string>{"IMG_0001.JPG", "IMG_0003.JPG"}));
    for (const char *n : {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"})
        EXPECT_TRUE(exists(sim.card + "/DCIM/100AAA/" + n)) << n << " was erased";
    EXPECT_EQ(count_notes(sim, "request type=10"), 0);  // no delete was asked for
    camsim_stop(sim);
}

// The camera refuses the delete of an unprotected photo: it stays, and
// "orvik -E && echo card empty" must not say otherwise.
TEST(BatchScript, EraseEndsOneWhenAPhotoStays)
{
    Camsim sim = camsim_start({"--fault", "refuse-single@3"});  // the first delete
    ASSERT_FALSE(sim.tty.empty());
    clear_dcim(sim);
    make_folder(sim, "DCIM/100AAA", {"IMG_0001.JPG", "IMG_0002.JPG"});
    RunResult r = orvik_run({"-d", sim.tty, "-E"}, "y\n", make_temp_dir());
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Removing D:\\DCIM\\100AAA\\IMG_0001.JPG: ERROR\n"), std::string::npos)
        << r.out;
    EXPECT_TRUE(has_line(r.err, "1 file was not erased (named above)")) << r.err;
    EXPECT_TRUE(exists(sim.card + "/DCIM/100AAA/IMG_0001.JPG"));
    EXPECT_FALSE(exists(sim.card + "/DCIM/100AAA/IMG_0002.JPG"));
    EXPECT_TRUE(camera_switched_off(sim));
    camsim_stop(sim);
}

// The camera was switched off between a save and its mark: the next run
// fetches the photo again, finds it the same as the copy here, marks it
// and goes on; a different file of that name and size is left alone.
TEST(BatchScript, SavedButUnmarkedPhotoIsMarkedByTheNextRun)
{
    Camsim sim = camsim_start({"--fault", "refuse-single@3"});  // the first mark
    ASSERT_FALSE(sim.tty.empty());
    clear_dcim(sim);
    make_folder(sim, "DCIM/100AAA", {"IMG_0001.JPG"});
    const std::string cwd = make_temp_dir();
    RunResult r = orvik_run({"-d", sim.tty, "-n"}, "", cwd);
    ASSERT_NE(r.err.find("saved, but not marked downloaded"), std::string::npos) << r.err;
    r = orvik_run({"-d", sim.tty, "-n"}, "", cwd);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has_line(r.out, "IMG_0001.JPG: already here")) << r.out;
    EXPECT_EQ(read_file(cwd + "/IMG_0001.JPG"), photo_bytes("IMG_0001.JPG"));
    r = orvik_run({"-d", sim.tty, "-n"}, "", cwd);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(count(r.out, "Getting "), 0) << r.out;  // marked now

    make_folder(sim, "DCIM/100AAA", {"IMG_0002.JPG"});
    std::string other = photo_bytes("IMG_0002.JPG");
    other[other.size() - 1] ^= 1;
    write_file(cwd + "/IMG_0002.JPG", other);
    r = orvik_run({"-d", sim.tty, "-n"}, "", cwd);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(has_line(r.err, "IMG_0002.JPG: not saved: a different file of that name and size "
                                "is here; both are kept")) << r.err;
    EXPECT_EQ(read_file(cwd + "/IMG_0002.JPG"), other);
    EXPECT_TRUE(exists(sim.card + "/DCIM/100AAA/IMG_0002.JPG"));
    camsim_stop(sim);
}

// A folder of more photos than the listing cache holds: the run cannot
// have seen them all, and says so.  The first 1024 are old already, so
// only the unseen ones are new and nothing is transferred.
TEST(BatchScript, FolderBeyondTheListingCacheEndsOne)
{
    const std::string dir = make_temp_dir();
    const std::string card = dir + "/card";
    fs::create_directories(card + "/DCIM/100AAA");
    std::string state;
    for (int i = 0; i < 1030; i++) {
        char name[16];
        std::snprintf(name, sizeof name, "F%04d.JPG", i);
        write_file(card + "/DCIM/100AAA/" + name, "x");
        if (i < 1024)
            state += std::string("00 DCIM/100AAA/") + name + "\n";
    }
    write_file(dir + "/state", state);
    Camsim sim = camsim_start_in(dir, card, {"--state", dir + "/state"});
    ASSERT_FALSE(sim.tty.empty());
    RunResult r = orvik_run({"-d", sim.tty, "-n"}, "", make_temp_dir());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(has_line(r.err, "100AAA: 6 entries were left out: orvik keeps 1024 entries of a "
                                "folder's listing")) << r.err;
    EXPECT_EQ(count(r.out, "Getting "), 0);
    camsim_stop(sim);
}

TEST_F(BatchTest, GetSkipsAnEmptyFolder)
{
    clear_dcim(sim);
    make_folder(sim, "DCIM/100AAA", {});
    make_folder(sim, "DCIM/101BBB", {"IMG_0003.JPG"});
    // -n first: after -g nothing would be new any more.
    for (const char *option : {"-n", "-g"}) {
        std::string dir = make_temp_dir();
        RunResult r = run(option, "", dir);
        EXPECT_EQ(r.status, 0) << option << r.out << r.err;
        EXPECT_EQ(count(r.out, "skipping empty directory\n"), 1) << option << r.out;
        EXPECT_LT(r.out.find("---> 100AAA"), r.out.find("skipping empty directory"));
        EXPECT_TRUE(exists(dir + "/IMG_0003.JPG")) << option;
    }
}

TEST_F(BatchTest, EraseConfirmedRemovesFilesFoldersAndDcim)
{
    standard_card();
    RunResult r = run("-E", "y\n");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Are you sure? (y/N): "), std::string::npos);
    EXPECT_EQ(count(r.out, "delete terminated\n"), 2) << r.out;
    EXPECT_FALSE(exists(card("100AAA")));
    EXPECT_FALSE(exists(card("101BBB")));
    // DCIM still holds its own photo, which the erase does not touch, so
    // the camera refuses to remove it.
    EXPECT_TRUE(exists(card("ROOT0000.JPG")));
    EXPECT_TRUE(camera_switched_off(sim));

    // Without that photo the DCIM folder goes too.
    clear_dcim(sim);
    make_folder(sim, "DCIM/100AAA", {"IMG_0001.JPG"});
    r = run("-E", "y");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(exists(sim.card + "/DCIM"));
}

TEST_F(BatchTest, EraseNotConfirmedChangesNothing)
{
    standard_card();
    for (const char *answer : {"Y\n", "n\n", "\n", "", "yes\n"}) {
        RunResult r = run("-E", answer);
        if (std::string(answer) == "yes\n") {
            // Only the first character counts: this one goes on.
            EXPECT_EQ(r.status, 0) << r.out;
            continue;
        }
        EXPECT_EQ(r.status, 0) << "answer '" << answer << "' " << r.out << r.err;
        EXPECT_NE(r.out.find("Are you sure? (y/N): "), std::string::npos);
        EXPECT_EQ(count(r.out, "---> "), 0) << r.out;
        EXPECT_TRUE(exists(card("100AAA/IMG_0001.JPG")));
        EXPECT_TRUE(exists(card("101BBB/IMG_0003.JPG")));
        // A declined erase switches the camera off all the same.
        EXPECT_TRUE(camera_switched_off(sim)) << answer;
    }
    EXPECT_FALSE(exists(card("100AAA")));
}

TEST_F(BatchTest, EraseStopsAtAnEmptyFolder)
{
    clear_dcim(sim);
    make_folder(sim, "DCIM/100AAA", {"IMG_0001.JPG"});
    make_folder(sim, "DCIM/101BBB", {});
    make_folder(sim, "DCIM/102CCC", {"IMG_0003.JPG"});
    RunResult r = run("-E", "y\n");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    size_t second = r.out.find("---> 101BBB\n");
    ASSERT_NE(second, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("last ls is empty\ncamera_delete_all error\n", second), std::string::npos)
        << r.out;
    EXPECT_EQ(count(r.out, "---> 102CCC"), 0);
    EXPECT_FALSE(exists(card("100AAA")));
    EXPECT_TRUE(exists(card("101BBB")));
    EXPECT_TRUE(exists(card("102CCC/IMG_0003.JPG")));
    // An error end switches the camera off too.
    EXPECT_EQ(count_rx(sim, CAMERA_OFF_1), 1);
    EXPECT_TRUE(camera_switched_off(sim));
}

TEST_F(BatchTest, EraseKeepsAProtectedFileAndItsFolders)
{
    standard_card();
    RunResult p = orvik_run({"-d", sim.tty}, "ls D:\\DCIM\\100AAA\nprotect IMG_0002.JPG\n", cwd);
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    RunResult r = run("-E", "y\n");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Removing D:\\DCIM\\100AAA\\IMG_0002.JPG: PROTECTED, file skipped\n"),
              std::string::npos) << r.out;
    EXPECT_FALSE(exists(card("100AAA/IMG_0001.JPG")));
    EXPECT_TRUE(exists(card("100AAA/IMG_0002.JPG")));
    EXPECT_FALSE(exists(card("101BBB")));
    EXPECT_TRUE(exists(sim.card + "/DCIM"));
}

TEST(BatchEmptyCard, EveryModeEndsAtAnEmptyDcim)
{
    Camsim sim = camsim_start({}, false);
    ASSERT_FALSE(sim.tty.empty());
    std::string cwd = make_temp_dir();
    for (const char *option : {"-l", "-g", "-n", "-E"}) {
        RunResult r = orvik_run({"-d", sim.tty, option}, "y\n", cwd);
        EXPECT_EQ(r.status, 0) << option << r.out << r.err;
        EXPECT_NE(r.out.find("CF seems empty\n"), std::string::npos) << option << r.out;
    }
    // Each of these ends switches the camera off: one left connected at
    // 115200 would not hear the next run.
    EXPECT_EQ(count_rx(sim, CAMERA_OFF_1), 4);
    EXPECT_TRUE(exists(sim.card + "/DCIM"));
    camsim_stop(sim);
}

TEST_F(BatchTest, SwitchOffModeOnlyConnects)
{
    RunResult r = run("-U");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("Orvik -- version " ORVIK_VERSION "\n\n", 0), 0u) << r.out;
    EXPECT_EQ(count(r.out, "> "), 0) << r.out;  // no prompt
    EXPECT_TRUE(camera_switched_off(sim));
}

}  // namespace
