#include "files/select.h"

#include <fnmatch.h>
#include <vector>

namespace {

struct Filters {
    std::vector<const char *> only;
    std::vector<const char *> skip;
};
Filters filters;

bool matches(const char *name, const std::vector<const char *> &globs)
{
    return select_matches(name, globs.data(), static_cast<int>(globs.size()));
}

}  // namespace

void select_add_only(const char *glob)
{
    filters.only.push_back(glob);
}

void select_add_skip(const char *glob)
{
    filters.skip.push_back(glob);
}

bool select_active(void)
{
    return !filters.only.empty() || !filters.skip.empty();
}

bool select_matches(const char *name, const char *const *globs, int count)
{
    // Camera names are upper case, the globs people type for them mostly
    // not: "*.jpg" must find IMG_0001.JPG.
    for (int i = 0; i < count; i++)
        if (fnmatch(globs[i], name, FNM_CASEFOLD) == 0)
            return true;
    return false;
}

bool select_takes(const ListingEntry &entry)
{
    if ((entry.attrib & ATTR_DIRECTORY) != 0)
        return true;
    if (!filters.only.empty() && !matches(entry.name, filters.only))
        return false;
    return !matches(entry.name, filters.skip);
}
