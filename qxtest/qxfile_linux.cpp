// POSIX side of qxfile: stat before open, O_EXCL for the new file, fsync
// before rename.
#include "qxfile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

int kind_of(mode_t mode)
{
    if (S_ISREG(mode))
        return QXFILE_REGULAR;
    if (S_ISDIR(mode))
        return QXFILE_DIRECTORY;
    if (S_ISFIFO(mode))
        return QXFILE_FIFO;
    if (S_ISCHR(mode))
        return QXFILE_CHAR_DEVICE;
    if (S_ISBLK(mode))
        return QXFILE_BLOCK_DEVICE;
    if (S_ISSOCK(mode))
        return QXFILE_SOCKET;
    return QXFILE_OTHER;
}

std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int qxfile_kind(const char *path, int *err)
{
    struct stat st;
    if (!path || !*path) {
        *err = ENOENT;
        return QXFILE_ABSENT;
    }
    if (stat(path, &st) != 0) {
        *err = errno;
        return QXFILE_ABSENT;
    }
    *err = 0;
    return kind_of(st.st_mode);
}

int qxfile_create(QxFileOut *out, const char *path, std::string *problem)
{
    out->file = nullptr;
    out->target.clear();
    out->temp.clear();
    out->error = 0;
    if (!path || !*path) {
        *problem = strerror(ENOENT);
        return 1;
    }
    // A link is followed, so that the file it names gets the bytes and the
    // link stays.
    out->target = path;
    struct stat st;
    bool exists = false;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char *real = realpath(path, nullptr);
        if (!real) {
            *problem =
                std::string("a link to nothing that can be written (") + strerror(errno) + ")";
            return 1;
        }
        out->target = real;
        free(real);
    }
    if (stat(out->target.c_str(), &st) == 0) {
        int kind = kind_of(st.st_mode);
        if (kind != QXFILE_REGULAR) {
            return qxfile_refuse_kind(kind, problem);
        }
        exists = true;
    }
    // A name of our own beside the target: the same file system, so the
    // rename is one step; O_EXCL, so no file of anyone else is opened.
    static std::atomic<unsigned> counter{0};
    const std::string prefix = folder_of(out->target) + "/." + base_of(out->target) + ".tmp-";
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 100; ++tries) {
        out->temp =
            prefix + std::to_string((long)getpid()) + "-" + std::to_string(counter.fetch_add(1));
        fd = open(out->temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        *problem = strerror(errno);
        out->temp.clear();
        return 1;
    }
    if (exists)
        (void)fchmod(fd, st.st_mode & 07777);
    out->file = fdopen(fd, "wb");
    if (!out->file) {
        *problem = strerror(errno);
        close(fd);
        qxfile_discard(out);
        return 1;
    }
    return 0;
}

int qxfile_sync(FILE *file)
{
    return fsync(fileno(file)) != 0 ? errno : 0;
}

int qxfile_rename(const QxFileOut *out, std::string *why)
{
    (void)why;
    return rename(out->temp.c_str(), out->target.c_str()) != 0 ? errno : 0;
}

void qxfile_sync_folder(const std::string &target)
{
    // The new name itself on the disk too; a folder that cannot be synced
    // still holds the whole file.
    int dir = open(folder_of(target).c_str(), O_RDONLY | O_CLOEXEC);
    if (dir >= 0) {
        (void)fsync(dir);
        close(dir);
    }
}
