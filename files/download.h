// File and thumbnail download, saving, and the progress bar.
#ifndef ORVIK_FILES_DOWNLOAD_H
#define ORVIK_FILES_DOWNLOAD_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "files/cache.h"
#include "serial/codec.h"

// The file as the download's messages bring it, a pure state machine fed
// the packets the exchange engine (camera/exchange.h) hands over: it
// decides about damage, repeats and numbering; this keeps the bytes.
// Bytes of a message with a damaged packet are stored (cut at the
// buffer's end) and overwritten by its repeat; a damaged header's total
// and status are never used, so the buffer comes from the first sound
// header.
struct DownloadState {
    uint8_t *buffer;     // allocated at the first header (announced size)
    uint32_t total;      // announced size
    uint32_t received;   // bytes received, the next write position
    uint32_t checkpoint; // received at the end of the last message kept
    bool refused;        // the first sound header refused the request
    uint8_t refusal;     // its status byte
    int packets;         // data packets received since the request
};
enum DownloadStep {
    DL_CONTINUE,  // wait for the next packet
    DL_MORE,      // the message is kept; more of the file follows
    DL_DONE,      // the file is complete
    DL_EMPTY,     // a reply without file data: no file
    DL_REFUSED,   // the camera refused the request: no file
    DL_FAILED,    // protocol breach: no file (buffer freed)
    DL_NOMEM,     // the announced size cannot be allocated
};
// Sets *st to the state before the first packet (no buffer).
void download_begin(DownloadState *st);
// Takes the next data packet of the message under way (`trusted`: nothing
// of that message damaged so far): DL_CONTINUE, DL_FAILED or DL_NOMEM.
// The buffer is owned by *st until the caller takes it at DL_DONE.
DownloadStep download_feed(DownloadState *st, const Packet *pkt, bool trusted);
// The message under way is kept (whole, acknowledged): DL_MORE, DL_DONE,
// DL_EMPTY or DL_REFUSED.
DownloadStep download_message_kept(DownloadState *st);
// The message under way is not kept: its bytes are forgotten.
void download_drop(DownloadState *st);
void download_end(DownloadState *st);  // frees the buffer if still owned

// Transfers the file (thumbnail 0) or its thumbnail (1) at `path`, with
// "Getting %s, %d bytes\n", the bar and an 'X' per repeat (those asked for
// before a sound header open the bar).  Returns a malloc'ed buffer with
// *received bytes (caller frees), or nullptr: no undamaged reply, a
// refusal, a breach of the protocol, or a file of the listing cache whose
// received length differs from its listed size (a line with its reason).
// An announced size that cannot be allocated: perror("malloc"), then
// FatalCondition FATAL_NO_MEMORY (serial/fatal.h) is thrown.
uint8_t *camera_download(const char *path, int thumbnail, int *received);
// After a camera_download that returned no buffer: the line on stderr
// naming `path` as not saved, with the status byte of the camera's refusal
// when it refused (kept by camera_download), "the line to the camera is
// gone" on a lost line, else "the download failed".  An entry the listing
// shows as a folder gets "%s: a folder, not downloaded\n" instead.
void camera_report_no_file(const char *path);

// Where a `get` put its file: the local path it was saved as and the
// camera path it came from.
struct SavedFile {
    char local_path[CAMERA_PATH_MAX];
    char camera_path[CAMERA_PATH_MAX];
    bool written;  // false: the local file was there already, the same bytes
};

// `get`: path rule, local name checks, the local target (saveas_target),
// then, unless overwriting, a target that exists already ends it before
// anything is sent ("===WARNING===> open: File exists", counted in
// save_tally.existing); download, statistics line, the target's folders,
// safe save, file times, an empty line.  A listed new file whose local
// namesake has the listed size (an earlier save the camera's mark never
// followed) is fetched and compared instead: the same bytes print
// "%s: already here\n" and count as saved (nothing written); others leave
// both files as they are, "not saved" on stderr.  0 when the file is saved,
// with *saved filled; the caller then hands a file written on (the --exec
// command) and has it marked downloaded (camera_mark_downloaded).  Else
// -1, every one explained by a line on stderr naming the file
// (local_report_unsaved), the camera's refusal with its status byte
// included; *saved is then of no use.
int camera_get_file(const char *name, SavedFile *saved);

// After a saved `get` of `camera_path`: when the listing describes the
// file, its new mark is cleared on the camera (the cached attribute byte
// less ATTR_NEW); a mark the camera did not
// take is only reported ("%s: saved, but not marked downloaded on the
// camera\n" on stderr).
void camera_mark_downloaded(const char *camera_path);

// "Downloaded in %ld seconds, %ld bytes/s\n" for `count` bytes received
// since `start`.
void print_download_rate(time_t start, int count);

// mode 0: new bar (position 0, scale line); mode 1: the target column
// (float)done / (float)total * 80.0f, truncated: dots from the position up
// to it when it is past the position, then the position := target, also
// downward (a repeat draws its dots again).  Total 0: nothing.
void progress_bar(int mode, uint32_t total, uint32_t done);
// Ends the bar's line with "\n" when it holds dots (nothing otherwise);
// the next update then starts a row of its own.
void progress_bar_end(void);

#endif
