// Noisy-line soak: the real orvik against orvik-camsim --noise, random bit
// errors in both directions at several rates, against every camera model
// the emulator has: one that drops an unanswered transmission when a new
// request comes, a patient one (gives up after 10 s, taking whatever
// arrives meanwhile for the answer), a slow one (answers every request it
// got, in order, the first byte 6 s after its acknowledge) and one sending
// packets of 2000 data bytes, longer than the CRC table covers.
//
// Each run is one connection: downloads of photo-sized files, a listing, an
// upload, a bulk getallnew; then the noise is switched off (SIGUSR1) and
// one more download follows.  Per run it reports the files saved intact,
// the failures orvik reported, the files saved wrong (must be 0), hangs and
// crashes (0), whether the command after the noise succeeded, the repeats
// per MB of file data asked for and the throughput against the noiseless
// run.
//
//   orvik_bench_soak            the full table (paced at 115200 bits/s)
//   orvik_bench_soak --quick    one rate, two small files, unpaced (CI)
//   --only drop|patience|slow|long   one camera model
//   --rates R,R,...             these bit error rates (0 first for the
//                               throughput column)
//
// The exit status is 1 when any file was saved wrong, a command hung,
// orvik crashed or the command after the noise failed.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <vector>

#include "harness.h"

using namespace e2e;

namespace {

const std::string PROMPT_START = "[Canon PowerShot S20] ";

struct Config {
    bool quick = false;
    bool pace = true;
    std::vector<double> rates = {0, 1e-6, 1e-5, 3e-5, 1e-4};
    std::vector<std::string> behaviours = {"drop", "patience", "slow", "long"};
    int gets = 4;          // single downloads before the listing
    int bulk = 4;          // files left new for getallnew
    size_t upload = 24000; // bytes uploaded
    size_t photo = 30000;  // smallest photo; the others up to 20000 bytes more
    int command_limit_ms = 600000;
};

struct Result {
    std::string behaviour;
    double rate = 0;
    long flips = 0;
    int intact = 0;        // downloads saved with the card's bytes
    int reported = 0;      // downloads that ended without a file
    int wrong = 0;         // local files that differ from the card
    int marked_wrong = 0;  // photos marked downloaded without their own bytes on disk
    int hangs = 0;
    int crashes = 0;
    bool upload_ok = false;
    bool after_ok = false; // the command after the noise
    long repeats = 0;      // messages the camera sent again
    double bytes = 0;      // file bytes moved intact (downloads and upload)
    double asked = 0;      // file bytes the noisy commands were to move
    double seconds = 0;    // noisy phase
    int hints = 0;         // lower-speed suggestions printed
};

double now_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string img_name(int i)
{
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04d.JPG", i);
    return name;
}

struct Run {
    Session s;
    Result *r;
    int limit_ms;
    bool alive = true;

    // One command line; its output up to the next prompt, or "" after a
    // hang (orvik is then killed) or a crash.
    std::string command(const std::string &line)
    {
        if (!alive)
            return "";
        size_t from = s.output.size();
        send_line(s, line);
        if (!expect(s, "\n" + PROMPT_START, limit_ms)) {
            int status = wait_exit(s, 1000);
            if (status == -1 || status == 0) {
                r->hangs++;
                std::printf("HANG after: %s\n", line.c_str());
            } else {
                r->crashes++;
                std::printf("CRASH (status %d) after: %s\n", status, line.c_str());
            }
            alive = false;
            return "";
        }
        expect(s, "> ", 5000);
        return s.output.substr(from);
    }
};

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Photos the camera marks downloaded ("%02x path" lines of its state
// file, the new bit 0x20 cleared) whose local copy is not theirs.
int marked_without_bytes(const std::string &state, const std::string &cwd,
                         const std::vector<std::string> &card, double rate,
                         const std::string &behaviour)
{
    int n = 0;
    for (size_t i = 1; i < card.size(); i++) {
        const std::string name = img_name(static_cast<int>(i));
        const size_t at = state.find(" DCIM/100CANON/" + name + "\n");
        if (at == std::string::npos || at < 2)
            continue;
        const unsigned attrib = static_cast<unsigned>(std::stoul(state.substr(at - 2, 2), nullptr, 16));
        if ((attrib & 0x20) == 0 && read_file(cwd + "/" + name) != card[i]) {
            n++;
            std::printf("MARKED WRONG: %s at %g (%s)\n", name.c_str(), rate, behaviour.c_str());
        }
    }
    return n;
}

Result soak(const Config &cfg, const std::string &behaviour, double rate, unsigned seed)
{
    Result r;
    r.behaviour = behaviour;
    r.rate = rate;

    char noise[64];
    std::snprintf(noise, sizeof noise, "%g:%u", rate, seed);
    std::vector<std::string> args = {"--noise", noise};
    const std::string state = make_temp_dir() + "/state";
    args.insert(args.end(), {"--state", state});
    if (behaviour == "patience")
        args.insert(args.end(), {"--patience", "10"});
    else if (behaviour == "slow")
        args.insert(args.end(), {"--slow", "6"});
    else if (behaviour == "long")
        args.insert(args.end(), {"--packet-size", "2000"});
    if (cfg.pace)
        args.push_back("--pace");
    Camsim sim = camsim_start(args, false);
    if (sim.tty.empty()) {
        std::printf("FAILED: orvik-camsim did not start\n");
        r.crashes++;
        return r;
    }

    // The card: photos in 100CANON, one more in 101CANON for the command
    // after the noise (getallnew never sees it).
    const std::string folder = sim.card + "/DCIM/100CANON/";
    mkdir(folder.c_str(), 0755);
    mkdir((sim.card + "/DCIM/101CANON").c_str(), 0755);
    const int files = cfg.gets + cfg.bulk;
    std::vector<std::string> card(static_cast<size_t>(files + 1));
    for (int i = 1; i <= files; i++) {
        size_t size = cfg.photo + static_cast<size_t>((i * 7919) % 20000);
        card[static_cast<size_t>(i)] = jpeg_like(size, static_cast<uint32_t>(i));
        r.asked += static_cast<double>(size);
        write_file(folder + img_name(i), card[static_cast<size_t>(i)]);
    }
    const std::string last = jpeg_like(40000, 99);
    write_file(sim.card + "/DCIM/101CANON/IMG_0099.JPG", last);
    const std::string cwd = make_temp_dir();
    const std::string source = make_temp_dir() + "/upload.jpg";
    const std::string uploaded = jpeg_like(cfg.upload, 77);
    r.asked += static_cast<double>(cfg.upload);
    write_file(source, uploaded);

    Run run{orvik_start({"-d", sim.tty}, cwd), &r, cfg.command_limit_ms};
    if (!expect(run.s, PROMPT_START + "D:> ", 120000)) {
        std::printf("FAILED: no prompt after connecting at %g (%s)\n", rate, behaviour.c_str());
        r.crashes++;
        wait_exit(run.s, 1000);
        camsim_stop(sim);
        return r;
    }

    std::string out;
    double start = now_seconds();
    out += run.command("cd D:\\DCIM\\100CANON");
    for (int i = 1; i <= cfg.gets; i++)
        out += run.command("get " + img_name(i));
    out += run.command("ls");
    std::string up = run.command("upload " + source + " UP000001.JPG");
    out += up;
    out += run.command("getallnew");
    r.seconds = now_seconds() - start;

    kill(sim.pid, SIGUSR1);
    std::string after = run.command("get D:\\DCIM\\101CANON\\IMG_0099.JPG");
    out += after;
    r.after_ok = after.find("get successful") != std::string::npos &&
                 read_file(cwd + "/IMG_0099.JPG") == last;
    if (run.alive) {
        send_line(run.s, "quit");
        if (wait_exit(run.s, 30000) == -1)
            r.hangs++;
    }
    camsim_stop(sim);

    for (int i = 1; i <= files; i++) {
        const std::string local = cwd + "/" + img_name(i);
        if (!exists(local))
            continue;
        if (read_file(local) == card[static_cast<size_t>(i)]) {
            r.intact++;
            r.bytes += static_cast<double>(card[static_cast<size_t>(i)].size());
        } else {
            r.wrong++;
            std::printf("WRONG: %s at %g (%s)\n", img_name(i).c_str(), rate, behaviour.c_str());
        }
    }
    if (exists(cwd + "/IMG_0099.JPG") && read_file(cwd + "/IMG_0099.JPG") != last)
        r.wrong++;
    r.reported = files - r.intact - r.wrong;
    r.upload_ok = up.find("upload successful") != std::string::npos &&
                  read_file(folder + "UP000001.JPG") == uploaded;
    if (r.upload_ok)
        r.bytes += static_cast<double>(uploaded.size());
    else
        std::printf("upload at %g (%s) failed:\n%s\n", rate, behaviour.c_str(), up.c_str());
    r.hints = count(run.s.output, "lower speed");
    r.marked_wrong = marked_without_bytes(read_file(state), cwd, card, rate, behaviour);
    for (const std::string &note : log_lines(sim, "NOTE")) {
        if (note.find("nack: repeating") != std::string::npos || note.find("taken as the answer") != std::string::npos)
            r.repeats++;
        if (note.compare(0, 10, "noise off ") == 0)
            std::sscanf(note.c_str(), "noise off after %ld", &r.flips);
    }
    std::fflush(stdout);
    return r;
}

const char *model_name(const std::string &behaviour)
{
    if (behaviour == "drop")
        return "gives up on a new request";
    if (behaviour == "patience")
        return "gives up after 10 s";
    if (behaviour == "slow")
        return "answers 6 s late, in order";
    return "2000-byte packets";
}

} // namespace

int main(int argc, char **argv)
{
    Config cfg;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--quick") {
            cfg.quick = true;
            cfg.pace = false;
            cfg.rates = {2e-5};
            // A smoke test: the slow camera alone would add a minute.
            cfg.behaviours = {"drop", "patience"};
            cfg.gets = 1;
            cfg.bulk = 1;
            cfg.upload = 8000;
            cfg.photo = 12000;
            cfg.command_limit_ms = 120000;
        } else if (arg == "--only" && i + 1 < argc) {
            cfg.behaviours = {argv[++i]};
        } else if (arg == "--unpaced") {
            cfg.pace = false;
        } else if (arg == "--rates" && i + 1 < argc) {
            cfg.rates.clear();
            for (char *r = std::strtok(argv[++i], ","); r != nullptr; r = std::strtok(nullptr, ","))
                cfg.rates.push_back(std::atof(r));
        } else {
            std::fprintf(stderr, "usage: orvik_bench_soak [--quick] [--unpaced] "
                                 "[--only drop|patience|slow|long] [--rates R,R,...]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);

    int failures = 0;
    std::printf("| camera model | bit error rate | bits flipped | files intact | failed, nothing saved | "
                "saved wrong | marked without its bytes | hangs | crashes | upload | after the noise | "
                "repeats per MB asked | throughput vs noiseless | speed hints |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    for (const std::string &behaviour : cfg.behaviours) {
        double clean = 0;
        for (size_t k = 0; k < cfg.rates.size(); k++) {
            Result r = soak(cfg, behaviour, cfg.rates[k], 1000u + static_cast<unsigned>(k));
            const double rate_bps = r.seconds > 0 ? r.bytes / r.seconds : 0;
            if (cfg.rates[k] == 0)
                clean = rate_bps;
            const int files = cfg.gets + cfg.bulk;
            char versus[32] = "-";
            if (clean > 0)
                std::snprintf(versus, sizeof versus, "%.0f %%", 100.0 * rate_bps / clean);
            std::printf("| %s | %g | %ld | %d of %d | %d | %d | %d | %d | %d | %s | %s | %.1f | %s | %d |\n",
                        model_name(behaviour), r.rate, r.flips,
                        r.intact, files, r.reported, r.wrong, r.marked_wrong, r.hangs, r.crashes,
                        r.upload_ok ? "intact" : "failed", r.after_ok ? "succeeded" : "FAILED",
                        static_cast<double>(r.repeats) / (r.asked / 1e6),
                        versus, r.hints);
            std::fflush(stdout);
            if (r.wrong || r.marked_wrong || r.hangs || r.crashes || !r.after_ok)
                failures++;
            if (cfg.quick && (r.intact + r.reported != files))
                failures++;
        }
    }
    return failures ? 1 : 0;
}
