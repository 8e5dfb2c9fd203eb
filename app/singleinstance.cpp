#include "singleinstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

#include <cstdio>

namespace
{

void say(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(text));
    std::fflush(stderr);
}

} // namespace

SingleInstance::SingleInstance(const QString &name, const QString &lock_dir)
    : sem(name + "_sem", 1, QSystemSemaphore::Open), shm(name + "_shmem")
{
    // Without the semaphore two starts can race; the lock file, where there
    // is one, stays exclusive on its own.
    held = sem.acquire();
    if (!held)
        say(QString("cannot use the semaphore %1_sem: %2").arg(name, sem.errorString()));
    if (lock_dir.isEmpty()) {
        first = claim_segment();
    } else {
        lock_path = QDir(lock_dir).filePath(name + ".lock");
        lock.reset(new QLockFile(lock_path));
        first = take_lock();
        if (first) {
            remove_stale_segment();
            // The lock has decided; a segment someone else attached to (a
            // copy without the lock) is no reason to stop.
            claim_segment();
        }
    }
    if (held)
        sem.release(1);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::take_lock()
{
    // A live owner keeps its lock however old it is; a dead one's is stale.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0))
        return true;
    if (lock->error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host, app;
        if (lock->getLockInfo(&pid, &host, &app))
            return false; // another copy runs: the silent case
        // A file that names no owner (cut short by a crash) would never turn
        // stale. Starts are serialised by the semaphore, so no copy is
        // writing it right now.
        if (held && lock->removeStaleLockFile() && lock->tryLock(0))
            return true;
        say(QString("cannot take the lock file %1: it names no running copy; "
                    "remove it if none runs")
                .arg(lock_path));
        return false;
    }
    if (lock->error() == QLockFile::PermissionError)
        say(QString("cannot create the lock file %1: permission denied").arg(lock_path));
    else
        say(QString("cannot create the lock file %1").arg(lock_path));
    return false;
}

void SingleInstance::remove_stale_segment()
{
    // A killed owner leaves its segment behind; detaching the last user
    // removes it.
    if (shm.attach(QSharedMemory::ReadWrite))
        shm.detach();
}

bool SingleInstance::claim_segment()
{
    if (shm.attach(QSharedMemory::ReadWrite))
        return false;
    if (shm.create(1, QSharedMemory::ReadWrite))
        return true;
    if (shm.error() == QSharedMemory::AlreadyExists && !held)
        return false; // made by a start that the missing semaphore let through
    // Still the first copy: nothing else runs, only the marker is missing.
    say(QString("cannot create the shared memory segment %1: %2")
            .arg(shm.key(), shm.errorString()));
    return true;
}

QString SingleInstance::default_lock_dir(bool *failed)
{
    *failed = false;
#ifdef Q_OS_WIN
    return QString();
#else
    // Per user, so that another user's lock cannot keep anyone out.
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) {
        say("no runtime folder of this user for the single-instance lock "
            "(set XDG_RUNTIME_DIR to a folder of yours with mode 0700)");
        *failed = true;
    }
    return dir;
#endif
}
