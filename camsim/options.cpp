#include "camsim/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

const char USAGE[] =
    "usage: orvik-camsim --card DIR [options]\n"
    "  --card DIR          folder whose contents are the card (drive D:)\n"
    "  --link PATH         also make a symbolic link PATH to the terminal\n"
    "  --device PATH       serve a real serial port instead of a pseudo-terminal\n"
    "  --state FILE        keep the file attributes in FILE across runs\n"
    "  --log FILE          log every frame and event to FILE\n"
    "  --id TEXT           identity text (default \"Canon PowerShot S20\")\n"
    "  --firmware A.B.C.D  firmware version, digits 0-9 (default 1.0.2.0)\n"
    "  --power ac|high|low power source and battery level (default ac)\n"
    "  --greeting TEXT     greeting sent on synchronisation\n"
    "  --packet-size N     data bytes per file data packet (40-4000, default 1016)\n"
    "  --message-size N    file bytes per reply message (default 8192)\n"
    "  --pace              send and receive at the negotiated line speed\n"
    "  --noise RATE[:SEED] flip bits at random at RATE (0 to 0.01) both ways;\n"
    "                      SIGUSR1 switches the noise off and on again\n"
    "  --patience S        after sending an EOT wait S seconds (0.1-600) for the\n"
    "                      answer, taking whatever arrives as that answer; then\n"
    "                      give the transmission up (default: wait until the\n"
    "                      host sends a new request)\n"
    "  --slow S[:BUSY]     acknowledge each download request at once, send the\n"
    "                      first byte of its answer S seconds (0.1-600) later; a\n"
    "                      request arriving meanwhile is answered afterwards in\n"
    "                      order (BUSY queue, the default), replaces the old one\n"
    "                      (drop) or is acknowledged and never answered (ignore)\n"
    "  --return S          after a hang-up (--fault hangup@N or SIGUSR2) come back\n"
    "                      S seconds (0.1-600) later on a new terminal, the --link\n"
    "                      pointing at it (default: end at the hang-up)\n"
    "  --fault KIND@N      inject a fault (repeatable); KIND is one of crc-data,\n"
    "                      crc-eot, crc-persist, drop, silent, silent-reply, sync,\n"
    "                      probe, refuse, pcmode, unknown, ackseq, eotseq, long,\n"
    "                      refuse-single, hangup, deaf, stall, lose-ack, lose-eot,\n"
    "                      lose-request, resend-msg, crc-reply, babble,\n"
    "                      noise-burst, full;\n"
    "                      or --fault late@N:S (answer the Nth request S seconds\n"
    "                      late), or --fault hostile-name=NAME\n"
    "  --help              this text\n";

int bad(const char *what, const std::string &value)
{
    std::fprintf(stderr, "orvik-camsim: bad %s: %s\n%s", what, value.c_str(), USAGE);
    return 2;
}

bool parse_number(const std::string &text, long min, long max, long *out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno || *end || v < min || v > max)
        return false;
    *out = v;
    return true;
}

bool parse_firmware(const std::string &text, uint8_t out[4])
{
    // Exactly four digits separated by dots: each becomes one reply byte.
    if (text.size() != 7)
        return false;
    for (int i = 0; i < 4; ++i) {
        char c = text[static_cast<size_t>(2 * i)];
        if (c < '0' || c > '9' || (i < 3 && text[static_cast<size_t>(2 * i + 1)] != '.'))
            return false;
        out[i] = static_cast<uint8_t>(c - '0');
    }
    return true;
}

// A whole decimal number (strtod's syntax, nothing after it) within
// [lo, hi]; *out is left unchanged otherwise.
bool parse_decimal(const std::string &text, double lo, double hi, double *out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (errno || *end || !(v >= lo && v <= hi))
        return false;
    *out = v;
    return true;
}

bool parse_noise(const std::string &text, CamsimOptions *opts)
{
    size_t colon = text.find(':');
    double r;
    if (!parse_decimal(text.substr(0, colon), 0, 0.01, &r))
        return false;
    opts->noise_rate = r;
    if (colon == std::string::npos)
        return true;
    std::string seed = text.substr(colon + 1);
    if (seed.empty() || seed[0] == '-')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long s = std::strtoull(seed.c_str(), &end, 10);
    if (errno || *end)
        return false;
    opts->noise_seed = s;
    return true;
}

bool parse_seconds(const std::string &text, long *ms)
{
    double s;
    if (!parse_decimal(text, 0.1, 600, &s))
        return false;
    *ms = static_cast<long>(s * 1000 + 0.5);
    return true;
}

bool parse_fault(const std::string &text, CamsimOptions *opts)
{
    std::string_view hostile = "hostile-name=";
    if (text.compare(0, hostile.size(), hostile) == 0) {
        opts->hostile = true;
        opts->hostile_name = text.substr(hostile.size());
        return !opts->hostile_name.empty();
    }
    size_t at = text.find('@');
    if (at == std::string::npos)
        return false;
    std::string kind = text.substr(0, at);
    // Only the delay takes a second number: late@N:S.
    const size_t colon = kind == FAULT_NAMES[FAULT_LATE] ? text.find(':', at) : std::string::npos;
    double seconds = 0;
    if (kind == FAULT_NAMES[FAULT_LATE] &&
        (colon == std::string::npos || !parse_decimal(text.substr(colon + 1), 0.1, 600, &seconds)))
        return false;
    long n;
    if (!parse_number(text.substr(at + 1, colon - at - 1), 1, 1000000000L, &n))
        return false;
    for (int k = 0; k < FAULT_KINDS; ++k) {
        if (kind == FAULT_NAMES[k]) {
            opts->faults.push_back(Fault{static_cast<FaultKind>(k), n, false, seconds});
            return true;
        }
    }
    return false;
}

// The options that set a text as given.
struct TextOption {
    const char *name;
    std::string CamsimOptions::*field;
};
const TextOption TEXT_OPTIONS[] = {
    {"--card", &CamsimOptions::card},        {"--link", &CamsimOptions::link},
    {"--device", &CamsimOptions::device},    {"--state", &CamsimOptions::state_file},
    {"--log", &CamsimOptions::log_file},     {"--id", &CamsimOptions::id},
    {"--greeting", &CamsimOptions::greeting},
};

bool parse_power(const std::string &text, PowerSource *out)
{
    if (text == "ac")
        *out = POWER_AC;
    else if (text == "high")
        *out = POWER_HIGH;
    else if (text == "low")
        *out = POWER_LOW;
    else
        return false;
    return true;
}

// S[:queue|drop|ignore]
bool parse_slow(const std::string &text, CamsimOptions *opts)
{
    const size_t colon = text.find(':');
    const std::string busy = colon == std::string::npos ? "queue" : text.substr(colon + 1);
    if (busy == "queue")
        opts->slow_busy = BUSY_QUEUE;
    else if (busy == "drop")
        opts->slow_busy = BUSY_DROP;
    else if (busy == "ignore")
        opts->slow_busy = BUSY_IGNORE;
    else
        return false;
    return parse_seconds(text.substr(0, colon), &opts->slow_ms);
}

// Applies one option that takes a value.  Returns 0, or 2 after the
// reason and the usage.
int apply_option(const std::string &arg, const std::string &value, CamsimOptions *opts)
{
    for (const TextOption &t : TEXT_OPTIONS) {
        if (arg == t.name) {
            opts->*t.field = value;
            return 0;
        }
    }
    long n;
    if (arg == "--firmware") {
        if (!parse_firmware(value, opts->firmware))
            return bad("firmware version", value);
    } else if (arg == "--power") {
        if (!parse_power(value, &opts->power))
            return bad("power source", value);
    } else if (arg == "--packet-size") {
        if (!parse_number(value, CAMSIM_MIN_PACKET, CAMSIM_MAX_PACKET, &n))
            return bad("packet size", value);
        opts->packet_size = static_cast<int>(n);
    } else if (arg == "--message-size") {
        if (!parse_number(value, 1, CAMSIM_MAX_MESSAGE, &n))
            return bad("message size", value);
        opts->message_size = static_cast<int>(n);
    } else if (arg == "--noise") {
        if (!parse_noise(value, opts))
            return bad("noise", value);
    } else if (arg == "--patience") {
        if (!parse_seconds(value, &opts->patience_ms))
            return bad("patience", value);
    } else if (arg == "--slow") {
        if (!parse_slow(value, opts))
            return bad("slow", value);
    } else if (arg == "--return") {
        if (!parse_seconds(value, &opts->return_ms))
            return bad("return", value);
    } else if (arg == "--fault") {
        if (!parse_fault(value, opts))
            return bad("fault", value);
    } else {
        return bad("option", arg);
    }
    return 0;
}

} // namespace

int camsim_parse_options(int argc, char **argv, CamsimOptions *opts)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            return 1;
        }
        if (arg == "--pace") {
            opts->pace = true;
            continue;
        }
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return bad("option (missing value)", arg);
        }
        if (int rc = apply_option(arg, value, opts))
            return rc;
    }
    if (opts->card.empty())
        return bad("command line", "--card DIR is required");
    return 0;
}
