// The emulated card: a host folder seen through the camera's eyes.
//
// The folder's root is the drive "D:"; camera paths are DOS style
// (backslashes, a drive name first) and, as on the camera's FAT card,
// matched without regard to case (an exact spelling wins).  Names starting
// with '.' are invisible to the camera, so a folder can be kept in git with
// a hidden file and still look empty, and so that "." and ".." can never
// lead out of the card.  Symbolic links are invisible too.
//
// The attribute bytes (directory 0x10, new 0x20, protected 0x01) live in
// memory and, with a state file, survive restarts.
#ifndef ORVIK_CAMSIM_CARD_H
#define ORVIK_CAMSIM_CARD_H

#include <cstdint>
#include <string>
#include <vector>

constexpr uint8_t CARD_ATTR_PROTECTED = 0x01;
constexpr uint8_t CARD_ATTR_DIRECTORY = 0x10;
constexpr uint8_t CARD_ATTR_NEW = 0x20;

// Reply statuses for the camera's file requests (0: done).
enum CardStatus : uint8_t {
    CARD_OK = 0x00,
    CARD_NOT_FOUND = 0x02,
    CARD_BAD_PATH = 0x03,
    CARD_PROTECTED = 0x05,
    CARD_EXISTS = 0x06,
    CARD_NOT_EMPTY = 0x07,
    CARD_IO_ERROR = 0x08,
    CARD_NOT_JPEG = 0x09,
    CARD_WRONG_KIND = 0x0A,  // a folder where a file is needed, or the reverse
};

struct CardEntry {
    std::string name;   // as stored on disk
    bool is_dir;
    uint32_t size;      // 0 for folders
    int64_t mtime;      // host modification time, seconds since the epoch
    uint8_t attrib;
};

// A camera path resolved on the card.
struct CardPath {
    std::string host;    // host path of the file or folder
    std::string rel;     // path below the card root with '/', "" for the root
    std::string camera;  // the camera's spelling: "D:" then "\\name" per level
    bool is_dir;
};

// Remembers the root and loads the state file when given (a missing state
// file is an empty state).  Returns 0, or -1 when the root is no folder.
int card_open(const std::string &root, const std::string &state_file);

// Resolves an existing file or folder.  Returns CARD_OK, CARD_NOT_FOUND or
// CARD_BAD_PATH (no "D:" drive, a hidden or unusable name).
CardStatus card_resolve(const std::string &camera_path, CardPath *out);

// Entries of a folder in name order (byte order), hidden names skipped.
std::vector<CardEntry> card_list(const CardPath &dir);

uint8_t card_attrib(const CardPath &p);

CardStatus card_delete(const std::string &camera_path);
CardStatus card_mkdir(const std::string &camera_path);
CardStatus card_rmdir(const std::string &camera_path);
CardStatus card_set_attrib(const std::string &camera_path, uint8_t attrib);

// Writes one upload chunk at its offset; offset 0 creates or truncates the
// file (which then counts as new), a later offset needs the file to exist.
CardStatus card_write_chunk(const std::string &camera_path, uint32_t offset,
                            const uint8_t *bytes, size_t length);

// Whole contents of a file.
CardStatus card_read(const CardPath &p, std::vector<uint8_t> *out);

// Size and free space of the card's file system in bytes.
void card_space(uint64_t *size, uint64_t *free_bytes);

#endif
