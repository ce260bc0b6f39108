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

// Remembers the root and loads the state file when given (a missing or
// unreadable state file is an empty state; lines it cannot read are
// skipped).  Returns 0, or -1 when the root is no folder; the card is then
// as it was.
int card_open(const std::string &root, const std::string &state_file);

// Resolves an existing file or folder, each level by its exact spelling or
// else by its first match without regard to case.  Returns CARD_OK with
// *out filled, CARD_NOT_FOUND (a level is missing or lies below a file) or
// CARD_BAD_PATH (no "D:" drive, a hidden or unusable name); on failure *out
// holds what was resolved so far and means nothing.
CardStatus card_resolve(const std::string &camera_path, CardPath *out);

// Entries of a folder in name order (byte order); hidden names, links and
// anything neither file nor folder skipped.  Empty when the folder cannot
// be read.  Sizes beyond 32 bits read as 0xFFFFFFFF.
std::vector<CardEntry> card_list(const CardPath &dir);

// The entry's attribute byte: the remembered one, else folder 0x10 or a
// file never downloaded 0x20.
uint8_t card_attrib(const CardPath &p);

// Each resolves the path first and returns its failure unchanged, then:
//  - card_delete: a file only (CARD_WRONG_KIND for a folder), not when
//    protected (CARD_PROTECTED);
//  - card_mkdir: CARD_EXISTS when the name is taken in any case;
//  - card_rmdir: a folder only, never the card's root (CARD_BAD_PATH),
//    CARD_NOT_EMPTY when it holds anything visible (hidden files go with
//    it);
//  - card_set_attrib: not the root (CARD_BAD_PATH); the folder bit always
//    follows what the entry is.
// A failed system call gives CARD_IO_ERROR.  Only CARD_OK changes the card
// or the remembered attributes (saved to the state file at once).
CardStatus card_delete(const std::string &camera_path);
CardStatus card_mkdir(const std::string &camera_path);
CardStatus card_rmdir(const std::string &camera_path);
CardStatus card_set_attrib(const std::string &camera_path, uint8_t attrib);

// Writes one upload chunk at its offset; offset 0 creates or truncates the
// file (which then counts as new), a later offset needs the file to exist
// (CARD_NOT_FOUND).  A protected file is not truncated (CARD_PROTECTED), a
// folder not written (CARD_WRONG_KIND).  CARD_IO_ERROR when a write fails:
// the file may then hold part of the chunk.
CardStatus card_write_chunk(const std::string &camera_path, uint32_t offset,
                            const uint8_t *bytes, size_t length);

// Whole contents of a file into *out.  CARD_WRONG_KIND for a folder,
// CARD_NOT_FOUND when it cannot be opened (*out untouched), CARD_IO_ERROR
// when a read fails (*out then holds what was read).
CardStatus card_read(const CardPath &p, std::vector<uint8_t> *out);

// Size and free space of the card's file system in bytes (both 0 when the
// system does not tell).
void card_space(uint64_t *size, uint64_t *free_bytes);

#endif
