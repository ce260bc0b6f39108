// orvik-camsim's command line: what the emulated camera is, where its card
// lives, how it shapes transfers and which faults it injects.
#ifndef ORVIK_CAMSIM_OPTIONS_H
#define ORVIK_CAMSIM_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

enum FaultKind {
    FAULT_CRC_DATA,     // Nth download data packet sent with a wrong CRC
    FAULT_CRC_EOT,      // Nth EOT of a download sent with a wrong CRC
    FAULT_CRC_PERSIST,  // from the Nth download on, its first message never gets through
    FAULT_DROP,         // Nth download data packet not sent
    FAULT_SILENT,       // after the Nth download data packet, nothing more for that transfer
    FAULT_SILENT_REPLY, // Nth single-packet request: ACK only, no reply, no EOT
    FAULT_SYNC,         // first connection: only the Nth "UUUU" burst is answered
    FAULT_PROBE,        // first connection: the first N speed probes go unanswered
    FAULT_REFUSE,       // Nth download request refused
    FAULT_PCMODE,       // reply to the Nth request announces the end of PC mode
    FAULT_UNKNOWN,      // a type-7 packet instead of the ACK of the Nth request
    FAULT_ACKSEQ,       // the ACK of the Nth request carries a wrong number
    FAULT_EOTSEQ,       // the EOT after the Nth reply carries a wrong number
    FAULT_LONG,         // reply to the Nth request is an overlong frame
    FAULT_REFUSE_SINGLE,// Nth single-packet request refused, not carried out
    FAULT_HANGUP,       // the line hangs up once N bytes have crossed it
    FAULT_DEAF,         // from the Nth request on the camera hears nothing
    FAULT_STALL,        // after the Nth frame from the host, 1 s before reading on
    FAULT_LOSE_ACK,     // the host's Nth ACK never arrives
    FAULT_LOSE_EOT,     // the host's Nth closing EOT never arrives
    FAULT_LOSE_REQUEST, // the host's Nth request message never arrives
    FAULT_LATE,         // the Nth request is answered `seconds` late
    FAULT_RESEND,       // the Nth download message acknowledged is sent again
    FAULT_CRC_REPLY,    // every transmission of the Nth request's reply is damaged
    FAULT_BABBLE,       // from the Nth request on the line carries garbage without end
    FAULT_NOISE_BURST,  // the first 33 sendings of the Nth download's messages damaged
    FAULT_FULL,         // the card has room for N more bytes of uploads
};

// The names --fault takes and the log shows, indexed by FaultKind.
constexpr const char *FAULT_NAMES[] = {
    "crc-data", "crc-eot", "crc-persist", "drop", "silent", "silent-reply", "sync",
    "probe", "refuse", "pcmode", "unknown", "ackseq", "eotseq", "long", "refuse-single",
    "hangup", "deaf", "stall", "lose-ack", "lose-eot", "lose-request", "late", "resend-msg",
    "crc-reply", "babble", "noise-burst", "full",
};
constexpr int FAULT_KINDS = sizeof FAULT_NAMES / sizeof FAULT_NAMES[0];
static_assert(FAULT_KINDS == FAULT_FULL + 1, "one name per fault kind");

struct Fault {
    FaultKind kind;
    long n;
    bool fired;
    double seconds;  // FAULT_LATE
};

// What a slow camera does with a request that arrives while it still owes
// an answer: answers it afterwards, in order; drops the old answer; or
// acknowledges the new request and never answers it.
enum SlowBusy { BUSY_QUEUE, BUSY_DROP, BUSY_IGNORE };

enum PowerSource { POWER_AC, POWER_HIGH, POWER_LOW };

struct CamsimOptions {
    std::string card;
    std::string link;
    std::string device;
    std::string state_file;
    std::string log_file;
    std::string id = "Canon PowerShot S20";
    std::string greeting = "Canon PowerShot S20 emulated";
    uint8_t firmware[4] = {1, 0, 2, 0};  // A.B.C.D as given
    PowerSource power = POWER_AC;
    int packet_size = 1016;
    int message_size = 8192;
    bool pace = false;
    double noise_rate = 0;        // bit error rate both ways; 0: a clean line
    unsigned long long noise_seed = 1;
    long patience_ms = -1;        // -1: wait for an answer until a new request
    long return_ms = -1;          // after a hang-up, back this much later; -1: never
    long slow_ms = -1;            // -1: answers at once; else the first byte of
                                  // each answer this much after the acknowledge
    SlowBusy slow_busy = BUSY_QUEUE;
    std::vector<Fault> faults;
    bool hostile = false;
    std::string hostile_name;
};

constexpr int CAMSIM_MIN_PACKET = 40;     // room for the 36-byte file header
constexpr int CAMSIM_MAX_PACKET = 4000;   // keeps every frame below 4096 bytes
constexpr int CAMSIM_MAX_MESSAGE = 16 * 1024 * 1024;

// Fills *opts from argv.  Returns 0 on success; prints the reason and the
// usage on stderr and returns 2 on a bad command line; prints the usage on
// stdout and returns 1 for --help (the caller then exits 0).
int camsim_parse_options(int argc, char **argv, CamsimOptions *opts);

#endif
