// Importing into a photo library: --save-as, --only/--skip, --exec, and the
// shell's mget and lcd, against the emulated camera.
#include <gtest/gtest.h>

#include <string>
#include <sys/time.h>
#include <vector>

#include "e2e.h"

using namespace e2e;

namespace {

// The sample card's photos (README has no extension, SUB lies deeper and
// is not part of the walk).
const std::vector<std::string> sample_files = {
    "100CANON/IMG_0001.JPG", "100CANON/IMG_0002.JPG", "100CANON/IMG_0003.JPG",
    "100CANON/IMG_0004.JPG", "100CANON/README",       "101CANON/IMG_0101.JPG",
    "101CANON/IMG_0102.JPG"};

std::string base(const std::string &rel)
{
    return rel.substr(rel.rfind('/') + 1);
}

// The folder a time goes to under "%Y/%m-%d/", in local time as ls shows it.
std::string dated_folder(time_t t)
{
    char text[32];
    struct tm parts {};
    localtime_r(&t, &parts);
    strftime(text, sizeof text, "%Y/%m-%d", &parts);
    return text;
}

// Download requests whose path ends in `suffix`.
int downloads_of(const Camsim &sim, const std::string &suffix)
{
    int n = 0;
    for (const std::string &note : requests(sim, 1))
        if (note.size() >= suffix.size() &&
            note.compare(note.size() - suffix.size(), suffix.size(), suffix) == 0)
            n++;
    return n;
}

struct ImportTest : EmulatorTest {
    std::string dcim(const std::string &rel) const { return sim.card + "/DCIM/" + rel; }
    RunResult run(std::vector<std::string> options, const std::string &dir = "")
    {
        options.insert(options.begin(), {"-d", sim.tty});
        return orvik_run(options, "", dir.empty() ? cwd : dir);
    }
};

TEST_F(ImportTest, DatedLibraryAndARerunThatTransfersNothing)
{
    // Photos of different days, one of them close to midnight.
    for (size_t i = 0; i < sample_files.size(); i++) {
        struct timeval times[2] = {};
        times[0].tv_sec = times[1].tv_sec = 1000000000 + static_cast<time_t>(i) * 86400 * 40 + 3600 * 23;
        ASSERT_EQ(utimes(dcim(sample_files[i]).c_str(), times), 0);
    }
    const std::string log = cwd + "/../exec-" + std::to_string(getpid()) + ".log";
    const std::string hook = "--exec=printf '%s %s\\n' \"$1\" \"$2\" >> '" + log + "'";
    RunResult r = run({"-n", "--save-as=%Y/%m-%d/%n", hook});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has_line(r.err, "7 saved, 0 skipped as existing, 0 failed")) << r.err;
    std::string expected_log;
    for (const std::string &rel : sample_files) {
        const time_t t = mtime_of(dcim(rel));
        const std::string saved = dated_folder(t) + "/" + base(rel);
        EXPECT_EQ(read_file(cwd + "/" + saved), read_file(dcim(rel))) << saved;
        EXPECT_EQ(mtime_of(cwd + "/" + saved), t) << saved;
        std::string camera = "D:\\DCIM\\" + rel;
        camera[camera.rfind('/')] = '\\';
        expected_log += saved + " " + camera + "\n";
    }
    EXPECT_EQ(read_file(log), expected_log);
    // Everything is marked old: -l shows no new photo.
    r = run({"-l"});
    EXPECT_EQ(count(r.out, "--n-  IMG_"), 0) << r.out;
    EXPECT_EQ(count(r.out, "----  IMG_"), 6) << r.out;

    // A rerun decides from the names alone: not one file is asked for
    // again, even by -g, and the hook runs for none.
    const size_t before = requests(sim, 1).size();
    r = run({"-g", "--save-as=%Y/%m-%d/%n", hook});
    EXPECT_TRUE(has_line(r.err, "0 saved, 7 skipped as existing, 0 failed")) << r.err;
    for (const std::string &rel : sample_files)
        EXPECT_EQ(downloads_of(sim, "\\" + base(rel)), 1) << rel;
    EXPECT_LE(requests(sim, 1).size(), before + 1);  // the folder SUB, which getall tries
    EXPECT_EQ(count(r.out, "Getting "), 0);
    EXPECT_EQ(read_file(log), expected_log);
    fs::remove(log);
}

TEST_F(ImportTest, OnlyAndSkipChooseWhatIsListedAndTaken)
{
    RunResult r = run({"-g", "--only=*.jpg", "--skip=img_000[12]*", "--skip=*0102*"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(local_names(cwd), (std::set<std::string>{"IMG_0003.JPG", "IMG_0004.JPG", "IMG_0101.JPG"}));
    EXPECT_EQ(downloads_of(sim, "README"), 0);
    EXPECT_TRUE(has_line(r.err, "3 saved, 0 skipped as existing, 0 failed")) << r.err;

    r = run({"-l", "--only=IMG_01*"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("IMG_0101.JPG"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("IMG_0001.JPG"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("---> 101CANON"), std::string::npos);  // folders are walked

    // An erase is all or nothing; the shell has mget.
    for (const char *mode : {"-E", "-U"}) {
        r = orvik_run({"-d", sim.tty, mode, "--skip=*.JPG"}, "y\n", cwd);
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_NE(r.err.find("--only and --skip"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(exists(dcim("100CANON/IMG_0001.JPG")));
}

TEST_F(ImportTest, HostileNamesStayInsideTheLibrary)
{
    camsim_stop(sim);
    sim = camsim_start({"--fault", "hostile-name=...JPG"});
    ASSERT_FALSE(sim.tty.empty());
    const std::string library = cwd + "/library";
    fs::create_directory(library);
    // "%b" of "...JPG" is "..": the file would land beside the library.
    RunResult r = run({"-g", "--only=*.JPG", "--save-as=%b/%n"}, library);
    EXPECT_NE(r.err.find("save-as: D:\\DCIM\\100CANON\\...JPG: "), std::string::npos) << r.err;
    EXPECT_EQ(downloads_of(sim, "\\...JPG"), 0);
    EXPECT_EQ(local_names(cwd), std::set<std::string>{"library"});
    EXPECT_TRUE(exists(library + "/IMG_0001/IMG_0001.JPG"));
    EXPECT_TRUE(has_line(r.err, "6 saved, 0 skipped as existing, 3 failed")) << r.err;
    // A pattern with an unknown token is refused before any connection.
    r = run({"-g", "--save-as=%Y/%x/%n"}, library);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("orvik: --save-as: unknown token"), std::string::npos) << r.err;
}

TEST(ImportShell, MgetLcdAndGetFollowThePattern)
{
    Rig rig;
    std::string hook_log = make_temp_dir() + "/exec.log";
    ASSERT_TRUE(rig.start({}, {"--save-as=%F/", "--exec=printf '%s\\n' \"$1\" >> " + hook_log}));
    fs::create_directory(rig.cwd + "/lib");
    EXPECT_EQ(rig.run("lcd lib"), "Local directory now " + fs::canonical(rig.cwd + "/lib").string() + "\n");
    EXPECT_EQ(rig.run("lcd"), "Local directory now " + fs::canonical(rig.cwd + "/lib").string() + "\n");
    EXPECT_NE(rig.run("lcd " + rig.cwd + "/none").find("lcd error"), std::string::npos);
    EXPECT_EQ(rig.run("mget"), "not enough arguments\n");
    EXPECT_EQ(rig.run("mget *.JPG"), "last ls is empty\n");
    rig.run("cd DCIM\\100CANON");
    EXPECT_EQ(rig.run("mget nothing*"), "mget: no file of the last listing matches\n");
    std::string out = rig.run("mget *1.jpg img_0003* IMG_0001.JPG");
    EXPECT_EQ(count(out, "Getting "), 2) << out;  // each file once, in listing order
    EXPECT_LT(out.find("IMG_0001.JPG, "), out.find("IMG_0003.JPG, "));
    EXPECT_EQ(local_names(rig.cwd + "/lib/100CANON"),
              (std::set<std::string>{"IMG_0001.JPG", "IMG_0003.JPG"}));
    // get goes where the pattern says, and an existing target costs nothing.
    EXPECT_NE(rig.run("get IMG_0002.JPG").find("get successful"), std::string::npos);
    const size_t before = requests(rig.sim, 1).size();
    out = rig.run("get IMG_0002.JPG");
    EXPECT_NE(out.find("get error"), std::string::npos) << out;
    EXPECT_NE(out.find("100CANON/IMG_0002.JPG: not saved: it exists here and overwrite is off"), std::string::npos) << out;
    EXPECT_EQ(requests(rig.sim, 1).size(), before);
    EXPECT_EQ(read_file(hook_log), "100CANON/IMG_0001.JPG\n100CANON/IMG_0003.JPG\n100CANON/IMG_0002.JPG\n");
    EXPECT_EQ(rig.quit(), 0);
}

// The card does not mind the case of a name, and neither does an import:
// a time pattern finds the listed entry of a name typed in small letters.
TEST(ImportShell, NameTypedInAnotherCaseKeepsItsTime)
{
    Rig rig;
    ASSERT_TRUE(rig.start({}, {"--save-as=%Y/%n"}));
    rig.run("cd DCIM\\100CANON");
    const std::string out = rig.run("get img_0001.jpg");
    EXPECT_TRUE(has_line(out, "get successful")) << out;
    const std::time_t listed = mtime_of(rig.sim.card + "/DCIM/100CANON/IMG_0001.JPG");
    char year[8];
    std::strftime(year, sizeof year, "%Y", std::localtime(&listed));
    EXPECT_TRUE(exists(rig.cwd + "/" + year + "/img_0001.jpg")) << out;
    EXPECT_EQ(rig.quit(), 0);
}

}  // namespace
