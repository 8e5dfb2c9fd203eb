#include <memory>

#include <QApplication>
#include <QDir>
#include <QLockFile>
#include <QSharedMemory>
#include <QSystemSemaphore>

#include "mainwindow.h"
#include "qxtrace.h"

namespace
{

// One copy at a time, keyed by the application name. The segment says that
// a first instance runs. On Unix a segment outlives a killed owner, so a lock
// file (whose owner's death QLockFile notices) decides whether it is stale.
class SingleInstance
{
  public:
    explicit SingleInstance(const QString &name)
        : sem(name + "_sem", 1, QSystemSemaphore::Open), shm(name + "_shmem")
#ifdef Q_OS_UNIX
          ,
          lock(QDir(QDir::tempPath()).filePath(name + ".lock"))
#endif
    {
        sem.acquire();
#ifdef Q_OS_UNIX
        // A live owner keeps its lock however old it is.
        lock.setStaleLockTime(0);
        if (!lock.tryLock(0)) {
            first = false;
        } else {
            // Left behind by a killed instance: detaching the last user
            // removes it.
            if (shm.attach(QSharedMemory::ReadWrite))
                shm.detach();
            shm.create(1, QSharedMemory::ReadWrite);
            first = true;
        }
#else
        if (shm.attach(QSharedMemory::ReadWrite)) {
            first = false;
        } else {
            shm.create(1, QSharedMemory::ReadWrite);
            first = true;
        }
#endif
        sem.release(1);
    }

    bool is_first() const
    {
        return first;
    }

  private:
    QSystemSemaphore sem;
    QSharedMemory shm;
#ifdef Q_OS_UNIX
    QLockFile lock;
#endif
    bool first = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Before the window: a second start must not talk to the device.
    SingleInstance guard(QCoreApplication::applicationName());
    if (!guard.is_first())
        return -1;

    // QX_TRACE records the run. After the guard: a second start must not
    // cut short the first one's trace.
    qxtrace_from_env();
    QCoreApplication::setApplicationVersion("1.0.0");
    // On the heap: the window holds the 1 MiB image buffer.
    std::unique_ptr<MainWindow> window(new MainWindow());
    window->setWindowTitle(QCoreApplication::applicationName());
    window->show();
    return app.exec();
}
