// The single-instance guard: in this process (segment alone, as on Windows,
// and with the lock file), then the built program as processes under names
// of their own (the guard is keyed by the executable's file name).
#include <QLockFile>
#include <QProcess>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <vector>

#include "singleinstance.h"

#ifdef Q_OS_WIN
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#else
#include <sys/shm.h>
#include <unistd.h>
#endif

namespace
{

#ifdef Q_OS_WIN
const int k_second_exit = -1;
#else
const int k_second_exit = 255; // -1 as a Unix status
#endif

// Standard error into a file for the life of the object.
class StderrToFile
{
  public:
    explicit StderrToFile(const QString &path)
    {
        std::fflush(stderr);
        saved = dup(fileno(stderr));
        FILE *f = std::fopen(QFile::encodeName(path).constData(), "w");
        dup2(fileno(f), fileno(stderr));
        std::fclose(f);
    }
    ~StderrToFile()
    {
        std::fflush(stderr);
        dup2(saved, fileno(stderr));
        ::close(saved);
    }

  private:
    int saved;
};

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

#ifndef Q_OS_WIN
// How many attach to the one-byte segment that pid made or last attached,
// -1 for none. Read from the list of System V segments: an attach and
// detach from here would remove a stale segment (and its key file, under a
// starting copy's feet).
int segment_users(qint64 pid)
{
    QFile f("/proc/sysvipc/shm");
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    f.readLine(); // header: key shmid perms size cpid lpid nattch ...
    while (!f.atEnd()) {
        QList<QByteArray> c = f.readLine().simplified().split(' ');
        if (c.size() > 6 && c[3] == "1" && (c[4].toLongLong() == pid || c[5].toLongLong() == pid))
            return c[6].toInt();
    }
    return -1;
}

// Removes the segments that killed copies left behind: their key files may
// be gone, so they are found by the process that made them.
void remove_stale_segments(const QList<qint64> &pids)
{
    QFile f("/proc/sysvipc/shm");
    if (!f.open(QIODevice::ReadOnly))
        return;
    f.readLine();
    while (!f.atEnd()) {
        QList<QByteArray> c = f.readLine().simplified().split(' ');
        if (c.size() > 6 && c[3] == "1" && c[6] == "0" && pids.contains(c[4].toLongLong()))
            shmctl(c[1].toInt(), IPC_RMID, nullptr);
    }
}
#endif

} // namespace

class tst_SingleInstance : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanupTestCase();
    void guard_data();
    void guard();
    void lock_not_made();
    void second_start_exits();
    void start_after_kill_data();
    void start_after_kill();
    void concurrent_starts();
    void other_names_side_by_side();
    void broken_lock_data();
    void broken_lock();

  private:
    QString program(const QString &name);
    std::unique_ptr<QProcess> start(const QString &name);
    bool segment_exists(const QString &name);
    bool lock_held_by(const QString &name, qint64 pid);
    // Waits until a started copy has passed the guard as the first, or has
    // ended.
    bool running_first(QProcess &p, const QString &name);
    void expect_second(QProcess &p);
    void kill_hard(QProcess &p);
    void remove_leftovers(const QString &name);

    QTemporaryDir bin;
    QTemporaryDir devices; // empty: the program finds no device
    QTemporaryDir runtime; // the user's runtime folder of the started copies
    QString stem;
    QStringList names;
    QList<qint64> pids; // of every copy started
    int next = 0;
};

void tst_SingleInstance::initTestCase()
{
    QVERIFY(bin.isValid() && devices.isValid() && runtime.isValid());
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
    stem = QString("qxupd_tst%1_").arg(QCoreApplication::applicationPid());
}

void tst_SingleInstance::cleanupTestCase()
{
    for (const QString &n : names)
        remove_leftovers(n);
#ifndef Q_OS_WIN
    remove_stale_segments(pids);
#endif
}

QString tst_SingleInstance::program(const QString &name)
{
#ifdef Q_OS_WIN
    QString path = bin.filePath(name + ".exe");
#else
    QString path = bin.filePath(name);
#endif
    if (!QFile::exists(path)) {
        if (!QFile::copy(QXUPDATER_PATH, path))
            return {};
        QFile::setPermissions(path, QFile::permissions(QXUPDATER_PATH));
        names << name;
    }
    return path;
}

std::unique_ptr<QProcess> tst_SingleInstance::start(const QString &name)
{
    std::unique_ptr<QProcess> p(new QProcess);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
#ifdef Q_OS_WIN
    // The program links only the Windows platform plugin.
    env.remove("QT_QPA_PLATFORM");
#else
    env.insert("QT_QPA_PLATFORM", "offscreen");
#endif
    env.insert("QX_DEVICE_DIR", devices.path());
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    p->setProcessEnvironment(env);
    p->start(program(name), QStringList());
    p->waitForStarted(20000);
    pids << p->processId();
    return p;
}

bool tst_SingleInstance::segment_exists(const QString &name)
{
    QSharedMemory probe(name + "_shmem");
    return probe.attach(QSharedMemory::ReadOnly);
}

bool tst_SingleInstance::lock_held_by(const QString &name, qint64 pid)
{
#ifdef Q_OS_WIN
    Q_UNUSED(name);
    Q_UNUSED(pid);
    return true; // no lock file: the segment alone
#else
    QFile f(QDir(runtime.path()).filePath(name + ".lock"));
    return f.open(QIODevice::ReadOnly) && f.readLine().trimmed().toLongLong() == pid;
#endif
}

bool tst_SingleInstance::running_first(QProcess &p, const QString &name)
{
    for (int i = 0; i < 600; i++) {
        if (p.state() != QProcess::Running)
            return false;
#ifdef Q_OS_WIN
        bool passed = segment_exists(name);
#else
        bool passed = lock_held_by(name, p.processId()) && segment_users(p.processId()) > 0;
#endif
        if (passed)
            return p.state() == QProcess::Running;
        QTest::qWait(50);
    }
    return false;
}

void tst_SingleInstance::expect_second(QProcess &p)
{
    QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), k_second_exit);
    // Silent: nothing went wrong.
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
    QCOMPARE(p.readAllStandardError(), QByteArray());
}

void tst_SingleInstance::kill_hard(QProcess &p)
{
    p.kill(); // SIGKILL, TerminateProcess: no teardown runs
    p.waitForFinished(20000);
}

void tst_SingleInstance::remove_leftovers(const QString &name)
{
    // A killed copy leaves its segment and semaphore behind on Unix; the
    // last detach removes the segment, a semaphore opened in Create mode is
    // removed with its object.
    {
        QSharedMemory shm(name + "_shmem");
        if (shm.attach())
            shm.detach();
    }
    QSystemSemaphore(name + "_sem", 1, QSystemSemaphore::Create);
    QSystemSemaphore(name + "_shmem", 1, QSystemSemaphore::Create);
}

// The guard's two ways, side by side in this process: the segment alone
// (what Windows relies on) and the lock file.
void tst_SingleInstance::guard_data()
{
    QTest::addColumn<bool>("with_lock");
    QTest::newRow("segment") << false;
    QTest::newRow("lock file") << true;
}

void tst_SingleInstance::guard()
{
    QFETCH(bool, with_lock);
    QTemporaryDir dir;
    QString lock_dir = with_lock ? dir.path() : QString();
    QString name = stem + QString("g%1").arg(next++);
    names << name;

    std::unique_ptr<SingleInstance> first(new SingleInstance(name, lock_dir));
    QVERIFY(first->is_first());
    QVERIFY(segment_exists(name));
    if (with_lock)
        QVERIFY(QFile::exists(dir.filePath(name + ".lock")));
    {
        SingleInstance second(name, lock_dir);
        QVERIFY(!second.is_first());
        SingleInstance third(name, lock_dir);
        QVERIFY(!third.is_first());
    }
    QVERIFY(segment_exists(name));
    // The semaphore is free again after every check.
    QSystemSemaphore sem(name + "_sem", 1, QSystemSemaphore::Open);
    QVERIFY(sem.acquire());
    sem.release();

    first.reset();
    QVERIFY(!segment_exists(name));
    if (with_lock)
        QVERIFY(!QFile::exists(dir.filePath(name + ".lock")));
    SingleInstance again(name, lock_dir);
    QVERIFY(again.is_first());
}

// A lock that cannot be made is said, not taken for another copy.
void tst_SingleInstance::lock_not_made()
{
    QTemporaryDir dir;
    QString missing = dir.filePath("gone");
    QString name = stem + "n";
    names << name;
    QString err = dir.filePath("stderr.txt");
    bool first;
    {
        StderrToFile capture(err);
        first = SingleInstance(name, missing).is_first();
    }
    QVERIFY(!first);
    QByteArray said = contents(err);
    QVERIFY2(said.contains("cannot create the lock file " +
                           QFile::encodeName(QDir(missing).filePath(name + ".lock"))),
             said.constData());
}

void tst_SingleInstance::second_start_exits()
{
    QString name = stem + "a";
    auto first = start(name);
    QVERIFY(running_first(*first, name));

    auto second = start(name);
    expect_second(*second);
    QCOMPARE(first->state(), QProcess::Running);
    kill_hard(*first);
}

// Wherever a kill lands, in the guard or after it, the next start runs as
// the first and the one after it is a second copy. A kill after the guard
// leaves the segment behind on Unix.
void tst_SingleInstance::start_after_kill_data()
{
    QTest::addColumn<int>("wait"); // 0: none; 1: until the guard has been passed
    QTest::newRow("at once") << 0;
    QTest::newRow("a little later") << 1;
    QTest::newRow("once running") << 2;
}

void tst_SingleInstance::start_after_kill()
{
    QFETCH(int, wait);
    QString name = stem + QString("k%1").arg(next++);
    for (int round = 0; round < 3; round++) {
        auto first = start(name);
        if (wait == 1)
            QTest::qWait(20 * round);
        if (wait == 2)
            QVERIFY(running_first(*first, name));
        qint64 pid = first->processId();
        kill_hard(*first);
        if (wait == 2) {
#ifndef Q_OS_WIN
            QCOMPARE(segment_users(pid), 0); // stale: only the lock can tell
#else
            Q_UNUSED(pid);
            QVERIFY(!segment_exists(name));
#endif
        }

        auto next_start = start(name);
        QVERIFY2(running_first(*next_start, name), qPrintable(QString("round %1").arg(round)));
        auto another = start(name);
        expect_second(*another);
        QCOMPARE(next_start->state(), QProcess::Running);
        kill_hard(*next_start);
    }
}

void tst_SingleInstance::concurrent_starts()
{
    QString name = stem + "c";
    std::vector<std::unique_ptr<QProcess>> starts;
    for (int i = 0; i < 20; i++)
        starts.push_back(start(name));
    int ended = 0;
    QProcess *running = nullptr;
    QVERIFY(QTest::qWaitFor(
        [&] {
            ended = 0;
            for (auto &p : starts)
                ended += p->state() == QProcess::NotRunning;
            return ended >= 19;
        },
        120000));
    for (auto &p : starts) {
        if (p->state() == QProcess::NotRunning) {
            expect_second(*p);
        } else {
            QVERIFY(!running);
            running = p.get();
        }
    }
    QVERIFY(running);
    QVERIFY(running_first(*running, name));
    QTest::qWait(200);
    QCOMPARE(running->state(), QProcess::Running);
    kill_hard(*running);
}

void tst_SingleInstance::other_names_side_by_side()
{
    QString one = stem + "d", two = stem + "e";
    auto a = start(one);
    auto b = start(two);
    QVERIFY(running_first(*a, one));
    QVERIFY(running_first(*b, two));
    kill_hard(*a);
    kill_hard(*b);
}

// A lock file that names no owner: left by a crash it is taken over; one
// that cannot be replaced is said, not taken for another copy.
void tst_SingleInstance::broken_lock_data()
{
    QTest::addColumn<bool>("folder");
    QTest::newRow("empty file") << false;
    QTest::newRow("folder") << true;
}

void tst_SingleInstance::broken_lock()
{
#ifdef Q_OS_WIN
    QSKIP("no lock file on Windows");
#else
    QFETCH(bool, folder);
    QString name = stem + QString("b%1").arg(next++);
    QString path = QDir(runtime.path()).filePath(name + ".lock");
    if (folder) {
        QVERIFY(QDir().mkdir(path));
        QVERIFY(QFile::exists(path + "/."));
    } else {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    auto p = start(name);
    if (!folder) {
        QVERIFY(running_first(*p, name));
        kill_hard(*p);
        return;
    }
    QVERIFY(p->waitForFinished(30000));
    QCOMPARE(p->exitCode(), k_second_exit);
    QByteArray said = p->readAllStandardError();
    QVERIFY2(said.contains(QFile::encodeName(name + ": cannot take the lock file " + path)),
             said.constData());
    QDir().rmdir(path);
#endif
}

QTEST_GUILESS_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"
