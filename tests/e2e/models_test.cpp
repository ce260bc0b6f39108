// Camera models other than the emulator's default one, end to end: a
// patient camera after a transfer orvik gave up, a camera that answers
// every request late and in order, packets longer than the CRC table
// covers on a noisy line, and a line that babbles.  Whatever the camera
// does, a reply is the request's own or nothing: no file is ever saved
// with another file's bytes, and no photo is marked downloaded without
// its own bytes on disk.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "e2e.h"

using namespace e2e;

namespace {

const std::string TEST_DIR = "D:\\DCIM\\100TEST";

// Card files below DCIM marked downloaded, from the emulator's state file.
std::set<std::string> marked(const std::string &state)
{
    std::set<std::string> out;
    for (const std::string &line : split_lines(read_file(state))) {
        if (line.size() < 4 || line[2] != ' ')
            continue;
        const unsigned attrib = static_cast<unsigned>(std::stoul(line.substr(0, 2), nullptr, 16));
        const std::string path = line.substr(3);
        if ((attrib & 0x30) == 0 && path.compare(0, 5, "DCIM/") == 0)
            out.insert(path.substr(5));
    }
    return out;
}

// Every local file is its card file, byte for byte; every marked file is
// on disk.  `folder` is the card folder below DCIM the files came from.
void expect_only_own_bytes(const Camsim &sim, const std::string &cwd, const std::string &state,
                           const std::string &folder)
{
    for (const std::string &name : local_names(cwd)) {
        const std::string card = sim.card + "/DCIM/" + folder + "/" + name;
        EXPECT_TRUE(exists(card)) << name;
        EXPECT_TRUE(read_file(cwd + "/" + name) == read_file(card))
            << name << " saved with other bytes than its own";
    }
    for (const std::string &path : marked(state)) {
        const std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_TRUE(exists(cwd + "/" + name)) << path << " marked without its bytes on disk";
        EXPECT_TRUE(read_file(cwd + "/" + name) == read_file(sim.card + "/DCIM/" + path)) << path;
    }
}

// The first camera: files of one size, each with bytes of its own.
Camsim start_with_files(std::vector<std::string> args, const std::string &state,
                        const std::vector<std::string> &names)
{
    args.insert(args.end(), {"--state", state});
    Camsim sim = camsim_start(args);
    EXPECT_FALSE(sim.tty.empty());
    clear_dcim(sim);
    make_folder(sim, "DCIM/100TEST", names);
    return sim;
}

TEST(CameraModels, PatientCameraAfterAGivenUpTransferOwesNothing)
{
    // The camera waits 8 s for the answer to its EOT, longer than orvik's
    // read timeout.  The transfer of A.JPG meets noise that lasts exactly
    // until orvik gives it up; B.JPG has A's size.  The given-up transfer
    // is finished before anything else is sent, so the camera cannot send
    // A's message again as the answer to B's request.
    const std::string state = make_temp_dir() + "/state";
    Camsim sim = start_with_files({"--patience", "8", "--fault", "noise-burst@1"}, state,
                                  {"A.JPG", "B.JPG"});
    const std::string cwd = make_temp_dir();
    RunResult r = orvik_run({"-d", sim.tty},
                            "cd " + TEST_DIR + "\nget A.JPG\nget B.JPG\n", cwd, 180000);
    camsim_stop(sim);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(exists(cwd + "/A.JPG"));
    // The first command after the noise works.
    EXPECT_NE(r.out.find("get error\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("get successful\n"), std::string::npos) << r.out;
    EXPECT_TRUE(read_file(cwd + "/B.JPG") == photo_bytes("B.JPG")) << "B.JPG not saved with its own bytes";
    expect_only_own_bytes(sim, cwd, state, "100TEST");
    EXPECT_EQ(marked(state), (std::set<std::string>{"100TEST/B.JPG"}));
}

const std::vector<std::string> ONE_SIZE = {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"};

TEST(CameraModels, SlowCameraGetallSavesEachFileWithItsOwnBytes)
{
    // Each request acknowledged at once, the first byte of its answer 6 s
    // later (past the read timeout), every request answered in order.
    const std::string state = make_temp_dir() + "/state";
    Camsim sim = start_with_files({"--slow", "6"}, state, ONE_SIZE);
    const std::string cwd = make_temp_dir();
    RunResult r = orvik_run({"-d", sim.tty}, "cd " + TEST_DIR + "\ngetall\n", cwd, 400000);
    camsim_stop(sim);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const std::string &name : ONE_SIZE)
        EXPECT_TRUE(read_file(cwd + "/" + name) == photo_bytes(name)) << name;
    expect_only_own_bytes(sim, cwd, state, "100TEST");
    EXPECT_EQ(marked(state).size(), ONE_SIZE.size());
}

TEST(CameraModels, SlowCameraNewSavesAndMarksEachFileWithItsOwnBytes)
{
    const std::string state = make_temp_dir() + "/state";
    Camsim sim = start_with_files({"--slow", "6"}, state, ONE_SIZE);
    const std::string cwd = make_temp_dir();
    RunResult r = orvik_run({"-d", sim.tty, "-n"}, "", cwd, 400000);
    camsim_stop(sim);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const std::string &name : ONE_SIZE)
        EXPECT_TRUE(read_file(cwd + "/" + name) == photo_bytes(name)) << name;
    expect_only_own_bytes(sim, cwd, state, "100TEST");
    std::set<std::string> want;
    for (const std::string &name : ONE_SIZE)
        want.insert("100TEST/" + name);
    EXPECT_EQ(marked(state), want);
}

// Runs viewall over 100TEST with one answer for each picture; returns the
// digests of the thumbnails shown, in order.
std::vector<std::string> view_all(const Camsim &sim, const std::vector<std::string> &answers)
{
    const std::string bin = make_temp_dir();
    const std::string log = bin + "/xv.log";
    Session s = orvik_start({"-d", sim.tty}, make_temp_dir(), {fake_viewer(bin, "cksum < \"$1\"")});
    EXPECT_TRUE(expect(s, PROMPT_START + "D:> ", 120000));
    send_line(s, "cd " + TEST_DIR);
    EXPECT_TRUE(expect(s, PROMPT_START, 120000));
    send_line(s, "viewall");
    for (size_t i = 0; i < answers.size(); i++) {
        EXPECT_TRUE(expect(s, VIEWER_QUESTION, 120000)) << i;
        wait_for_viewer(log, static_cast<int>(i + 1));
        send_raw(s, answers[i]);
    }
    EXPECT_TRUE(expect(s, "\n" + PROMPT_START, 120000));
    send_line(s, "quit");
    EXPECT_EQ(wait_exit(s, 60000), 0);
    return split_lines(read_file(log));
}

TEST(CameraModels, SlowCameraViewallShowsThePictureTheAnswerActsOn)
{
    // Three photos of the sample card, each with a thumbnail of its own.
    const std::vector<std::string> photos = {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0004.JPG"};
    auto fill = [&](const Camsim &sim) {
        clear_dcim(sim);
        fs::create_directories(sim.card + "/DCIM/100TEST");
        for (const std::string &p : photos)
            write_file(sim.card + "/DCIM/100TEST/" + p,
                       read_file(std::string(SAMPLE_CARD) + "/DCIM/100CANON/" + p));
    };
    // What a prompt camera shows, in the order viewall walks.
    Camsim clean = camsim_start();
    ASSERT_FALSE(clean.tty.empty());
    fill(clean);
    const std::vector<std::string> want = view_all(clean, {"\r", "\r", "\r"});
    camsim_stop(clean);
    ASSERT_EQ(want.size(), 3u);
    ASSERT_NE(want[0], want[1]);
    ASSERT_NE(want[1], want[2]);

    // The slow camera, with every way it may treat a request while busy;
    // the second picture is deleted when it is shown.
    for (const char *busy : {"queue", "drop", "ignore"}) {
        SCOPED_TRACE(busy);
        Camsim sim = camsim_start({"--slow", std::string("6:") + busy});
        ASSERT_FALSE(sim.tty.empty());
        fill(sim);
        const std::vector<std::string> shown = view_all(sim, {"\r", "d\r", "\r"});
        camsim_stop(sim);
        EXPECT_EQ(shown, want);
        EXPECT_TRUE(exists(sim.card + "/DCIM/100TEST/" + photos[0]));
        EXPECT_FALSE(exists(sim.card + "/DCIM/100TEST/" + photos[1]))
            << "the photo shown was not the one deleted";
        EXPECT_TRUE(exists(sim.card + "/DCIM/100TEST/" + photos[2]));
    }
}

TEST(CameraModels, PacketsLongerThanTheCrcTableAreCheckedOnANoisyLine)
{
    // 2000 data bytes a packet: no table value for their length.  Files of
    // several sizes, so that messages end in packets of several lengths.
    const std::string state = make_temp_dir() + "/state";
    Camsim sim = camsim_start({"--packet-size", "2000", "--noise", "3e-5:11", "--state", state});
    ASSERT_FALSE(sim.tty.empty());
    clear_dcim(sim);
    fs::create_directories(sim.card + "/DCIM/100TEST");
    std::string photo = sample_photo();
    for (int i = 1; i <= 8; i++) {
        std::string bytes = photo;
        for (int k = 0; k < i * 1500; k++)
            bytes += static_cast<char>((k * 7 + i) & 0xFF);
        write_file(sim.card + "/DCIM/100TEST/IMG_000" + std::to_string(i) + ".JPG", bytes);
    }
    const std::string cwd = make_temp_dir();
    RunResult r = orvik_run({"-d", sim.tty}, "cd " + TEST_DIR + "\ngetall\n", cwd, 400000);
    camsim_stop(sim);
    EXPECT_NE(r.status, -1) << "timed out";
    expect_only_own_bytes(sim, cwd, state, "100TEST");
}

TEST(CameraModels, LongPacketsWorkAgainAfterANoiseBurst)
{
    // 2000 data bytes a packet.  Every packet of A.JPG's first 33 sendings
    // has the same wrong CRC, so its packets agree on a wrong initial value
    // for their length; once the noise is over, B.JPG and C.JPG, sent clean,
    // are downloaded all the same (A.JPG, if saved, with its own bytes).
    const std::string state = make_temp_dir() + "/state";
    Camsim sim = start_with_files({"--packet-size", "2000", "--fault", "noise-burst@1"}, state,
                                  {"A.JPG", "B.JPG", "C.JPG"});
    const std::string cwd = make_temp_dir();
    RunResult r = orvik_run({"-d", sim.tty},
                            "cd " + TEST_DIR + "\nget A.JPG\nget B.JPG\nget C.JPG\n", cwd, 180000);
    camsim_stop(sim);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(read_file(cwd + "/B.JPG") == photo_bytes("B.JPG")) << r.out << r.err;
    EXPECT_TRUE(read_file(cwd + "/C.JPG") == photo_bytes("C.JPG"));
    expect_only_own_bytes(sim, cwd, state, "100TEST");
}

TEST(CameraModels, BabblingLineEndsTheCommand)
{
    // Requests 1-3 are the identity, the drive name and the listing; the
    // first file (4) and its mark (5) arrive; from request 6 on the line
    // carries garbage without end.
    const std::string state = make_temp_dir() + "/state";
    Camsim sim = start_with_files({"--fault", "babble@6"}, state, ONE_SIZE);
    const std::string cwd = make_temp_dir();
    Session s = orvik_start({"-d", sim.tty}, cwd);
    ASSERT_TRUE(expect(s, PROMPT_START + "D:> ", 60000));
    send_line(s, "cd " + TEST_DIR);
    ASSERT_TRUE(expect(s, PROMPT_START, 60000));
    send_line(s, "getall");
    // Ends as a silence would: the camera does not answer.
    EXPECT_TRUE(expect(s, "\n" + PROMPT_START, 120000)) << "getall still going";
    EXPECT_NE(s.output.find("The camera does not answer"), std::string::npos) << s.output;
    kill(s.pid, SIGTERM);
    wait_exit(s, 30000);
    camsim_stop(sim);
    EXPECT_TRUE(read_file(cwd + "/IMG_0001.JPG") == photo_bytes("IMG_0001.JPG"));
    expect_only_own_bytes(sim, cwd, state, "100TEST");
}

}  // namespace
