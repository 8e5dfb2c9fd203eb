#pragma once

#include <QSharedMemory>
#include <QString>
#include <QSystemSemaphore>

#include <memory>

class QLockFile;

// One running copy per application name. A system semaphore keyed
// name + "_sem" makes the check atomic across processes; a one-byte segment
// keyed name + "_shmem" says that a first copy runs. On Windows the segment
// dies with its last holder, so that is the whole guard. Elsewhere a segment
// outlives a killed owner, so a lock file in the user's runtime folder
// decides instead (its owner's death is noticed) and the segment is kept
// alongside. Problems are said on standard error, never swallowed.
class SingleInstance
{
  public:
    // lock_dir: the folder of the lock file; empty: the segment alone decides.
    SingleInstance(const QString &name, const QString &lock_dir);
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // Whether this process may run as the first copy.
    bool is_first() const { return first; }

    // Where the lock file belongs on this system: the per-user runtime
    // folder ($XDG_RUNTIME_DIR, else one of the user's own) on Unix, none
    // on Windows. Empty with a message when no such folder can be had.
    static QString default_lock_dir(bool *failed);

  private:
    bool take_lock();
    void remove_stale_segment();
    // Attach or create; true when no other copy holds the segment.
    bool claim_segment();

    QSystemSemaphore sem;
    QSharedMemory shm;
    QString lock_path;
    std::unique_ptr<QLockFile> lock;
    bool held = false; // the semaphore
    bool first = false;
};
