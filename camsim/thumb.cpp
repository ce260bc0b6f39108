#include "camsim/thumb.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace {

struct JpegError {
    jpeg_error_mgr mgr;  // first member: libjpeg hands this pointer back
    jmp_buf escape;
};

[[noreturn]] void on_jpeg_error(j_common_ptr cinfo)
{
    // libjpeg's default would end the process; a bad photo only means no
    // thumbnail for it.
    JpegError *err = reinterpret_cast<JpegError *>(cinfo->err);
    longjmp(err->escape, 1);
}

void quiet(j_common_ptr, int) {}

constexpr uint8_t HEADER[THUMB_HEADER_LEN] = {0x00, 0x01, 'T', 'H', 'U', 'M', 'B', 0x00};

// Decoded image: RGB rows, `width` x `height`.  Plain buffers owned by the
// caller, so that nothing needs destroying when libjpeg jumps out.
struct Raster {
    unsigned char *pixels;
    int width;
    int height;
};

bool decode(const std::vector<uint8_t> &photo, Raster *r)
{
    jpeg_decompress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = on_jpeg_error;
    err.mgr.emit_message = quiet;
    if (setjmp(err.escape)) {
        jpeg_destroy_decompress(&cinfo);
        std::free(r->pixels);
        r->pixels = nullptr;
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, photo.data(), static_cast<unsigned long>(photo.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    cinfo.scale_num = 1;
    cinfo.scale_denom = 1;
    while (cinfo.scale_denom < 8 && cinfo.image_width / cinfo.scale_denom > THUMB_MAX_WIDTH)
        cinfo.scale_denom *= 2;
    jpeg_start_decompress(&cinfo);
    size_t stride = static_cast<size_t>(cinfo.output_width) * 3;
    r->width = static_cast<int>(cinfo.output_width);
    r->height = static_cast<int>(cinfo.output_height);
    r->pixels = static_cast<unsigned char *>(std::malloc(stride * cinfo.output_height));
    if (!r->pixels) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = r->pixels + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// Halves the raster (picking every other pixel) until it is narrow enough.
void shrink(Raster *r)
{
    while (r->width > THUMB_MAX_WIDTH && r->height > 1) {
        int w = r->width / 2, h = r->height / 2;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                std::memcpy(r->pixels + (static_cast<size_t>(y) * w + x) * 3,
                            r->pixels + (static_cast<size_t>(2 * y) * r->width + 2 * x) * 3, 3);
        r->width = w;
        r->height = h;
    }
}

bool encode(const Raster &r, unsigned char **jpeg, unsigned long *jpeg_len)
{
    jpeg_compress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = on_jpeg_error;
    err.mgr.emit_message = quiet;
    if (setjmp(err.escape)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, jpeg, jpeg_len);
    cinfo.image_width = static_cast<JDIMENSION>(r.width);
    cinfo.image_height = static_cast<JDIMENSION>(r.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 75, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    size_t stride = static_cast<size_t>(r.width) * 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = r.pixels + stride * cinfo.next_scanline;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

} // namespace

bool thumb_make(const std::vector<uint8_t> &photo, std::vector<uint8_t> *out)
{
    out->clear();
    if (photo.size() < 4 || photo[0] != 0xFF || photo[1] != 0xD8)
        return false;
    Raster r{nullptr, 0, 0};
    if (!decode(photo, &r))
        return false;
    shrink(&r);
    unsigned char *jpeg = nullptr;
    unsigned long jpeg_len = 0;
    bool ok = encode(r, &jpeg, &jpeg_len);
    std::free(r.pixels);
    if (ok && jpeg_len >= 4) {
        out->assign(HEADER, HEADER + THUMB_HEADER_LEN);
        out->insert(out->end(), jpeg, jpeg + jpeg_len);
        out->insert(out->end(), THUMB_TRAILER_LEN, 0x00);
    } else {
        ok = false;
    }
    std::free(jpeg);
    return ok;
}
