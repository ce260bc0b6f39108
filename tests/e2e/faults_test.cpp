// The fault matrix: every fault the emulator can inject, at each stage of
// the protocol where it matters, with the outcome each must have.
//
// Every row runs the real orvik (commands on a pipe) against orvik-camsim on
// a copy of the sample card and then checks, besides the row's own texts and
// exit status, the promises that hold whatever the line does:
//   - every local file is byte for byte the card's file of that name (or,
//     for thumbnails, a whole JPEG), and nothing else is left behind: no
//     temporary, no partial file;
//   - a file the camera marks as downloaded is on disk;
//   - the camera was switched off at the end (unless the connection itself
//     failed, which leaves the camera alone);
//   - the camera answers the next command: a later command of the same run
//     where the run goes on, and a fresh connection in every case.
#include <gtest/gtest.h>

#include <dirent.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e.h"

using namespace e2e;

namespace {

struct FaultRow {
    const char *name;                  // test name: stage and fault
    std::vector<std::string> faults;   // orvik-camsim --fault values
    std::vector<std::string> options;  // orvik options after -d
    std::string commands;              // standard input, one command a line
    int status;                        // orvik's exit status
    std::vector<std::string> out;      // texts on standard output, in this order
    std::vector<std::string> err;      // texts on standard error, in this order
    std::set<std::string> saved;       // exactly these local files
    std::set<std::string> downloaded;  // card files (below DCIM) now marked downloaded
    bool thumbnails = false;           // the saved files are thumbnails, not copies
    bool camera_off = true;            // the run ends with the camera-off frames
    bool quiet = false;                // nothing at all on standard error
};

const std::string F100 = "cd D:\\DCIM\\100CANON\n";
const std::string ID_LINES = "camera ID: Canon PowerShot S20\nfirmware : 1.0.2.0\n";
const std::string DISK_LINE = "camera disk: D:\n";
const std::string BAR = "0------------------25------------------50------------------75----------------100\n";
const std::string DOTS(80, '.');
const std::string FATAL_FRAME = "FATAL ERROR serial_get_frame(): not enough buffer\n";
const std::string NOT_PC_MODE = "*** your camera is no longer in PC mode, exit\n";
const std::string UNKNOWN_TYPE = "ERROR: Unknown packet type received\n";
const std::string TYPE7_ACK = "Received a packet type 7 waiting for ACK\n";
const std::string NO_ACK = "serial_get_packet() error waiting for ACK\n";
const std::string NO_REPLY = "no reply from the camera\n";
const std::string WAITING = "The camera has the request but has not answered: waiting longer\n";

std::string getting(const std::string &rel, int size)
{
    return "Getting D:\\DCIM\\" + rel + ", " + std::to_string(size) + " bytes\n";
}

// The ordinary walk of -g over the sample card, with the names it takes.
const std::set<std::string> ALL_100 = {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG",
                                       "IMG_0004.JPG", "README"};
const std::set<std::string> ALL_101 = {"IMG_0101.JPG", "IMG_0102.JPG"};

std::set<std::string> without(std::set<std::string> names, const std::set<std::string> &gone)
{
    for (const auto &n : gone)
        names.erase(n);
    return names;
}

std::set<std::string> joined(const std::set<std::string> &a, const std::set<std::string> &b)
{
    std::set<std::string> out = a;
    out.insert(b.begin(), b.end());
    return out;
}

std::set<std::string> in_folder(const std::string &folder, const std::set<std::string> &names)
{
    std::set<std::string> out;
    for (const auto &n : names)
        out.insert(folder + "/" + n);
    return out;
}

const std::vector<FaultRow> &rows()
{
    static const std::vector<FaultRow> table = {
        // Synchronisation and speed negotiation.
        {"SyncBurstsUnanswered", {"sync@4"}, {}, "id\n", 0,
         {"Sync: ...\n", ID_LINES}, {}, {}, {}},
        {"SpeedProbesUnanswered", {"probe@2"}, {}, "id\n", 0,
         {"Switching to 115200 bound ...OK\n", ID_LINES}, {}, {}, {}},
        {"SpeedNeverConfirmed", {"probe@10"}, {}, "id\n", 1,
         {"Switching to 115200 bound ..........protocol error\n"}, {}, {}, {}},

        // Single-packet exchanges: the identity at connection, then commands.
        // A frame longer than any the camera sends, or one saying that the
        // camera left PC mode, ends the program at once with status 1 and
        // without the camera-off frames (the camera is no longer listening
        // as a PC-mode camera would).
        // A reply that never comes (not a byte of it) after the camera
        // acknowledged the request: the request goes again.
        {"ConnectIdentityWithoutReply", {"silent-reply@1"}, {}, "id\n", 0,
         {"[Canon PowerShot S20] D:> ", ID_LINES}, {}, {}, {}},
        {"ExchangeWithoutReply", {"silent-reply@3"}, {}, "disk\ndisk\n", 0,
         {DISK_LINE, DISK_LINE}, {}, {}, {}},
        {"ExchangeUnknownPacketType", {"unknown@3"}, {}, "disk\nid\n", 0,
         {TYPE7_ACK, DISK_LINE, ID_LINES}, {UNKNOWN_TYPE}, {}, {}},
        {"ExchangeWrongAckNumber", {"ackseq@3"}, {}, "disk\nid\n", 0,
         {"Out of sequence ACK received, expected 4, got 5\n", DISK_LINE, ID_LINES}, {}, {}, {}},
        {"ExchangeWrongEotNumber", {"eotseq@3"}, {}, "id\ndisk\n", 0,
         {"Out of sequence ACK received, expected 3, got 4\n", ID_LINES, DISK_LINE}, {}, {}, {}},
        {"ExchangeOverlongFrame", {"long@3"}, {}, "id\ndisk\n", 1,
         {}, {FATAL_FRAME}, {}, {}, false, false},
        {"ExchangePcMode", {"pcmode@3"}, {}, "id\ndisk\n", 1,
         {NOT_PC_MODE}, {}, {}, {}, false, false},

        // A reply damaged on every sending is no reply; a late one is this
        // request's alone; frames of the host lost on the way cost the
        // command at most, never the next ones, and no advice.
        {"ExchangeReplyAlwaysDamaged", {"crc-reply@3"}, {}, "disk\nid\n", 0,
         {NO_REPLY, ID_LINES}, {}, {}, {}},
        {"ExchangeReplyLate", {"late@3:5.5"}, {}, "disk\nid\n", 0,
         {NO_ACK, DISK_LINE, ID_LINES}, {}, {}, {}, false, true, true},
        {"ExchangeReplyLateTwice", {"late@3:12"}, {}, "disk\nid\ndisk\n", 0,
         {DISK_LINE, ID_LINES, DISK_LINE}, {}, {}, {}, false, true, true},
        // The camera acknowledges the EOT of a request it never had: to
        // orvik a camera slow to answer; the request is not sent again.
        {"ExchangeRequestLost", {"lose-request@3"}, {}, "disk\nid\n", 0,
         {NO_REPLY, ID_LINES}, {WAITING}, {}, {}},
        {"ExchangeEotLost", {"lose-eot@4"}, {}, "disk\nid\n", 0,
         {NO_ACK, DISK_LINE, ID_LINES}, {}, {}, {}, false, true, true},
        {"ExchangeClosingAckLost", {"lose-ack@4"}, {}, "disk\nid\ndisk\n", 0,
         {DISK_LINE, ID_LINES, DISK_LINE}, {}, {}, {}, false, true, true},
        {"MkdirRequestLost", {"lose-request@3"}, {}, "mkdir D:\\NEW\nid\n", 0,
         {"mkdir error\n", ID_LINES},
         {"mkdir D:\\NEW: no reply from the camera; it may or may not be done\n"}, {}, {}},

        // Listing.
        {"ListingReplyAlwaysDamaged", {"crc-reply@3"}, {}, F100 + F100, 0,
         {"ls error\n", "        6 files      309739 bytes\n"}, {}, {}, {}},
        {"ListingUnknownPacketType", {"unknown@3"}, {}, F100 + "get IMG_0004.JPG\n", 0,
         {TYPE7_ACK, "--n-  IMG_0004.JPG", "        6 files      309739 bytes\n",
          "get successful\n"},
         {UNKNOWN_TYPE}, {"IMG_0004.JPG"}, {"100CANON/IMG_0004.JPG"}},
        {"ListingWrongAckNumber", {"ackseq@3"}, {}, F100 + "get IMG_0004.JPG\n", 0,
         {"Out of sequence ACK received, expected 4, got 5\n", "        6 files      309739 bytes\n",
          "get successful\n"},
         {}, {"IMG_0004.JPG"}, {"100CANON/IMG_0004.JPG"}},
        {"ListingWrongEotNumber", {"eotseq@3"}, {}, F100 + "get IMG_0004.JPG\n", 0,
         {"        6 files      309739 bytes\n", "get successful\n"},
         {}, {"IMG_0004.JPG"}, {"100CANON/IMG_0004.JPG"}},
        {"ListingOverlongFrame", {"long@3"}, {}, F100 + "ls\n", 1,
         {}, {FATAL_FRAME}, {}, {}, false, false},
        {"ListingPcMode", {"pcmode@3"}, {}, F100 + "ls\n", 1,
         {NOT_PC_MODE}, {}, {}, {}, false, false},
        {"ListingHostileControlBytes", {"hostile-name=x\x1b]0;t\x07" "2J.JPG"}, {},
         F100 + "get IMG_0004.JPG\n", 0,
         {"--n-  x?]0;t?2J.JPG", "        7 files      309839 bytes\n", "get successful\n"},
         {}, {"IMG_0004.JPG"}, {"100CANON/IMG_0004.JPG"}},
        {"ListingHostilePath", {"hostile-name=../../EVIL.JPG"}, {},
         F100 + "get ../../EVIL.JPG\ngetall\n", 0,
         {"refusing local file name '../../EVIL.JPG'\n", "get error\n",
          "refusing local file name '../../EVIL.JPG'\n"},
         {}, ALL_100, in_folder("100CANON", ALL_100)},

        // Download of a file.
        {"DownloadDamagedDataPacket", {"crc-data@3"}, {}, F100 + "get IMG_0003.JPG\n", 0,
         {getting("100CANON\\IMG_0003.JPG", 285256), BAR, "X", "get successful\n"},
         {}, {"IMG_0003.JPG"}, {"100CANON/IMG_0003.JPG"}},
        {"DownloadDamagedEot", {"crc-eot@1"}, {}, F100 + "get IMG_0003.JPG\n", 0,
         {getting("100CANON\\IMG_0003.JPG", 285256), "X", "get successful\n"},
         {}, {"IMG_0003.JPG"}, {"100CANON/IMG_0003.JPG"}},
        {"DownloadPersistentDamage", {"crc-persist@1"}, {}, F100 + "get IMG_0002.JPG\ndisk\n", 0,
         {std::string(32, 'X') + "\nget error\n", DISK_LINE}, {}, {}, {}},
        {"DownloadDroppedPacket", {"drop@3"}, {},
         F100 + "get IMG_0003.JPG\nget IMG_0004.JPG\n", 0,
         {getting("100CANON\\IMG_0003.JPG", 285256), "\nget error\n", "get successful\n"},
         {}, {"IMG_0004.JPG"}, {"100CANON/IMG_0004.JPG"}},
        {"DownloadSilenceMidReply", {"silent@3"}, {},
         F100 + "get IMG_0003.JPG\nget IMG_0004.JPG\n", 0,
         {getting("100CANON\\IMG_0003.JPG", 285256), "\nget error\n", "get successful\n"},
         {}, {"IMG_0004.JPG"}, {"100CANON/IMG_0004.JPG"}},
        {"DownloadMessageSentAgain", {"resend-msg@1"}, {}, F100 + "get IMG_0001.JPG\n", 0,
         {getting("100CANON\\IMG_0001.JPG", 17915), "get successful\n"},
         {}, {"IMG_0001.JPG"}, {"100CANON/IMG_0001.JPG"}, false, true, true},
        {"DownloadClosingAckLost", {"lose-ack@5"}, {},
         F100 + "get IMG_0001.JPG\nget IMG_0002.JPG\n", 0,
         {"get successful\n", "get successful\n"}, {}, {"IMG_0001.JPG", "IMG_0002.JPG"},
         {"100CANON/IMG_0001.JPG", "100CANON/IMG_0002.JPG"}},
        {"DownloadRefused", {"refuse@1"}, {}, F100 + "get IMG_0003.JPG\nget IMG_0004.JPG\n", 0,
         {"> get IMG_0003.JPG\nget error\n", "get successful\n"},
         {"D:\\DCIM\\100CANON\\IMG_0003.JPG: not saved: refused by the camera, status 0x01\n"},
         {"IMG_0004.JPG"}, {"100CANON/IMG_0004.JPG"}},
        {"DownloadUnknownPacketType", {"unknown@4"}, {}, F100 + "get IMG_0003.JPG\n", 0,
         {TYPE7_ACK, getting("100CANON\\IMG_0003.JPG", 285256), "get successful\n"},
         {UNKNOWN_TYPE}, {"IMG_0003.JPG"}, {"100CANON/IMG_0003.JPG"}},
        {"DownloadWrongAckNumber", {"ackseq@4"}, {}, F100 + "get IMG_0003.JPG\n", 0,
         {"Out of sequence ACK received, expected 5, got 6\n", "get successful\n"},
         {}, {"IMG_0003.JPG"}, {"100CANON/IMG_0003.JPG"}},
        {"DownloadWrongEotNumber", {"eotseq@4"}, {}, F100 + "get IMG_0003.JPG\nget IMG_0004.JPG\n",
         0, {"get successful\n", "get successful\n"},
         {}, {"IMG_0003.JPG", "IMG_0004.JPG"},
         {"100CANON/IMG_0003.JPG", "100CANON/IMG_0004.JPG"}},
        {"DownloadOverlongFrame", {"long@4"}, {}, F100 + "get IMG_0003.JPG\n", 1,
         {}, {FATAL_FRAME}, {}, {}, false, false},
        {"DownloadPcMode", {"pcmode@4"}, {}, F100 + "get IMG_0003.JPG\n", 1,
         {NOT_PC_MODE}, {}, {}, {}, false, false},

        // Thumbnails (saved, never marking the photo).
        {"ThumbnailDamagedDataPacket", {"crc-data@1"}, {}, F100 + "tget IMG_0003.JPG\n", 0,
         {"X", DOTS, "tget successful\n"}, {}, {"IMG_0003.JPG"}, {}, true},
        {"ThumbnailRefused", {"refuse@1"}, {}, F100 + "tget IMG_0003.JPG\ntget IMG_0004.JPG\n", 0,
         {"> tget IMG_0003.JPG\ntget error\n", "tget successful\n"},
         {"D:\\DCIM\\100CANON\\IMG_0003.JPG: not saved: refused by the camera, status 0x01\n"},
         {"IMG_0004.JPG"}, {}, true},
        {"ThumbnailSilenceMidReply", {"silent@1"}, {},
         F100 + "tget IMG_0003.JPG\ntget IMG_0004.JPG\n", 0,
         {"\ntget error\n", "tget successful\n"}, {}, {"IMG_0004.JPG"}, {}, true},
        {"ThumbnailDroppedPacket", {"drop@1"}, {},
         F100 + "tget IMG_0003.JPG\ntget IMG_0004.JPG\n", 0,
         {"tget error\n", "tget successful\n"}, {}, {"IMG_0004.JPG"}, {}, true},

        // Upload (the chunk is the third single-packet exchange).
        {"UploadChunkWithoutReply", {"silent-reply@3"}, {}, F100 + "put UP.TXT\ndisk\n", 0,
         {BAR, DOTS + "\nupload successful\n", DISK_LINE}, {}, {"UP.TXT"}, {}},
        {"UploadUnknownPacketType", {"unknown@4"}, {}, F100 + "put UP.TXT\nls\n", 0,
         {TYPE7_ACK, DOTS + "\nupload successful\n", "--n-  UP      .TXT"},
         {UNKNOWN_TYPE}, {"UP.TXT"}, {}},
        {"UploadWrongAckNumber", {"ackseq@4"}, {}, F100 + "put UP.TXT\nls\n", 0,
         {"Out of sequence ACK received, expected 5, got 6\n", "upload successful\n",
          "--n-  UP      .TXT"},
         {}, {"UP.TXT"}, {}},
        {"UploadOverlongFrame", {"long@4"}, {}, F100 + "put UP.TXT\n", 1,
         {BAR}, {FATAL_FRAME}, {"UP.TXT"}, {}, false, false},
        {"UploadPcMode", {"pcmode@4"}, {}, F100 + "put UP.TXT\n", 1,
         {BAR, NOT_PC_MODE}, {}, {"UP.TXT"}, {}, false, false},

        // Bulk commands: a file that fails does not stop the others.
        {"GetAllDamagedPacketAndEot", {"crc-data@2", "crc-eot@4"}, {}, F100 + "getall\n", 0,
         {getting("100CANON\\IMG_0001.JPG", 17915), "X", "X", getting("100CANON\\README", 78)},
         {}, ALL_100, in_folder("100CANON", ALL_100)},
        {"GetAllOneRefused", {"refuse@2"}, {}, F100 + "getall\n", 0,
         {getting("100CANON\\IMG_0001.JPG", 17915), getting("100CANON\\IMG_0003.JPG", 285256),
          getting("100CANON\\README", 78)},
         {}, without(ALL_100, {"IMG_0002.JPG"}),
         in_folder("100CANON", without(ALL_100, {"IMG_0002.JPG"}))},
        {"GetAllSilenceInTheFirst", {"silent@2"}, {}, F100 + "getall\n", 0,
         {getting("100CANON\\IMG_0001.JPG", 17915), getting("100CANON\\IMG_0002.JPG", 4794),
          getting("100CANON\\README", 78)},
         {}, without(ALL_100, {"IMG_0001.JPG"}),
         in_folder("100CANON", without(ALL_100, {"IMG_0001.JPG"}))},
        {"GetAllNewPersistentDamage", {"crc-persist@3"}, {}, F100 + "getallnew\ndisk\n", 0,
         {getting("100CANON\\IMG_0002.JPG", 4794), std::string(32, 'X') + "\n",
          std::string(32, 'X') + "\n", std::string(32, 'X') + "\n", DISK_LINE},
         {}, {"IMG_0001.JPG", "IMG_0002.JPG"},
         {"100CANON/IMG_0001.JPG", "100CANON/IMG_0002.JPG"}},
        // The camera's refusals are told apart from success (requests 1 and
        // 2 of the kind are the connection's identity and drive name).
        {"GetMarkRefused", {"refuse-single@3"}, {}, F100 + "get IMG_0003.JPG\n", 0,
         {"get successful\n"},
         {"set attributes of D:\\DCIM\\100CANON\\IMG_0003.JPG: refused by the camera, status 0x01\n",
          "D:\\DCIM\\100CANON\\IMG_0003.JPG: saved, but not marked downloaded on the camera\n"},
         {"IMG_0003.JPG"}, {}},
        {"DeleteAllOneRefused", {"refuse-single@4"}, {}, F100 + "deleteall\n", 0,
         {"Removing D:\\DCIM\\100CANON\\IMG_0001.JPG: successful\n",
          "Removing D:\\DCIM\\100CANON\\IMG_0002.JPG: ERROR\n",
          "Removing D:\\DCIM\\100CANON\\IMG_0003.JPG: successful\n"},
         {"delete D:\\DCIM\\100CANON\\IMG_0002.JPG: refused by the camera, status 0x01\n"}, {}, {}},
        // A removal is not asked for twice: a NACK fetches the lost reply.
        {"DeleteAllWithoutReply", {"silent-reply@3"}, {}, F100 + "deleteall\ndisk\n", 0,
         {"Removing D:\\DCIM\\100CANON\\IMG_0001.JPG: successful\n",
          "Removing D:\\DCIM\\100CANON\\IMG_0002.JPG: successful\n", DISK_LINE},
         {}, {}, {}},

        // Non-interactive runs.
        // Every file is tried; the status tells a script that one is missing.
        {"BatchGetOneRefused", {"refuse@2"}, {"-g"}, "", 1,
         {"---> 100CANON\n", getting("100CANON\\IMG_0003.JPG", 285256), "---> 101CANON\n",
          getting("101CANON\\IMG_0102.JPG", 9457), "skipping empty directory\n"},
         {"D:\\DCIM\\100CANON\\IMG_0002.JPG: not saved: refused by the camera, status 0x01\n",
          "1 file was not saved (named above)\n"}, joined(without(ALL_100, {"IMG_0002.JPG"}), ALL_101),
         joined(in_folder("100CANON", without(ALL_100, {"IMG_0002.JPG"})),
                in_folder("101CANON", ALL_101))},
        {"BatchGetDroppedPacket", {"drop@3"}, {"-g"}, "", 1,
         {"---> 100CANON\n", "---> 101CANON\n", "skipping empty directory\n"},
         {"D:\\DCIM\\100CANON\\IMG_0001.JPG: not saved: the download failed\n",
          "1 file was not saved (named above)\n"}, joined(without(ALL_100, {"IMG_0001.JPG"}), ALL_101),
         joined(in_folder("100CANON", without(ALL_100, {"IMG_0001.JPG"})),
                in_folder("101CANON", ALL_101))},
        {"BatchNewPersistentDamage", {"crc-persist@6"}, {"-n"}, "", 1,
         {"---> 100CANON\n", "---> 101CANON\n", std::string(32, 'X') + "\n",
          std::string(32, 'X') + "\n", "skipping empty directory\n"},
         {}, ALL_100, in_folder("100CANON", ALL_100)},
        {"BatchNewDamagedPacket", {"crc-data@12"}, {"-n"}, "", 0,
         {"---> 100CANON\n", "X", "---> 101CANON\n", "skipping empty directory\n"},
         {}, joined(ALL_100, ALL_101),
         joined(in_folder("100CANON", ALL_100), in_folder("101CANON", ALL_101))},
        {"BatchGetHostileName", {"hostile-name=A/B.JPG"}, {"-g"}, "", 1,
         {"---> 100CANON\n", "refusing local file name 'A/B.JPG'\n", "---> 101CANON\n",
          "refusing local file name 'A/B.JPG'\n", "---> 102CANON\n",
          "refusing local file name 'A/B.JPG'\n"},
         {}, joined(ALL_100, ALL_101),
         joined(in_folder("100CANON", ALL_100), in_folder("101CANON", ALL_101))},
        {"BatchGetPcMode", {"pcmode@5"}, {"-g"}, "", 1,
         {"---> 100CANON\n", NOT_PC_MODE}, {}, {}, {}, false, false},
        {"BatchGetOverlongFrame", {"long@4"}, {"-g"}, "", 1,
         {"---> 100CANON\n"}, {FATAL_FRAME}, {}, {}, false, false},
        {"BatchListUnknownPacketType", {"unknown@4"}, {"-l"}, "", 0,
         {"---> 100CANON\n", TYPE7_ACK, "---> 101CANON\n"}, {UNKNOWN_TYPE}, {}, {}},
    };
    return table;
}

// Where `text` holds every piece in order; otherwise the first missing one.
std::string first_missing(const std::string &text, const std::vector<std::string> &pieces)
{
    size_t at = 0;
    for (const std::string &p : pieces) {
        size_t found = text.find(p, at);
        if (found == std::string::npos)
            return p;
        at = found + p.size();
    }
    return "";
}

// The card's file of this name in one of its photo folders.
std::string card_file(const Camsim &sim, const std::string &name)
{
    for (const char *folder : {"100CANON", "101CANON"}) {
        std::string path = sim.card + "/DCIM/" + folder + "/" + name;
        if (access(path.c_str(), F_OK) == 0)
            return path;
    }
    return "";
}

// Card files below DCIM whose attribute the camera now holds without the
// new bit, from the emulator's state file ("%02x path" lines).
std::set<std::string> marked_downloaded(const std::string &state)
{
    std::set<std::string> out;
    for (const std::string &line : split_lines(read_file(state))) {
        if (line.size() < 4 || line[2] != ' ')
            continue;
        unsigned attrib = static_cast<unsigned>(std::stoul(line.substr(0, 2), nullptr, 16));
        std::string path = line.substr(3);
        if ((attrib & 0x30) == 0 && path.compare(0, 5, "DCIM/") == 0)
            out.insert(path.substr(5));
    }
    return out;
}

void PrintTo(const FaultRow &row, std::ostream *os)
{
    *os << row.name;
}

class FaultMatrix : public testing::TestWithParam<FaultRow> {};

TEST_P(FaultMatrix, OutcomeAndPromisesHold)
{
    const FaultRow &row = GetParam();
    std::string state = make_temp_dir() + "/state";
    std::vector<std::string> args = {"--state", state};
    for (const auto &f : row.faults) {
        args.push_back("--fault");
        args.push_back(f);
    }
    Camsim sim = camsim_start(args);
    ASSERT_FALSE(sim.tty.empty());
    std::string cwd = make_temp_dir();
    const std::string upload = "UP.TXT";
    if (row.commands.find("put ") != std::string::npos)
        write_file(cwd + "/" + upload, "six b\n");

    std::vector<std::string> orvik_args = {"-d", sim.tty};
    orvik_args.insert(orvik_args.end(), row.options.begin(), row.options.end());
    RunResult r = orvik_run(orvik_args, row.commands, cwd);
    SCOPED_TRACE("stdout:\n" + r.out + "\nstderr:\n" + r.err);

    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(first_missing(r.out, row.out), "");
    EXPECT_EQ(first_missing(r.err, row.err), "");
    if (row.quiet) {
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(camera_switched_off(sim), row.camera_off);

    // What is on disk: exactly the expected files, each whole.
    EXPECT_EQ(local_names(cwd), row.saved);
    for (const std::string &name : local_names(cwd)) {
        std::string bytes = read_file(cwd + "/" + name);
        if (name == upload) {
            EXPECT_EQ(bytes, "six b\n");
        } else if (row.thumbnails) {
            ASSERT_GE(bytes.size(), 4u) << name;
            EXPECT_EQ(bytes.substr(0, 2), "\xff\xd8") << name;
            EXPECT_EQ(bytes.substr(bytes.size() - 2), "\xff\xd9") << name;
        } else {
            std::string card = card_file(sim, name);
            ASSERT_FALSE(card.empty()) << name;
            EXPECT_TRUE(bytes == read_file(card)) << name << " differs from the card's";
        }
    }

    // The camera's marks: only what is on disk is marked downloaded.
    std::set<std::string> marked = marked_downloaded(state);
    EXPECT_EQ(marked, row.downloaded);
    for (const std::string &path : marked)
        EXPECT_EQ(row.saved.count(path.substr(path.find('/') + 1)), 1u) << path;

    // The camera serves a fresh connection.
    RunResult again = orvik_run({"-d", sim.tty}, "disk\n", make_temp_dir());
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_NE(again.out.find(DISK_LINE), std::string::npos) << again.out;
    camsim_stop(sim);
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<FaultRow> &row) {
                             return std::string(row.param.name);
                         });

}  // namespace
