// The single-instance guard of the built program, run as processes under a
// name of their own (the guard is keyed by the executable's file name).
#include <QLockFile>
#include <QProcess>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <signal.h>

class tst_SingleInstance : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanupTestCase();
    void second_start_exits();
    void after_killed_first_instance();
    void other_names_side_by_side();

  private:
    QString program(const QString &name);
    std::unique_ptr<QProcess> start(const QString &name);
    // Waits until a started copy holds the guard, or has ended.
    bool running_first(QProcess &p, const QString &name);
    void kill_hard(QProcess &p);
    void remove_leftovers(const QString &name);

    QTemporaryDir bin;
    QTemporaryDir devices; // empty: the program finds no device
    QString stem;
    QStringList names;
};

void tst_SingleInstance::initTestCase()
{
    QVERIFY(bin.isValid() && devices.isValid());
    stem = QString("qxupd_tst%1_").arg(QCoreApplication::applicationPid());
}

void tst_SingleInstance::cleanupTestCase()
{
    for (const QString &n : names)
        remove_leftovers(n);
}

QString tst_SingleInstance::program(const QString &name)
{
    QString path = bin.filePath(name);
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
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QX_DEVICE_DIR", devices.path());
    env.insert("XDG_RUNTIME_DIR", devices.path());
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(program(name), QStringList());
    p->waitForStarted(10000);
    return p;
}

bool tst_SingleInstance::running_first(QProcess &p, const QString &name)
{
    QString lock = QDir(QDir::tempPath()).filePath(name + ".lock");
    for (int i = 0; i < 200; i++) {
        if (p.state() != QProcess::Running)
            return false;
        QFile f(lock);
        if (f.open(QIODevice::ReadOnly) && f.readLine().trimmed().toLongLong() == p.processId())
            return true;
        QTest::qWait(50);
    }
    return false;
}

void tst_SingleInstance::kill_hard(QProcess &p)
{
    ::kill((pid_t)p.processId(), SIGKILL);
    p.waitForFinished(10000);
}

void tst_SingleInstance::remove_leftovers(const QString &name)
{
    // A killed copy leaves its segment and semaphores behind; the last
    // detach removes the segment, a semaphore opened in Create mode is
    // removed with its object.
    {
        QSharedMemory shm(name + "_shmem");
        if (shm.attach())
            shm.detach();
    }
    QSystemSemaphore(name + "_sem", 1, QSystemSemaphore::Create);
    QSystemSemaphore(name + "_shmem", 1, QSystemSemaphore::Create);
    QFile::remove(QDir(QDir::tempPath()).filePath(name + ".lock"));
}

void tst_SingleInstance::second_start_exits()
{
    QString name = stem + "a";
    auto first = start(name);
    QVERIFY(running_first(*first, name));

    auto second = start(name);
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 255); // -1
    QCOMPARE(second->readAllStandardOutput(), QByteArray());
    QCOMPARE(first->state(), QProcess::Running);
    kill_hard(*first);
}

// A killed first instance leaves its segment; the next start must not take
// it for a running copy.
void tst_SingleInstance::after_killed_first_instance()
{
    QString name = stem + "b";
    auto first = start(name);
    QVERIFY(running_first(*first, name));
    kill_hard(*first);
    QSharedMemory probe(name + "_shmem");
    QVERIFY(!probe.create(1));
    QCOMPARE(probe.error(), QSharedMemory::AlreadyExists);

    auto next = start(name);
    QVERIFY(running_first(*next, name));
    auto another = start(name);
    QVERIFY(another->waitForFinished(20000));
    QCOMPARE(another->exitCode(), 255);
    QCOMPARE(next->state(), QProcess::Running);
    kill_hard(*next);
}

void tst_SingleInstance::other_names_side_by_side()
{
    QString one = stem + "c", two = stem + "d";
    auto a = start(one);
    auto b = start(two);
    QVERIFY(running_first(*a, one));
    QVERIFY(running_first(*b, two));
    kill_hard(*a);
    kill_hard(*b);
}

QTEST_GUILESS_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"
