#include "files/termimage.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chafa.h>
#include <jpeglib.h>

#include "serial/fdio.h"

namespace {

constexpr int MAX_COLUMNS = 60;
// A camera thumbnail is a few kilobytes and 160 pixels across; anything far
// larger under the temporary name is not worth decoding for a preview.
constexpr off_t MAX_FILE_SIZE = 8 << 20;
constexpr unsigned long MAX_PIXELS = 4096UL * 4096UL;
// When the terminal does not report its cell size in pixels.
constexpr int DEFAULT_CELL_WIDTH = 10;
constexpr int DEFAULT_CELL_HEIGHT = 20;

enum class Drawing { AUTO, KITTY, SIXEL, ITERM, SYMBOLS, NONE };

// The names of --images, in the order of Drawing.
constexpr const char *DRAWING_NAMES[] = {"auto", "kitty", "sixel", "iterm", "symbols", "none"};

// What the user chose, and what the terminal said when it was asked (once
// a run: a terminal that does not answer would cost the wait each time).
struct TermImages {
    Drawing chosen = Drawing::AUTO;
    bool asked = false;
    Drawing answered = Drawing::SYMBOLS;
};
TermImages term_images;

constexpr int ANSWER_WAIT_MS = 200;

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
        size_t want = static_cast<size_t>(st.st_size);
        data = static_cast<unsigned char *>(std::malloc(want));
        if (data != nullptr && fdio_read_full(fd, data, want) != static_cast<ssize_t>(want)) {
            std::free(data);
            data = nullptr;
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

// The graphics protocol the terminal database knows this terminal for,
// from the environment; SYMBOLS when none.
Drawing known_drawing(const ChafaTermInfo *term)
{
    if (chafa_term_info_have_seq(term, CHAFA_TERM_SEQ_BEGIN_KITTY_IMMEDIATE_IMAGE_V1))
        return Drawing::KITTY;
    if (chafa_term_info_have_seq(term, CHAFA_TERM_SEQ_BEGIN_ITERM2_IMAGE))
        return Drawing::ITERM;
    if (chafa_term_info_have_seq(term, CHAFA_TERM_SEQ_BEGIN_SIXELS))
        return Drawing::SIXEL;
    return Drawing::SYMBOLS;
}

// The drawing a terminal's answer announces: kitty's "OK" to the graphics
// query, or attribute 4 among the primary device attributes "ESC [ ? 62 ;
// 4 ; ... c".
Drawing answered_drawing(const char *answer)
{
    if (std::strstr(answer, "\33_Gi=31;OK") != nullptr)
        return Drawing::KITTY;
    const char *da = std::strstr(answer, "\33[?");
    if (da == nullptr)
        return Drawing::SYMBOLS;
    for (const char *p = da + 3; *p >= '0' && *p <= '9';) {
        char *end;
        long attribute = std::strtol(p, &end, 10);
        if (attribute == 4 && (*end == ';' || *end == 'c'))
            return Drawing::SIXEL;
        p = *end == ';' ? end + 1 : end;
    }
    return Drawing::SYMBOLS;
}

// Whether `answer` holds the device attributes up to their final 'c': every
// terminal answers that query, and it is sent last, so it ends the answer.
bool answer_complete(const char *answer)
{
    const char *da = std::strstr(answer, "\33[?");
    return da != nullptr && da[3 + std::strspn(da + 3, "0123456789;")] == 'c';
}

long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads the terminal's answer from `in` until it is complete or the wait is
// over.  The terminal is already in non-canonical mode without echo.
void read_answer(int in, char *answer, size_t size)
{
    size_t used = 0;
    answer[0] = '\0';
    long deadline = now_ms() + ANSWER_WAIT_MS;
    while (!answer_complete(answer) && used + 1 < size) {
        long left = deadline - now_ms();
        struct pollfd p = {in, POLLIN, 0};
        int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        ssize_t n = read(in, answer + used, size - 1 - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
        answer[used] = '\0';
    }
}

// Asks the terminal on `in` (input) and `out` (output) what it draws.  Not
// from a background job: changing the terminal's modes there would stop
// the process.
Drawing ask_terminal(int in, int out)
{
    struct termios saved;
    pid_t foreground = tcgetpgrp(in);
    if ((foreground != -1 && foreground != getpgrp()) || tcgetattr(in, &saved) != 0)
        return Drawing::SYMBOLS;
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    quiet.c_cc[VMIN] = 1;
    quiet.c_cc[VTIME] = 0;
    if (tcsetattr(in, TCSANOW, &quiet) != 0)
        return Drawing::SYMBOLS;
    // A terminal without the kitty protocol passes over the query (an APC
    // string); all answer the device attributes.
    static const char query[] = "\33_Gi=31,s=1,v=1,a=q,t=d,f=24;AAAA\33\\\33[c";
    char answer[512];
    answer[0] = '\0';
    if (fdio_write_all(out, query, sizeof query - 1) == 0)
        read_answer(in, answer, sizeof answer);
    if (!answer_complete(answer))
        tcflush(in, TCIFLUSH);
    tcsetattr(in, TCSANOW, &saved);
    return answered_drawing(answer);
}

// Whether descriptors `a` and `b` are the same terminal device.
bool same_terminal(int a, int b)
{
    struct stat sa, sb;
    return isatty(a) && isatty(b) && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 &&
           S_ISCHR(sa.st_mode) && sa.st_rdev == sb.st_rdev;
}

// The drawing for a picture on `fd`: the user's choice, else what the
// environment names, else what the terminal answers.
Drawing pick_drawing(const ChafaTermInfo *term, int fd)
{
    if (term_images.chosen != Drawing::AUTO)
        return term_images.chosen;
    Drawing known = known_drawing(term);
    if (known != Drawing::SYMBOLS || !same_terminal(STDIN_FILENO, fd))
        return known;
    if (!term_images.asked) {
        term_images.answered = ask_terminal(STDIN_FILENO, fd);
        term_images.asked = true;
    }
    return term_images.answered;
}

// Sets the canvas up for `drawing`; for symbols, the colour depth the
// terminal is known for.
void choose_modes(ChafaCanvasConfig *config, const ChafaTermInfo *term, Drawing drawing)
{
    if (drawing == Drawing::KITTY) {
        chafa_canvas_config_set_pixel_mode(config, CHAFA_PIXEL_MODE_KITTY);
    } else if (drawing == Drawing::ITERM) {
        chafa_canvas_config_set_pixel_mode(config, CHAFA_PIXEL_MODE_ITERM2);
    } else if (drawing == Drawing::SIXEL) {
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

// The picture's size in character cells and the cells' size in pixels on
// the terminal at `fd`, for a picture of width x height pixels.
struct CanvasGeometry {
    int width, height;
    int cell_width, cell_height;
};

CanvasGeometry canvas_geometry(int fd, int width, int height)
{
    struct winsize ws;
    std::memset(&ws, 0, sizeof ws);
    ioctl(fd, TIOCGWINSZ, &ws);
    int columns = ws.ws_col != 0 ? ws.ws_col : 80;
    int rows = ws.ws_row != 0 ? ws.ws_row : 24;
    CanvasGeometry g{0, 0, DEFAULT_CELL_WIDTH, DEFAULT_CELL_HEIGHT};
    if (ws.ws_xpixel != 0 && ws.ws_ypixel != 0 && ws.ws_col != 0 && ws.ws_row != 0) {
        g.cell_width = ws.ws_xpixel / ws.ws_col > 0 ? ws.ws_xpixel / ws.ws_col : g.cell_width;
        g.cell_height = ws.ws_ypixel / ws.ws_row > 0 ? ws.ws_ypixel / ws.ws_row : g.cell_height;
    }
    // Half the height leaves the question and the last lines of the
    // session in view below the picture.
    g.width = columns < MAX_COLUMNS ? columns : MAX_COLUMNS;
    g.height = rows / 2 > 0 ? rows / 2 : 1;
    chafa_calc_canvas_geometry(width, height, &g.width, &g.height,
                               static_cast<float>(g.cell_width) / static_cast<float>(g.cell_height),
                               FALSE, FALSE);
    return g;
}

// The terminal at `fd` as the database knows it, and in *drawing how to
// draw on it.  The caller unrefs it.
ChafaTermInfo *detect_terminal(int fd, Drawing *drawing)
{
    gchar **envp = g_get_environ();
    ChafaTermDb *db = chafa_term_db_get_default();
    ChafaTermInfo *term = chafa_term_db_detect(db, envp);
    g_strfreev(envp);
    *drawing = pick_drawing(term, fd);
    if (*drawing != known_drawing(term) && *drawing != Drawing::SYMBOLS) {
        // The terminal can more than its name tells: take the protocol's
        // sequences from the database's general terminal.
        ChafaTermInfo *general = chafa_term_db_get_fallback_info(db);
        chafa_term_info_supplement(term, general);
        chafa_term_info_unref(general);
    }
    return term;
}

int draw_pixels(const unsigned char *rgb, int width, int height, int fd)
{
    const CanvasGeometry g = canvas_geometry(fd, width, height);
    Drawing drawing;
    ChafaTermInfo *term = detect_terminal(fd, &drawing);

    ChafaCanvasConfig *config = chafa_canvas_config_new();
    chafa_canvas_config_set_geometry(config, g.width, g.height);
    chafa_canvas_config_set_cell_geometry(config, g.cell_width, g.cell_height);
    choose_modes(config, term, drawing);
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
    int result = fdio_write_all(fd, text->str, text->len);

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
    if (!isatty(fd) || term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0 ||
        term_images.chosen == Drawing::NONE)
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

int term_images_choose(const char *mode)
{
    for (size_t i = 0; i < sizeof DRAWING_NAMES / sizeof DRAWING_NAMES[0]; i++) {
        if (std::strcmp(mode, DRAWING_NAMES[i]) == 0) {
            term_images.chosen = static_cast<Drawing>(i);
            term_images.asked = false;
            return 0;
        }
    }
    return -1;
}
