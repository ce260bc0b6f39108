#include "files/termimage.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chafa.h>
#include <jpeglib.h>

#include "files/localfile.h"

namespace {

constexpr int MAX_COLUMNS = 60;
// A camera thumbnail is a few kilobytes and 160 pixels across; anything far
// larger under the temporary name is not worth decoding for a preview.
constexpr off_t MAX_FILE_SIZE = 8 << 20;
constexpr unsigned long MAX_PIXELS = 4096UL * 4096UL;
// When the terminal does not report its cell size in pixels.
constexpr int DEFAULT_CELL_WIDTH = 10;
constexpr int DEFAULT_CELL_HEIGHT = 20;

// libjpeg reports fatal errors through error_exit, which must not return:
// it jumps back into decode_jpeg.
struct Decoder {
    jpeg_error_mgr mgr;  // first, so that libjpeg's pointer is ours too
    std::jmp_buf back;
};

[[noreturn]] void decoder_fail(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<Decoder *>(cinfo->err)->back, 1);
}

// Warnings are counted by libjpeg and judged afterwards; the terminal is
// not the place to print them.
void decoder_quiet(j_common_ptr) {}

// The whole file in a malloc'd buffer; nullptr when it cannot be read.
unsigned char *read_small_file(const char *path, size_t *size)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    unsigned char *data = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        st.st_size <= MAX_FILE_SIZE) {
        size_t want = static_cast<size_t>(st.st_size), got = 0;
        data = static_cast<unsigned char *>(std::malloc(want));
        while (data != nullptr && got < want) {
            ssize_t n = read(fd, data + got, want - got);
            if (n <= 0) {
                std::free(data);
                data = nullptr;
            } else {
                got += static_cast<size_t>(n);
            }
        }
        *size = want;
    }
    close(fd);
    return data;
}

// RGB pixels (malloc'd, rows of width * 3 bytes), or nullptr for data that
// is no clean JPEG image.  A thumbnail damaged on the line still decodes
// with warnings into grey or smeared rows; such a picture would only
// mislead the user deciding whether to delete the photo.
unsigned char *decode_jpeg(const unsigned char *data, size_t size, int *width, int *height)
{
    jpeg_decompress_struct cinfo;
    Decoder err;
    unsigned char *volatile pixels = nullptr;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = decoder_fail;
    err.mgr.output_message = decoder_quiet;
    if (setjmp(err.back) != 0) {
        jpeg_destroy_decompress(&cinfo);
        std::free(pixels);
        return nullptr;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    unsigned long w = cinfo.output_width, h = cinfo.output_height;
    if (w == 0 || h == 0 || w * h > MAX_PIXELS || cinfo.output_components != 3) {
        jpeg_destroy_decompress(&cinfo);
        return nullptr;
    }
    pixels = static_cast<unsigned char *>(std::malloc(w * h * 3));
    if (pixels == nullptr) {
        jpeg_destroy_decompress(&cinfo);
        return nullptr;
    }
    while (cinfo.output_scanline < h) {
        JSAMPROW row = pixels + cinfo.output_scanline * w * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    bool damaged = err.mgr.num_warnings != 0;
    jpeg_destroy_decompress(&cinfo);
    if (damaged) {
        std::free(pixels);
        return nullptr;
    }
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return pixels;
}

// Block symbols need a terminal that takes UTF-8; the locale variables are
// the user's statement of that, in the order the C library weighs them.
bool utf8_locale(void)
{
    static const char *const names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    for (const char *name : names) {
        const char *value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return strcasestr(value, "UTF-8") != nullptr || strcasestr(value, "utf8") != nullptr;
    }
    return false;
}

// Picks the best drawing the terminal is known for: graphics protocols
// first, then colour depth.
void choose_modes(ChafaCanvasConfig *config, const ChafaTermInfo *term)
{
    if (chafa_term_info_have_seq(term, CHAFA_TERM_SEQ_BEGIN_KITTY_IMMEDIATE_IMAGE_V1)) {
        chafa_canvas_config_set_pixel_mode(config, CHAFA_PIXEL_MODE_KITTY);
    } else if (chafa_term_info_have_seq(term, CHAFA_TERM_SEQ_BEGIN_ITERM2_IMAGE)) {
        chafa_canvas_config_set_pixel_mode(config, CHAFA_PIXEL_MODE_ITERM2);
    } else if (chafa_term_info_have_seq(term, CHAFA_TERM_SEQ_BEGIN_SIXELS)) {
        chafa_canvas_config_set_pixel_mode(config, CHAFA_PIXEL_MODE_SIXELS);
    } else {
        chafa_canvas_config_set_pixel_mode(config, CHAFA_PIXEL_MODE_SYMBOLS);
        ChafaCanvasMode mode = CHAFA_CANVAS_MODE_FGBG;
        if (chafa_term_info_have_seq(term, CHAFA_TERM_SEQ_SET_COLOR_FGBG_DIRECT))
            mode = CHAFA_CANVAS_MODE_TRUECOLOR;
        else if (chafa_term_info_have_seq(term, CHAFA_TERM_SEQ_SET_COLOR_FGBG_256))
            mode = CHAFA_CANVAS_MODE_INDEXED_240;
        else if (chafa_term_info_have_seq(term, CHAFA_TERM_SEQ_SET_COLOR_FGBG_16))
            mode = CHAFA_CANVAS_MODE_INDEXED_16;
        chafa_canvas_config_set_canvas_mode(config, mode);
    }
}

int draw_pixels(const unsigned char *rgb, int width, int height, int fd)
{
    struct winsize ws;
    std::memset(&ws, 0, sizeof ws);
    ioctl(fd, TIOCGWINSZ, &ws);
    int columns = ws.ws_col != 0 ? ws.ws_col : 80;
    int rows = ws.ws_row != 0 ? ws.ws_row : 24;
    int cell_width = DEFAULT_CELL_WIDTH, cell_height = DEFAULT_CELL_HEIGHT;
    if (ws.ws_xpixel != 0 && ws.ws_ypixel != 0 && ws.ws_col != 0 && ws.ws_row != 0) {
        cell_width = ws.ws_xpixel / ws.ws_col > 0 ? ws.ws_xpixel / ws.ws_col : cell_width;
        cell_height = ws.ws_ypixel / ws.ws_row > 0 ? ws.ws_ypixel / ws.ws_row : cell_height;
    }
    // Half the height leaves the question and the last lines of the
    // session in view below the picture.
    int canvas_width = columns < MAX_COLUMNS ? columns : MAX_COLUMNS;
    int canvas_height = rows / 2 > 0 ? rows / 2 : 1;
    chafa_calc_canvas_geometry(width, height, &canvas_width, &canvas_height,
                               static_cast<float>(cell_width) / static_cast<float>(cell_height),
                               FALSE, FALSE);

    gchar **envp = g_get_environ();
    ChafaTermInfo *term = chafa_term_db_detect(chafa_term_db_get_default(), envp);
    g_strfreev(envp);

    ChafaCanvasConfig *config = chafa_canvas_config_new();
    chafa_canvas_config_set_geometry(config, canvas_width, canvas_height);
    chafa_canvas_config_set_cell_geometry(config, cell_width, cell_height);
    choose_modes(config, term);
    ChafaSymbolMap *symbols = chafa_symbol_map_new();
    chafa_symbol_map_add_by_tags(symbols, utf8_locale()
                                              ? static_cast<ChafaSymbolTags>(CHAFA_SYMBOL_TAG_BLOCK |
                                                                             CHAFA_SYMBOL_TAG_SPACE)
                                              : CHAFA_SYMBOL_TAG_ASCII);
    chafa_canvas_config_set_symbol_map(config, symbols);

    ChafaCanvas *canvas = chafa_canvas_new(config);
    chafa_canvas_draw_all_pixels(canvas, CHAFA_PIXEL_RGB8, rgb, width, height, width * 3);
    GString *text = chafa_canvas_print(canvas, term);
    // The colours end with the picture, and the question starts on a line
    // of its own.
    g_string_append(text, "\33[0m\n");
    int result = local_write_all(fd, reinterpret_cast<const uint8_t *>(text->str), text->len);

    g_string_free(text, TRUE);
    chafa_canvas_unref(canvas);
    chafa_symbol_map_unref(symbols);
    chafa_canvas_config_unref(config);
    chafa_term_info_unref(term);
    return result;
}

}  // namespace

int term_draw_jpeg(const char *path, int fd)
{
    const char *term = std::getenv("TERM");
    if (!isatty(fd) || term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0)
        return -1;
    size_t size = 0;
    unsigned char *data = read_small_file(path, &size);
    if (data == nullptr)
        return -1;
    int width = 0, height = 0;
    unsigned char *rgb = decode_jpeg(data, size, &width, &height);
    std::free(data);
    if (rgb == nullptr)
        return -1;
    int result = draw_pixels(rgb, width, height, fd);
    std::free(rgb);
    return result;
}
