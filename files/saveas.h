// Where a downloaded file goes: the --save-as pattern expanded from what
// the listing says of the file, and the folders it needs.
#ifndef ORVIK_FILES_SAVEAS_H
#define ORVIK_FILES_SAVEAS_H

#include <cstddef>
#include <ctime>
#include <string>

// The --save-as pattern; nullptr (the default) saves under the local name
// in the current directory.
extern const char *saveas_pattern;

// Takes `pattern` (kept, not copied) as saveas_pattern.  Returns 0, or -1
// after "orvik: --save-as: %s\n" on stderr for an empty pattern or one
// with a token the list below lacks (a lone '%' at the end too).
int saveas_set_pattern(const char *pattern);

// What a pattern is expanded from.
struct SaveSource {
    const char *local;   // the local name (after -L)
    const char *folder;  // the camera folder's last part, e.g. "100CANON"
    bool has_time;       // the listing gave the file's time
    time_t time;         // that time (shown in local time, as ls prints it)
};

// Expands `pattern`: %n the local name, %b it without its extension, %e
// the extension (no dot; empty without one), %F the folder, %Y %m %d %H %M
// %S the time's fields, %% a percent sign; a pattern ending in '/' gets %n
// appended.  Pure.  Returns 0 with the path in *out, or -1 with the reason
// in *why (*out unspecified) when the result would leave the pattern's
// tree through what the camera named (a substituted text holding a '/',
// making a ".." level or an absolute path), when the file name part is
// empty, "." or "..", when a time token has no time, or on an unknown
// token.
int saveas_expand(const char *pattern, const SaveSource &src, std::string *out,
                  std::string *why);

// Creates the folders leading to `path` (its last part is the file), each
// with mode 0755 as mkdir -p does; existing ones are fine.  Returns 0, or
// -1 after perror(folder) for the first that cannot be made.
int saveas_make_folders(const std::string &path);

// The local path of the download of camera path `camera_path`: `local`
// itself without a pattern; with one, its expansion (its folders are made
// only once the file has arrived, by saveas_make_folders).  Returns 0 with
// the path in out[size], or -1 after "save-as: %s: %s\n" on stderr naming
// the file and the reason.
int saveas_target(const char *camera_path, const char *local, bool has_time, time_t time,
                  char *out, size_t size);

// What the batch downloads did, for their closing line.
struct SaveTally {
    int tried;     // files a bulk download tried
    int saved;     // of those, saved
    int existing;  // not downloaded because the target existed
    bool report;   // an import option was given: the closing line is printed
};
extern SaveTally save_tally;

// "%d saved, %d skipped as existing, %d failed\n" on stderr from save_tally,
// when save_tally.report is set.
void saveas_print_tally(void);

#endif
