// The parts of qxfile that both platforms share; qxfile_linux.cpp and
// qxfile_win.cpp look at paths, create the files and do the system's part of
// the commit (qxfile_sys.h).
#include "qxfile.h"
#include "qxfile_sys.h"
#include "qxsys.h"

#include <cerrno>
#include <cstring>

const char *qxfile_kind_text(int kind)
{
    switch (kind) {
    case QXFILE_DIRECTORY:
        return "a directory";
    case QXFILE_FIFO:
        return "a FIFO";
    case QXFILE_CHAR_DEVICE:
        return "a character device";
    case QXFILE_BLOCK_DEVICE:
        return "a block device";
    case QXFILE_SOCKET:
        return "a socket";
    case QXFILE_OTHER:
        return "not a file";
    default:
        return nullptr;
    }
}

int qxfile_check_input(const char *path, std::string *problem)
{
    int err = 0;
    int kind = qxfile_kind(path, &err);
    if (kind == QXFILE_REGULAR)
        return 0;
    if (kind == QXFILE_ABSENT)
        *problem = strerror(err);
    else
        qxfile_refuse_kind(kind, problem);
    return 1;
}

int qxfile_refuse_kind(int kind, std::string *problem)
{
    *problem = std::string(qxfile_kind_text(kind)) + ", not a regular file";
    errno = kind == QXFILE_DIRECTORY ? EISDIR : EINVAL;
    return 1;
}

void qxfile_discard(QxFileOut *out)
{
    int err = errno;
    if (out->file)
        fclose(out->file);
    out->file = nullptr;
    if (!out->temp.empty())
        qx_remove(out->temp.c_str());
    out->temp.clear();
    errno = err;
}

int qxfile_write(QxFileOut *out, const void *data, size_t len)
{
    if (!out->file)
        return 1;
    if (len && fwrite(data, 1, len, out->file) != len) {
        if (!out->error)
            out->error = errno ? errno : EIO;
        return 1;
    }
    return 0;
}

int qxfile_write_whole(const char *path, const void *data, size_t len, std::string *problem)
{
    QxFileOut out;
    if (qxfile_create(&out, path, problem))
        return 1;
    qxfile_write(&out, data, len);
    return qxfile_commit(&out, problem);
}

int qxfile_commit(QxFileOut *out, std::string *problem)
{
    if (!out->file) {
        *problem = strerror(EBADF);
        return 1;
    }
    int err = out->error;
    if (!err && fflush(out->file) != 0)
        err = errno;
    // A write through file itself (fprintf) that failed.
    if (!err && ferror(out->file))
        err = EIO;
    if (!err)
        err = qxfile_sync(out->file);
    FILE *f = out->file;
    out->file = nullptr;
    if (fclose(f) != 0 && !err)
        err = errno;
    // Looked at again: something else may have taken the name meanwhile.
    int kerr = 0;
    int kind = qxfile_kind(out->target.c_str(), &kerr);
    if (!err && kind != QXFILE_ABSENT && kind != QXFILE_REGULAR) {
        qxfile_discard(out);
        return qxfile_refuse_kind(kind, problem);
    }
    std::string why;
    if (!err)
        err = qxfile_rename(out, &why);
    if (err) {
        *problem = strerror(err) + why;
        qxfile_discard(out);
        errno = err;
        return 1;
    }
    out->temp.clear();
    qxfile_sync_folder(out->target);
    return 0;
}
