// The camera's thumbnails: a reduced copy of a JPEG photo, wrapped the way
// the camera delivers it (a short leading header, the JPEG image, a short
// trailer), so that a reader has to find the image inside the data.
#ifndef ORVIK_CAMSIM_THUMB_H
#define ORVIK_CAMSIM_THUMB_H

#include <cstdint>
#include <vector>

constexpr int THUMB_MAX_WIDTH = 160;
constexpr int THUMB_HEADER_LEN = 8;
constexpr int THUMB_TRAILER_LEN = 2;

// Decodes the JPEG `photo` at the largest reduction that gives at most
// THUMB_MAX_WIDTH pixels across (further halving when 1/8 is still wider),
// encodes it again and wraps it in *out.  False when the photo is no
// decodable JPEG (*out is then empty).
bool thumb_make(const std::vector<uint8_t> &photo, std::vector<uint8_t> *out);

#endif
