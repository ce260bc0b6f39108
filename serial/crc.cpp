// The link's use of the packet CRC: an unknown length is fatal when
// sending and tolerated, with a warning, when receiving.
#include "serial/crc.h"

#include <cstdio>

#include "serial/codec.h"
#include "serial/fatal.h"
#include "serial/output.h"

uint16_t serial_compute_crc(const uint8_t *bytes, int length)
{
    const int initial = serial_crc_initial(length);
    if (initial < 0) {
        // The camera would reject the packet; sending it anyway only
        // desynchronises the exchange.
        out_note("FATAL ERROR: initial CRC value for length %d unknown\n", length);
        throw FatalCondition{FATAL_CRC_LENGTH};
    }
    return serial_crc_run(static_cast<uint16_t>(initial), bytes, static_cast<size_t>(length));
}

namespace {

// The seeds of lengths outside the table, learned from the line: the seed
// each packet of such a length would need is remembered, and a length's
// seed is known once two packets of it agree.
constexpr int LEARNED_LENGTHS = 64;
constexpr int CANDIDATES = 4;
struct LearnedSeed {
    int length;           // 0: slot free
    bool known;
    uint16_t seed;        // when known
    bool rival_set;       // the last packet of this length needed `rival`
    uint16_t rival;
    int count;            // candidates held while not known
    uint16_t candidates[CANDIDATES];
};
LearnedSeed learned[LEARNED_LENGTHS];
int next_slot;

LearnedSeed *slot_for(int length)
{
    for (LearnedSeed &l : learned)
        if (l.length == length)
            return &l;
    // A new length takes a free slot, else the oldest not yet known one.
    for (int i = 0; i < LEARNED_LENGTHS; i++) {
        LearnedSeed &l = learned[(next_slot + i) % LEARNED_LENGTHS];
        if (l.length == 0 || !l.known) {
            next_slot = (next_slot + i + 1) % LEARNED_LENGTHS;
            l = LearnedSeed{};
            l.length = length;
            return &l;
        }
    }
    return nullptr;
}

// A known seed is checked, and given up when two packets of this length
// in a row agree on another one: a burst of noise that damages every packet
// the same way (the same bits of the CRC, or of the data at the same
// offsets) makes the damaged packets agree on a wrong seed, and the clean
// packets after it must not be refused for the rest of the session.  The
// packet that changes the seed is not trusted: its message is sent again.
int check_known(LearnedSeed *l, uint16_t seed)
{
    if (l->seed == seed) {
        l->rival_set = false;
        return 1;
    }
    if (l->rival_set && l->rival == seed) {
        l->seed = seed;
        l->rival_set = false;
        return 0;
    }
    l->rival_set = true;
    l->rival = seed;
    return 0;
}

// 1 when `seed` agrees with what is known or with an earlier packet of
// this length (which makes it known), 0 when it does not.
int learn(LearnedSeed *l, uint16_t seed)
{
    if (l->known)
        return check_known(l, seed);
    for (int i = 0; i < l->count; i++) {
        if (l->candidates[i] == seed) {
            l->known = true;
            l->seed = seed;
            return 1;
        }
    }
    if (l->count < CANDIDATES)
        l->candidates[l->count++] = seed;
    else
        l->candidates[(seed ^ static_cast<uint16_t>(l->count++)) % CANDIDATES] = seed;
    return 0;
}

}  // namespace

int serial_check_crc(const uint8_t *bytes, int length, uint16_t received)
{
    const int initial = serial_crc_initial(length);
    if (initial >= 0)
        return serial_crc_run(static_cast<uint16_t>(initial), bytes,
                              static_cast<size_t>(length)) == received;
    // No seed is in the table for this length.  Exactly one seed reproduces
    // the received CRC; until two packets of this length agree on it the
    // packet cannot be trusted (a damaged packet always "matches" its own
    // seed), and once they have, a packet that needs another is damaged.
    const size_t covered = length > 0 ? static_cast<size_t>(length) : 0;
    const uint16_t seed = serial_crc_recover_initial(bytes, covered, received);
    LearnedSeed *l = slot_for(length);
    if (l != nullptr && l->known)
        return check_known(l, seed);
    out_note("warning: CRC not checked (add len %d, value 0x%04x) #########################\n",
             length, seed);
    return l != nullptr ? learn(l, seed) : 0;
}

void serial_forget_learned_crc(void)
{
    for (LearnedSeed &l : learned)
        l = LearnedSeed{};
    next_slot = 0;
}
