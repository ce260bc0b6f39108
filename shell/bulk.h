// Bulk commands over the listing cache.
#ifndef ORVIK_SHELL_BULK_H
#define ORVIK_SHELL_BULK_H

enum Selection { SELECT_ALL = 0, SELECT_NEW = 1, SELECT_OLD = 2 };

// Each: -1 with "last ls is empty\n" when the cache is empty, else 0.
int camera_get_last_ls(int selection);
int camera_delete_all(int selection);
int camera_chmod_all(int operation, int bit);
int camera_view_all(void);

#endif
