// Saving into the current directory: names, existing files, links, modes.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files/localfile.h"
#include "files/saveas.h"
#include "serial/fdio.h"

namespace {

std::string slurp(const char *path)
{
    std::string out;
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return "<missing>";
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

void spit(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

std::vector<std::string> names_in(const char *dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir);
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    return names;
}

// Each test runs in a fresh directory of its own.
struct LocalFileTest : testing::Test {
    char old_cwd[PATH_MAX] = {};
    std::string dir;
    void SetUp() override
    {
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        char tmpl[] = "/tmp/orvik-localfile-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(chdir(dir.c_str()), 0);
        umask(022);
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(old_cwd), 0);
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    static int save(const char *name, const std::string &text, int overwrite, long long mtime = 0)
    {
        return local_save_file(name, reinterpret_cast<const uint8_t *>(text.data()), text.size(),
                               overwrite, mtime, "===WARNING===> open");
    }
};

TEST(LocalName, RefusesNamesLeavingTheDirectory)
{
    for (const char *bad : {"", ".", "..", "a/b.jpg", "../evil.jpg", "/etc/passwd"}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(local_name_check(bad), -1) << bad;
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("refusing local file name '") + bad + "'\n");
    }
    for (const char *good : {"IMG_0001.JPG", "...", ".hidden", "a\\b"})
        EXPECT_EQ(local_name_check(good), 0) << good;
}

TEST_F(LocalFileTest, SavesContentModeAndTimesWithoutLeftovers)
{
    std::string content(100000, 'x');
    content[5] = '\0';
    ASSERT_EQ(save("IMG.JPG", content, 0, 1000000000), 0);
    struct stat st;  // before reading it, which may touch the access time
    ASSERT_EQ(lstat("IMG.JPG", &st), 0);
    EXPECT_EQ(slurp("IMG.JPG"), content);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(st.st_atime, 1000000000);
    EXPECT_EQ(names_in("."), std::vector<std::string>{"IMG.JPG"});

    // An empty file is saved too.
    ASSERT_EQ(save("EMPTY", "", 0), 0);
    EXPECT_EQ(slurp("EMPTY"), "");
}

TEST_F(LocalFileTest, ExistingFileIsKeptWithoutOverwrite)
{
    spit("IMG.JPG", "old");
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(save("IMG.JPG", "new", 0), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("===WARNING===> open: ") + std::strerror(EEXIST) +
                       "\nIMG.JPG: not saved: it exists here and overwrite is off\n");
    // The same verdict before any transfer, and no verdict when overwriting.
    testing::internal::CaptureStderr();
    EXPECT_EQ(local_target_free("IMG.JPG", false, "===WARNING===> open"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), err);
    EXPECT_EQ(local_target_free("IMG.JPG", true, "===WARNING===> open"), 0);
    EXPECT_EQ(local_target_free("OTHER.JPG", false, "===WARNING===> open"), 0);
    EXPECT_EQ(slurp("IMG.JPG"), "old");
    EXPECT_EQ(names_in("."), std::vector<std::string>{"IMG.JPG"});

    ASSERT_EQ(save("IMG.JPG", "new", 1), 0);
    EXPECT_EQ(slurp("IMG.JPG"), "new");
    EXPECT_EQ(names_in("."), std::vector<std::string>{"IMG.JPG"});
}

TEST_F(LocalFileTest, SymbolicLinksAreNeverFollowedNorReplaced)
{
    spit("target", "precious");
    ASSERT_EQ(symlink("target", "LINK.JPG"), 0);
    ASSERT_EQ(symlink("nowhere", "DANGLING.JPG"), 0);
    for (int overwrite = 0; overwrite <= 1; overwrite++) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(save("LINK.JPG", "evil", overwrite), -1);
        EXPECT_EQ(save("DANGLING.JPG", "evil", overwrite), -1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("===WARNING===> open: "), std::string::npos);
    }
    EXPECT_EQ(slurp("target"), "precious");
    struct stat st;
    ASSERT_EQ(lstat("LINK.JPG", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(lstat("nowhere", &st), -1);
    EXPECT_EQ(names_in(".").size(), 3u);  // no temporary file left
}

// An import library is often another disk: the temporary file must lie
// beside its final name, or the link that completes the save crosses file
// systems and fails.
TEST_F(LocalFileTest, SavesIntoFoldersMadeOnAnotherFileSystem)
{
    char tmpl[] = "/dev/shm/orvik-library-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        GTEST_SKIP() << "no /dev/shm";
    const std::string library = tmpl;
    struct stat here, there;
    ASSERT_EQ(stat(".", &here), 0);
    ASSERT_EQ(stat(library.c_str(), &there), 0);
    const std::string name = library + "/2001/06-22/IMG.JPG";
    ASSERT_EQ(saveas_make_folders(name), 0);
    ASSERT_EQ(saveas_make_folders(name), 0);  // existing folders are fine
    struct stat folder;
    ASSERT_EQ(stat((library + "/2001/06-22").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0755u);
    if (here.st_dev != there.st_dev) {
        EXPECT_EQ(save(name.c_str(), "photo", 0, 1000000000), 0);
        EXPECT_EQ(slurp(name.c_str()), "photo");
        EXPECT_EQ(names_in((library + "/2001/06-22").c_str()), std::vector<std::string>{"IMG.JPG"});
    }
    EXPECT_TRUE(names_in(".").empty());

    // A file where a folder should be is reported, not written through.
    spit("2001", "not a folder");
    testing::internal::CaptureStderr();
    EXPECT_EQ(saveas_make_folders("2001/06-22/IMG.JPG"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("2001: ") + std::strerror(ENOTDIR) + "\n");
    std::string cmd = "rm -rf '" + library + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
}

TEST_F(LocalFileTest, WriteAllCompletesAndReportsFailure)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::vector<uint8_t> bytes(1000, 0x5A);
    EXPECT_EQ(fdio_write_all(fds[1], bytes.data(), bytes.size()), 0);
    close(fds[0]);
    signal(SIGPIPE, SIG_IGN);
    errno = 0;
    EXPECT_EQ(fdio_write_all(fds[1], bytes.data(), bytes.size()), -1);
    EXPECT_EQ(errno, EPIPE);
    close(fds[1]);
}

}  // namespace
