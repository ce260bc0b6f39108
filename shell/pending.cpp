// Development scaffolding: placeholders for operations whose modules are
// not written yet, so that the program links while the modules land one by
// one.  Every module that lands removes its block from this file; the file
// is deleted when the last block is gone.
#include <cstdio>

#include "camera/message.h"
#include "camera/connect.h"
#include "camera/status.h"
#include "files/cache.h"
#include "files/listing.h"
#include "files/download.h"
#include "files/localfile.h"
#include "files/manage.h"
#include "files/thumb.h"
#include "files/upload.h"

static void pending(const char *what) { std::fprintf(stderr, "%s: not built yet\n", what); }

// ---- files/listing.h ----
int camera_parse_listing(const uint8_t *, size_t, int, ListingReply *) { pending("camera_parse_listing"); return -1; }
int camera_ls(const char *) { pending("camera_ls"); return -1; }
int camera_last_ls(void) { pending("camera_last_ls"); return -1; }
void camera_print_entry(const ListingEntry *) { pending("camera_print_entry"); }

// ---- files/download.h ----
void download_begin(DownloadState *) { pending("download_begin"); }
int download_feed(DownloadState *, const Packet *) { pending("download_feed"); return DL_FAILED; }
void download_end(DownloadState *) { pending("download_end"); }
uint8_t *camera_download(const char *, int, int *) { pending("camera_download"); return nullptr; }
int camera_get_file(const char *) { pending("camera_get_file"); return -1; }
void progress_bar(int, uint32_t, uint32_t) { pending("progress_bar"); }

// ---- files/localfile.h ----
int local_name_check(const char *) { pending("local_name_check"); return -1; }
int local_save_file(const char *, const uint8_t *, size_t, int, long long, const char *) { pending("local_save_file"); return -1; }
int local_file_exists(const char *) { pending("local_file_exists"); return 0; }
int local_write_all(int, const uint8_t *, size_t) { pending("local_write_all"); return -1; }

// ---- files/manage.h ----
int camera_delete(const char *) { pending("camera_delete"); return -1; }
int camera_mkdir(const char *) { pending("camera_mkdir"); return -1; }
int camera_rmdir(const char *) { pending("camera_rmdir"); return -1; }
int camera_set_attrib(const char *, uint8_t) { pending("camera_set_attrib"); return -1; }
int camera_chmod(const char *, int, uint8_t) { pending("camera_chmod"); return -1; }

// ---- files/thumb.h ----
int camera_find_jpeg(const uint8_t *, size_t, size_t *, size_t *) { pending("camera_find_jpeg"); return -1; }
int camera_get_thumbnail(const char *, const char *) { pending("camera_get_thumbnail"); return -1; }
int camera_view(const char *) { pending("camera_view"); return -1; }

// ---- files/upload.h ----
int camera_upload(const char *, const char *) { pending("camera_upload"); return -1; }
