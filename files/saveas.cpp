#include "files/saveas.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "files/cache.h"
#include "serial/output.h"

const char *saveas_pattern = nullptr;
SaveTally save_tally;

namespace {

// The expansion so far, each byte marked when it came from the camera's
// names rather than from the user's pattern.
struct Expansion {
    std::string text;
    std::vector<bool> camera;

    void add(const std::string &part, bool from_camera)
    {
        text += part;
        camera.insert(camera.end(), part.size(), from_camera);
    }
};

std::string time_field(const SaveSource &src, char token)
{
    struct tm parts {};
    time_t t = src.time;
    localtime_r(&t, &parts);
    int value = parts.tm_year + 1900;
    switch (token) {
    case 'm': value = parts.tm_mon + 1; break;
    case 'd': value = parts.tm_mday; break;
    case 'H': value = parts.tm_hour; break;
    case 'M': value = parts.tm_min; break;
    case 'S': value = parts.tm_sec; break;
    default: break;
    }
    char out[16];
    std::snprintf(out, sizeof out, token == 'Y' ? "%04d" : "%02d", value);
    return out;
}

// The text of token `c`; false for a token the pattern language lacks.
bool token_text(char c, const SaveSource &src, std::string *text, std::string *why)
{
    const char *dot = std::strrchr(src.local, '.');
    switch (c) {
    case 'n':
        *text = src.local;
        return true;
    case 'b':
        *text = dot != nullptr ? std::string(src.local, static_cast<size_t>(dot - src.local))
                               : std::string(src.local);
        return true;
    case 'e':
        *text = dot != nullptr ? dot + 1 : "";
        return true;
    case 'F':
        *text = src.folder;
        return true;
    case 'Y': case 'm': case 'd': case 'H': case 'M': case 'S':
        if (!src.has_time) {
            *why = "the listing gave no time for the file (list its folder first)";
            return false;
        }
        *text = time_field(src, c);
        return true;
    default:
        *why = std::string("unknown token %") + (c != 0 ? std::string(1, c) : std::string());
        return false;
    }
}

// A path that the camera's names would carry out of the pattern's tree:
// a name with a '/', a ".." level made with a camera name, a leading
// '/' that the pattern did not write.
bool leaves_tree(const Expansion &x, bool pattern_absolute, std::string *why)
{
    if (!pattern_absolute && !x.text.empty() && x.text[0] == '/') {
        *why = "the camera's names would make it an absolute path";
        return true;
    }
    size_t begin = 0;
    while (begin <= x.text.size()) {
        size_t end = x.text.find('/', begin);
        if (end == std::string::npos)
            end = x.text.size();
        bool from_camera = false;
        for (size_t i = begin; i < end; i++)
            from_camera = from_camera || x.camera[i];
        if (end - begin == 2 && x.text.compare(begin, 2, "..") == 0 && from_camera) {
            *why = "the camera's names would make a \"..\" level";
            return true;
        }
        begin = end + 1;
    }
    return false;
}

// Appends the text of token `c`; false with the reason when there is none
// or when it holds a '/', which would make levels of the camera's choice.
bool add_token(Expansion *x, char c, const SaveSource &src, std::string *why)
{
    std::string text;
    if (!token_text(c, src, &text, why))
        return false;
    if (text.find('/') != std::string::npos) {
        *why = "a name from the camera holds a '/'";
        return false;
    }
    x->add(text, true);
    return true;
}

}  // namespace

int saveas_expand(const char *pattern, const SaveSource &src, std::string *out,
                  std::string *why)
{
    Expansion x;
    for (const char *p = pattern; *p != 0; p++) {
        if (*p != '%') {
            x.add(std::string(1, *p), false);
            continue;
        }
        p++;
        if (*p == '%') {
            x.add("%", false);
            continue;
        }
        if (!add_token(&x, *p, src, why))
            return -1;
    }
    if (!x.text.empty() && x.text.back() == '/' && !add_token(&x, 'n', src, why))
        return -1;
    if (leaves_tree(x, pattern[0] == '/', why))
        return -1;
    const size_t slash = x.text.rfind('/');
    const std::string file = slash == std::string::npos ? x.text : x.text.substr(slash + 1);
    if (file.empty() || file == "." || file == "..") {
        *why = "the pattern gives no file name";
        return -1;
    }
    *out = x.text;
    return 0;
}

int saveas_set_pattern(const char *pattern)
{
    const char *problem = pattern[0] == 0 ? "the pattern is empty" : nullptr;
    for (const char *p = pattern; problem == nullptr && *p != 0; p++)
        if (*p == '%' && (p[1] == 0 || std::strchr("nbeFYmdHMS%", p[1]) == nullptr))
            problem = "unknown token after '%' (known: %n %b %e %F %Y %m %d %H %M %S %%)";
        else if (*p == '%')
            p++;
    if (problem != nullptr) {
        out_complaint("--save-as: %s\n", problem);
        return -1;
    }
    saveas_pattern = pattern;
    return 0;
}

int saveas_make_folders(const std::string &path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        const std::string folder = path.substr(0, at);
        if (mkdir(folder.c_str(), 0755) == 0)
            continue;
        if (errno == EEXIST) {
            struct stat st;
            if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                continue;
            errno = ENOTDIR;
        }
        std::perror(folder.c_str());
        return -1;
    }
    return 0;
}

int saveas_target(const char *camera_path, const char *local, bool has_time, time_t time,
                  char *out, size_t size)
{
    std::string path = local;
    if (saveas_pattern != nullptr) {
        // The folder is the level before the file's own: "100CANON" of
        // D:\DCIM\100CANON\IMG_0001.JPG.
        std::string camera = camera_path;
        const size_t last = camera.rfind('\\');
        camera.resize(last == std::string::npos ? 0 : last);
        const size_t before = camera.rfind('\\');
        const std::string folder = before == std::string::npos ? camera : camera.substr(before + 1);
        std::string why;
        const SaveSource src{local, folder.c_str(), has_time, time};
        if (saveas_expand(saveas_pattern, src, &path, &why) != 0) {
            char shown[CAMERA_PATH_MAX];
            out_error("save-as: %s: %s\n", camera_printable(camera_path, shown),
                      why.c_str());
            return -1;
        }
    }
    if (path.size() >= size) {
        out_error("save-as: %s: %s\n", path.c_str(), std::strerror(ENAMETOOLONG));
        return -1;
    }
    std::snprintf(out, size, "%s", path.c_str());
    return 0;
}

void saveas_print_tally(void)
{
    if (!save_tally.report)
        return;
    out_error("%d saved, %d skipped as existing, %d failed\n", save_tally.saved,
              save_tally.existing, save_tally.tried - save_tally.saved - save_tally.existing);
}
