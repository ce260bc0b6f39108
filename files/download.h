// File and thumbnail download, saving, and the progress bar.
#ifndef ORVIK_FILES_DOWNLOAD_H
#define ORVIK_FILES_DOWNLOAD_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "serial/codec.h"

// The download loop as a pure state machine, fed one received packet at a
// time (the port I/O and the answers live in camera_download).  Bytes of a
// message with a damaged packet are stored (cut at the buffer's end) and
// overwritten by its repeat; a damaged header's total and status are never
// used, so the buffer comes from the first sound header.
struct DownloadState {
    uint8_t *buffer;     // allocated at the first header (announced size)
    uint32_t total;      // announced size
    uint32_t received;   // bytes received, the next write position
    uint32_t checkpoint; // received at the last acknowledged message
    bool damaged;        // a packet failed its CRC since the last answer
    int packets;         // packets received since the request
    int repeats;         // NACKs in a row without progress
};
enum DownloadStep {
    DL_CONTINUE,  // wait for the next packet
    DL_ACK,       // send ACK(0), continue
    DL_NACK,      // print 'X', send NACK, continue
    DL_DONE,      // send ACK(0); the file is complete
    DL_EMPTY,     // send ACK(0); empty reply, no file
    DL_REFUSED,   // the camera refused: wait EOT, ACK(0), no file
    DL_FAILED,    // protocol breach: no file (buffer freed)
    DL_NOMEM,     // the announced size cannot be allocated
};
constexpr int DOWNLOAD_MAX_REPEATS = 32;
// Sets *st to the state before the first packet (no buffer).
void download_begin(DownloadState *st);
// Takes the next received packet (EOTs included) into *st and returns what
// to do next; the buffer is owned by *st until the caller takes it at
// DL_DONE.
DownloadStep download_feed(DownloadState *st, const Packet *pkt);
void download_end(DownloadState *st);  // frees the buffer if still owned

// Transfers the file (thumbnail 0) or its thumbnail (1) at `path`, with
// "Getting %s, %d bytes\n", the bar and an 'X' per repeat (those asked for
// before a sound header open the bar).  Returns a malloc'ed buffer with
// *received bytes (caller frees), or nullptr.
uint8_t *camera_download(const char *path, int thumbnail, int *received);

// `get`: path rule, local name checks, the local target (saveas_target)
// and, with a --save-as pattern and without overwrite, a target that
// exists already refused before anything is sent (saveas_exists); download, statistics line, the target's folders, safe
// save, file times, the --exec command, downloaded mark.  0 or -1.
int camera_get_file(const char *name);

// "Downloaded in %ld seconds, %ld bytes/s\n" for `count` bytes received
// since `start`.
void print_download_rate(time_t start, int count);

// mode 0: new bar (position 0, scale line); mode 1: the target column
// (float)done / (float)total * 80.0f, truncated: dots from the position up
// to it when it is past the position, then the position := target, also
// downward (a repeat draws its dots again).  Total 0: nothing.
void progress_bar(int mode, uint32_t total, uint32_t done);

#endif
