// What the camera does with each request message and what it answers:
// the request table as the camera knows it, and the reply messages built
// from the card.
#ifndef ORVIK_CAMSIM_REQUESTS_H
#define ORVIK_CAMSIM_REQUESTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "camsim/options.h"

// Request types, numbered as the host numbers its message table.
enum RequestType {
    REQ_ID = 0,
    REQ_FILE = 1,
    REQ_DISK_INFO = 5,
    REQ_DISK = 6,
    REQ_LIST = 9,
    REQ_DELETE = 10,
    REQ_POWER = 11,  // type 7 is the very same request
    REQ_DATE = 12,
    REQ_SET_ATTR = 13,
    REQ_MKDIR = 14,
    REQ_RMDIR = 15,
    REQ_UPLOAD = 16,
};

// Status of a reply to a request the camera cannot take apart.
constexpr uint8_t REPLY_BAD_REQUEST = 0x04;
// Status of a download the camera refuses for a fault being injected.
constexpr uint8_t REPLY_REFUSED = 0x01;
// Status of an upload chunk for which the card has no room.
constexpr uint8_t REPLY_CARD_FULL = 0x0B;
// Disk-info status for a drive the camera does not have.
constexpr uint8_t REPLY_NO_DRIVE = 0x87;

// Size of the header that opens every message of a file transfer.
constexpr size_t FILE_HEADER_LEN = 36;

struct Request {
    int type;                 // RequestType or another table row, -1 unknown
    const uint8_t *header;    // the 16-byte message header
    const uint8_t *payload;
    size_t payload_len;
};

// Takes a request message apart.  False when it is shorter than its header.
bool request_parse(const uint8_t *msg, size_t len, Request *req);

// One line for the log: "request type=9 path=D:\DCIM" (control bytes as \xHH).
std::string request_note(const Request &req);

// The reply message of a single-packet request (every type but list and
// file), carrying out what it asks on the card.
std::vector<uint8_t> reply_single(const Request &req, const CamsimOptions &opts);

// The reply of a single-packet request the camera refuses without doing
// anything: the plain layout with `status` at byte 16.
std::vector<uint8_t> reply_refused(const Request &req, uint8_t status);

// The listing reply message (header, the folder's own record, one record
// per entry, the end record), or a refusal whose byte 21 is not 0x80.
std::vector<uint8_t> reply_listing(const Request &req, const CamsimOptions &opts);

// The bytes a file request asks for: the file, or its thumbnail.  Returns
// 0 with *data filled, or the nonzero status of a refusal.
uint8_t file_contents(const Request &req, const CamsimOptions &opts,
                      std::vector<uint8_t> *data);

// 36-byte header of a file transfer message: status, total size, the
// message's offset in the file and its number of file bytes.
std::vector<uint8_t> file_header(const Request &req, uint8_t status, uint32_t total,
                                 uint32_t offset, uint32_t count);

// The greeting message; its text starts at byte 22.
std::vector<uint8_t> greeting_message(const CamsimOptions &opts);

// Seconds the camera's clock shows for host time t: local wall-clock time
// counted as if it were UTC.
int32_t camera_clock(int64_t t);

#endif
