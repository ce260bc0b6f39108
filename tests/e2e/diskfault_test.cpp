// A full disk or a failing write while downloads are saved, for `get`,
// `getall`, -g and -n: the Nth write, fsync, close or link of the save fails
// (strace's fault injection, on the save's own files only), swept over N
// across the saves of three files.  Whatever N, a local file is either
// absent or the camera's exact bytes, no temporary file is left, and a file
// whose bytes did not reach the disk is still marked new on the camera.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "e2e.h"
#include "traced_run.h"

using namespace e2e;

namespace {

// The emulator's --state file: attribute byte by path below the card.
std::map<std::string, int> attributes(const std::string &state)
{
    std::map<std::string, int> out;
    std::istringstream in(read_file(state));
    std::string line;
    while (std::getline(in, line))
        if (line.size() > 3 && line[2] == ' ')
            out[line.substr(3)] = std::stoi(line.substr(0, 2), nullptr, 16);
    return out;
}

bool marked_new(const std::map<std::string, int> &attrs, const std::string &rel)
{
    auto it = attrs.find(rel);
    return it == attrs.end() || (it->second & 0x20) != 0;
}

// One tampered call and what the program prints for it.  Each save makes,
// on its own files, one open, one write, two fsyncs and two closes (the
// temporary file, then the directory after the rename) and one link.
struct Fault {
    const char *syscalls;
    const char *action;
    int calls_per_save;
    const char *label;  // perror word
    int error;
};

const Fault WRITE_FULL = {"write", "error=ENOSPC", 1, "write", ENOSPC};
const Fault FSYNC_FULL = {"fsync", "error=ENOSPC", 2, "fsync", ENOSPC};
const Fault CLOSE_EIO = {"close", "error=EIO", 2, "close", EIO};
const Fault LINK_FULL = {"linkat", "error=ENOSPC", 1, "===WARNING===> open", ENOSPC};
const Fault CREATE_DENIED = {"openat", "error=EACCES", 1, "===WARNING===> open", EACCES};

struct Case {
    Fault fault;
    int nth;
};

// What stderr shows for a save of `name` that the fault stopped: the open
// warning for the faults that count as the file's creation, then the line
// naming the file, its step and the system's text.
std::string unsaved_err(const Fault &fault, const std::string &name, const char *open_label)
{
    const std::string error = std::strerror(fault.error);
    const bool at_open = std::strcmp(fault.label, "===WARNING===> open") == 0;
    return (at_open ? std::string(open_label) + ": " + error + "\n" : "") + name +
           ": not saved: " + (at_open ? "open" : fault.label) + ": " + error + "\n";
}

std::string case_name(const Case &c)
{
    return std::string(c.fault.syscalls) + "@" + std::to_string(c.nth);
}

// The save (0-based) whose bytes the Nth call keeps off the disk; -1 when
// the call is the directory's (a failure there leaves the file saved) or
// lies beyond the last save.
int lost_save(const Case &c, int saves)
{
    int index = (c.nth - 1) / c.fault.calls_per_save;
    if (index >= saves || (c.nth - 1) % c.fault.calls_per_save != 0)
        return -1;
    return index;
}

struct File {
    std::string folder;  // below DCIM
    std::string name;
    std::string rel() const { return "DCIM/" + folder + "/" + name; }
};

// One mode over a small card: the files in the order the mode saves them,
// and files the mode must leave alone (already downloaded, for -n).
struct Mode {
    std::vector<std::string> args;  // after "-d TTY"
    std::string commands;           // standard input
    std::vector<File> saved;
    std::vector<File> skipped;
    bool interactive_get;  // one `get` per file: "get error" / "get successful" each
};

struct Started {
    Case c;
    Camsim sim;
    std::string state;
    std::string cwd;
    TracedRun run;
};

Started start_case(const Mode &mode, const Case &c)
{
    Started s;
    s.c = c;
    s.state = make_temp_dir() + "/attributes";
    std::string preset;
    for (const File &f : mode.skipped)
        preset += "00 " + f.rel() + "\n";
    write_file(s.state, preset);
    s.sim = camsim_start({"--state", s.state}, false);
    if (s.sim.tty.empty())
        return s;
    std::map<std::string, std::vector<std::string>> folders;
    for (const std::vector<File> *list : {&mode.saved, &mode.skipped})
        for (const File &f : *list)
            folders[f.folder].push_back(f.name);
    for (const auto &folder : folders)
        make_folder(s.sim, "DCIM/" + folder.first, folder.second);
    s.cwd = make_temp_dir() + "/dl";
    mkdir(s.cwd.c_str(), 0755);
    std::vector<std::string> args = {"-d", s.sim.tty};
    args.insert(args.end(), mode.args.begin(), mode.args.end());
    s.run = traced_start(args, mode.commands, s.cwd,
                         {c.fault.syscalls, c.fault.action, c.nth});
    return s;
}

void check_case(const Mode &mode, Started &s)
{
    SCOPED_TRACE(case_name(s.c));
    RunResult r = traced_finish(s.run);
    camsim_stop(s.sim);
    int saves = static_cast<int>(mode.saved.size());
    int lost = lost_save(s.c, saves);
    // A batch mode that did not save every file ends with status 1.
    const bool batch = !mode.args.empty();
    EXPECT_EQ(r.status, batch && lost >= 0 ? 1 : 0) << r.out << r.err;
    std::string expected_err;
    if (lost >= 0)
        expected_err = unsaved_err(s.c.fault, mode.saved[static_cast<size_t>(lost)].name,
                                   "===WARNING===> open") +
                       (batch ? "1 file was not saved (named above)\n" : "");
    EXPECT_EQ(r.err, expected_err) << r.out;

    // Every transfer still happened: a failed save does not stop the walk.
    EXPECT_EQ(count(r.out, "Getting "), saves) << r.out;
    if (mode.interactive_get) {
        std::vector<std::string> results;
        for (const std::string &line : split_lines(r.out))
            if (line == "get error" || line == "get successful")
                results.push_back(line);
        std::vector<std::string> expected(mode.saved.size(), "get successful");
        if (lost >= 0)
            expected[static_cast<size_t>(lost)] = "get error";
        EXPECT_EQ(results, expected) << r.out;
    }

    std::set<std::string> expected_names;
    auto attrs = attributes(s.state);
    for (int i = 0; i < saves; i++) {
        const File &f = mode.saved[static_cast<size_t>(i)];
        std::string local = s.cwd + "/" + f.name;
        if (i == lost) {
            EXPECT_FALSE(exists(local)) << f.name;
            EXPECT_TRUE(marked_new(attrs, f.rel())) << f.name << " lost its mark";
        } else {
            expected_names.insert(f.name);
            EXPECT_EQ(read_file(local), photo_bytes(f.name)) << f.name;
            EXPECT_FALSE(marked_new(attrs, f.rel())) << f.name << " still marked new";
        }
    }
    for (const File &f : mode.skipped)
        EXPECT_FALSE(marked_new(attrs, f.rel())) << f.name;
    // Nothing else: no temporary file, nothing of a skipped file.
    EXPECT_EQ(local_names(s.cwd), expected_names);
    EXPECT_EQ(requests(s.sim, 13).size(), expected_names.size());
    EXPECT_TRUE(camera_switched_off(s.sim));
}

// The cases of one mode run side by side, each on its own emulator: most
// of a run is the second the camera-off step waits.
void sweep(const Mode &mode, const std::vector<Case> &cases)
{
    if (!strace_available())
        GTEST_SKIP() << "strace not available";
    std::vector<Started> runs;
    for (const Case &c : cases)
        runs.push_back(start_case(mode, c));
    for (Started &s : runs) {
        if (s.sim.tty.empty()) {
            ADD_FAILURE() << case_name(s.c) << ": emulator did not start";
            continue;
        }
        check_case(mode, s);
    }
}

const std::vector<File> three_in_one = {{"100AAA", "A.JPG"}, {"100AAA", "B.JPG"},
                                        {"100AAA", "C.JPG"}};

TEST(DiskFault, Get)
{
    Mode mode{{},
              "cd D:\\DCIM\\100AAA\nget A.JPG\nget B.JPG\nget C.JPG\nquit\n",
              three_in_one,
              {},
              true};
    // write@4 lies past the three saves: it shows the count covers them.
    sweep(mode, {{WRITE_FULL, 1}, {WRITE_FULL, 3}, {WRITE_FULL, 4}, {FSYNC_FULL, 3},
                 {FSYNC_FULL, 2}, {CLOSE_EIO, 5}, {LINK_FULL, 2}, {CREATE_DENIED, 2}});
}

TEST(DiskFault, GetAll)
{
    Mode mode{{}, "cd D:\\DCIM\\100AAA\ngetall\nquit\n", three_in_one, {}, false};
    sweep(mode, {{WRITE_FULL, 2}, {FSYNC_FULL, 1}, {FSYNC_FULL, 6}, {CLOSE_EIO, 3},
                 {CLOSE_EIO, 4}, {LINK_FULL, 3}});
}

TEST(DiskFault, BatchGetAll)
{
    Mode mode{{"-g"},
              "",
              {{"100AAA", "A.JPG"}, {"100AAA", "B.JPG"}, {"101BBB", "C.JPG"}},
              {},
              false};
    sweep(mode, {{WRITE_FULL, 3}, {FSYNC_FULL, 5}, {FSYNC_FULL, 4}, {CLOSE_EIO, 1},
                 {LINK_FULL, 1}, {LINK_FULL, 2}});
}

TEST(DiskFault, BatchGetNew)
{
    // B.JPG was downloaded before: -n leaves it alone.
    Mode mode{{"-n"},
              "",
              {{"100AAA", "A.JPG"}, {"100AAA", "C.JPG"}, {"101BBB", "D.JPG"}},
              {{"100AAA", "B.JPG"}},
              false};
    sweep(mode, {{WRITE_FULL, 1}, {WRITE_FULL, 3}, {FSYNC_FULL, 3}, {CLOSE_EIO, 6},
                 {CLOSE_EIO, 5}, {LINK_FULL, 2}});
}

// In overwrite mode the save replaces the local file by a rename; until
// that rename the user's old file must stay as it was.  A thumbnail, which
// replaces whatever the mode, takes the same way.
TEST(DiskFault, OverwriteKeepsTheOldFileOnFailure)
{
    if (!strace_available())
        GTEST_SKIP() << "strace not available";
    const Fault rename_full = {"rename,renameat,renameat2", "error=ENOSPC", 1,
                               "===WARNING===> open", ENOSPC};
    struct Command {
        const char *line, *result, *open_label;
    };
    const Command commands[] = {{"overwrite\nget A.JPG", "get error", "===WARNING===> open"},
                                {"tget A.JPG", "tget error", "open"}};
    std::vector<Started> runs;
    std::vector<const Command *> run_commands;
    for (const Command &command : commands)
        for (const Fault &fault : {WRITE_FULL, FSYNC_FULL, rename_full}) {
            OnePhoto card = one_photo_card();
            if (card.sim.tty.empty())
                continue;
            Started s{{fault, 1}, card.sim, card.state, card.cwd, {}};
            write_file(s.cwd + "/A.JPG", "the user's own file");
            s.run = traced_start({"-d", s.sim.tty},
                                 std::string("cd D:\\DCIM\\100AAA\n") + command.line + "\nquit\n",
                                 s.cwd, {fault.syscalls, fault.action, 1});
            runs.push_back(s);
            run_commands.push_back(&command);
        }
    ASSERT_EQ(runs.size(), 6u);
    for (size_t i = 0; i < runs.size(); i++) {
        Started &s = runs[i];
        const Command &command = *run_commands[i];
        SCOPED_TRACE(case_name(s.c) + " " + command.line);
        RunResult r = traced_finish(s.run);
        camsim_stop(s.sim);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.err, unsaved_err(s.c.fault, "A.JPG", command.open_label));
        EXPECT_TRUE(has_line(r.out, command.result)) << r.out;
        EXPECT_EQ(read_file(s.cwd + "/A.JPG"), "the user's own file");
        EXPECT_EQ(local_names(s.cwd), std::set<std::string>{"A.JPG"});
        EXPECT_TRUE(marked_new(attributes(s.state), "DCIM/100AAA/A.JPG"));
        EXPECT_TRUE(camera_switched_off(s.sim));
    }
}

}  // namespace
