// The device lock: one holder per device path, named to whoever is refused;
// other paths stay free; asking does not take it; it dies with its holder.
// Runs on Linux and, under Wine, on Windows.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qxlimits.h"
#include "qxlock.h"
#include "testkit.h"
#include "usbdevs.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace
{

std::vector<uint16_t> u16(const std::string &s)
{
    std::vector<uint16_t> v(USBDEVS_PATH_UNITS, 0);
    EXPECT_EQ(0, usbdevs_path_from_utf8(v.data(), v.size(), s.c_str())) << s;
    return v;
}

unsigned long this_pid()
{
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return (unsigned long)getpid();
#endif
}

// The device paths a platform's devices have.
struct Devices {
    TempDir dir;
    std::vector<std::string> paths() const
    {
#ifdef _WIN32
        // Lock names are seen by every process: the instance names this one,
        // so that test programs run side by side never share a device.
        const std::string stem =
            "\\\\?\\usb#vid_1234&pid_0020#5&" + std::to_string(GetCurrentProcessId()) + "&0&";
        const std::string guid = "#{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\global";
        return {stem + "1" + guid, stem + "2" + guid};
#else
        // Two sockets in device directories, and the tests' in-process device.
        return {dir.file("qx-10_20"), dir.file("other/qx-10_20"), "\\\\?\\qxsim#test"};
#endif
    }
    // Other paths of the device at path: on Windows its other interfaces
    // (another reference string), its control path, and the system's path in
    // other letters; a Linux endpoint has one path.
    std::vector<std::string> aliases(const std::string &path) const
    {
#ifdef _WIN32
        std::string stem = path.substr(0, path.rfind('\\') + 1);
        std::string upper = path;
        for (char &c : upper)
            c = (char)toupper((unsigned char)c);
        return {stem + "wave2", stem + "qx-10_20", upper};
#else
        (void)path;
        return {};
#endif
    }
};

#ifdef _WIN32
// Started as a child of the killed-holder case: takes the lock named in the
// environment and keeps it until it is killed, before any test runs.
struct HoldForParent {
    HoldForParent()
    {
        const char *path = getenv("QXLOCK_TEST_HOLD");
        if (!path || !*path)
            return;
        static QxLock lock;
        qxlock_init(&lock);
        std::vector<uint16_t> p(USBDEVS_PATH_UNITS, 0);
        usbdevs_path_from_utf8(p.data(), p.size(), path);
        if (qxlock_take(&lock, p.data(), nullptr) != 0)
            ExitProcess(3);
        Sleep(INFINITE);
    }
} g_hold_for_parent;
#endif

TEST(QxLock, SecondTakerIsRefusedNamingTheHolderUntilRelease)
{
    Devices devices;
    ASSERT_TRUE(devices.dir.ok());
#ifndef _WIN32
    ASSERT_EQ(0, mkdir(devices.dir.file("other").c_str(), 0700));
#endif
    for (const std::string &path : devices.paths()) {
        SCOPED_TRACE(path);
        std::vector<uint16_t> p = u16(path);
        QxLock first, second;
        qxlock_init(&first);
        qxlock_init(&second);
        QxLockHolder holder;

        EXPECT_EQ(1, qxlock_holder(p.data(), &holder)) << "free before anyone takes it";
        ASSERT_EQ(0, qxlock_take(&first, p.data(), &holder)) << holder.problem;
        // Taking it again through the same record is no second holder.
        EXPECT_EQ(0, qxlock_take(&first, p.data(), nullptr));

        EXPECT_EQ(1, qxlock_take(&second, p.data(), &holder));
        EXPECT_EQ(1, holder.held);
        EXPECT_EQ(this_pid(), holder.pid);
        EXPECT_STREQ(qxlock_program_name(), holder.program);
        EXPECT_STREQ("test_qxlock", holder.program);
        EXPECT_STREQ("", holder.problem);

        // Asking takes nothing: the holder keeps it, and asking again still
        // finds it held.
        for (int i = 0; i < 2; i++) {
            QxLockHolder asked;
            ASSERT_EQ(0, qxlock_holder(p.data(), &asked));
            EXPECT_EQ(this_pid(), asked.pid);
            EXPECT_STREQ("test_qxlock", asked.program);
        }
        EXPECT_EQ(1, qxlock_take(&second, p.data(), nullptr));
        // The device, whichever of its paths a program has: one lock.
        for (const std::string &alias : devices.aliases(path)) {
            std::vector<uint16_t> a = u16(alias);
            EXPECT_EQ(1, qxlock_take(&second, a.data(), nullptr)) << alias;
            EXPECT_EQ(0, qxlock_holder(a.data(), nullptr)) << alias;
            EXPECT_EQ(0, qxlock_take(&first, a.data(), nullptr)) << "the holder's own " << alias;
        }

        // Every other device stays free to take meanwhile.
        for (const std::string &other : devices.paths()) {
            if (other == path)
                continue;
            std::vector<uint16_t> o = u16(other);
            QxLock third;
            qxlock_init(&third);
            EXPECT_EQ(0, qxlock_take(&third, o.data(), &holder)) << other;
            qxlock_release(&third);
        }

        qxlock_release(&first);
        EXPECT_EQ(1, qxlock_holder(p.data(), &holder)) << "free once released";
        // A record given back takes it again for real, not from memory.
        ASSERT_EQ(0, qxlock_take(&first, p.data(), nullptr));
        EXPECT_EQ(0, qxlock_holder(p.data(), nullptr));
        qxlock_release(&first);
        EXPECT_EQ(0, qxlock_take(&second, p.data(), &holder)) << holder.problem;
        qxlock_release(&second);
        qxlock_release(&second); // a second release is harmless
        EXPECT_EQ(1, qxlock_holder(p.data(), nullptr));
    }
}

TEST(QxLock, TakingAnotherDeviceGivesTheFirstBack)
{
    Devices devices;
    std::vector<std::string> paths = devices.paths();
    std::vector<uint16_t> a = u16(paths[0]);
    std::vector<uint16_t> b = u16(paths.back());
    QxLock lock;
    qxlock_init(&lock);
    ASSERT_EQ(0, qxlock_take(&lock, a.data(), nullptr));
    ASSERT_EQ(0, qxlock_take(&lock, b.data(), nullptr));
    EXPECT_EQ(1, qxlock_holder(a.data(), nullptr));
    EXPECT_EQ(0, qxlock_holder(b.data(), nullptr));
    qxlock_release(&lock);
    EXPECT_EQ(1, qxlock_holder(b.data(), nullptr));
}

TEST(QxLock, HolderTexts)
{
    struct Row {
        unsigned long pid;
        const char *program;
        int unseen;
        const char *text;
    } rows[] = {
        {4242, "qxtool", 0, "qxtool (process 4242)"},
        {0, "qxtool", 0, "qxtool"},
        {4242, "", 0, "process 4242"},
        {0, "", 0, "another program"},
        {0, "", QXLOCK_UNSEEN_USER, "a program of another user or an elevated one"},
        {0, "", QXLOCK_UNSEEN_SESSION, "a program in another session"},
    };
    for (const Row &r : rows) {
        QxLockHolder h = {};
        h.held = 1;
        h.unseen = r.unseen;
        h.pid = r.pid;
        snprintf(h.program, sizeof h.program, "%s", r.program);
        char text[128];
        qxlock_holder_text(&h, text, sizeof text);
        EXPECT_STREQ(r.text, text);
    }
}

#ifndef _WIN32
TEST(QxLock, AKilledHolderLocksNobodyOut)
{
    TempDir dir;
    std::vector<uint16_t> p = u16(dir.file("qx-10_20"));
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        QxLock lock;
        qxlock_init(&lock);
        char c = qxlock_take(&lock, p.data(), nullptr) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    ASSERT_EQ('y', c);

    QxLockHolder holder;
    QxLock lock;
    qxlock_init(&lock);
    EXPECT_EQ(1, qxlock_take(&lock, p.data(), &holder));
    EXPECT_EQ((unsigned long)child, holder.pid);
    EXPECT_STREQ("test_qxlock", holder.program);

    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, qxlock_take(&lock, p.data(), &holder)) << holder.problem;
    qxlock_release(&lock);
}

// Something other than a lock file of ours where the lock file belongs:
// refused with the reason, nothing taken, and nothing behind it touched.
TEST(QxLock, ALockThatCannotBeMadeIsSaidAndNotTaken)
{
    struct Row {
        const char *name;
        int (*make)(const std::string &place, const std::string &target);
        bool root_only = false; // only root can hand a file to someone else
    } rows[] = {
        {"a directory",
         [](const std::string &p, const std::string &) { return mkdir(p.c_str(), 0700); }},
        {"a symlink to a file of ours",
         [](const std::string &p, const std::string &t) { return symlink(t.c_str(), p.c_str()); }},
        {"a fifo",
         [](const std::string &p, const std::string &) { return mkfifo(p.c_str(), 0600); }},
        {"a file of another user",
         [](const std::string &p, const std::string &) {
             return close(open(p.c_str(), O_CREAT | O_RDWR, 0600)) | chown(p.c_str(), 4242, 4242);
         },
         true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        if (r.root_only && geteuid() != 0)
            continue;
        TempDir dir;
        const std::string place = dir.file("qx-10_20.lock"), target = dir.file("precious");
        ASSERT_TRUE(write_file(target, {'k', 'e', 'e', 'p'}));
        ASSERT_EQ(0, r.make(place, target));
        std::vector<uint16_t> p = u16(dir.file("qx-10_20"));
        QxLock lock;
        qxlock_init(&lock);
        QxLockHolder holder;
        EXPECT_EQ(1, qxlock_take(&lock, p.data(), &holder));
        EXPECT_EQ(0, holder.held);
        EXPECT_NE(nullptr, strstr(holder.problem, place.c_str())) << holder.problem;
        EXPECT_EQ(0, lock.held);
        EXPECT_EQ(1, qxlock_holder(p.data(), nullptr));
        EXPECT_EQ("keep", read_text(target));
        qxlock_release(&lock);
    }
}

// A holder that has taken the lock but not yet written its name (the file
// still names an earlier holder that is gone): the name is read again,
// pause by pause, until it comes or the tries run out. Only its printable
// bytes are told.
TEST(QxLock, TheHoldersNameIsAwaitedWithinItsBound)
{
    TempDir dir;
    std::vector<uint16_t> p = u16(dir.file("qx-10_20"));
    int fd = open(dir.file("qx-10_20.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    ASSERT_EQ(0, fcntl(fd, F_OFD_SETLK, &fl));
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    ASSERT_EQ(gone, waitpid(gone, nullptr, 0));
    const std::string stale = std::to_string(gone) + " gone\n";
    VirtualClock clock;
    const std::string name = std::to_string(getpid()) + " na me\x07r\n";
    for (unsigned written_at :
         {0u, 1u, (unsigned)QXLOCK_NAME_TRIES - 1, (unsigned)QXLOCK_NAME_TRIES}) {
        for (bool take : {true, false}) {
            SCOPED_TRACE(std::to_string(written_at) + (take ? " take" : " holder"));
            const std::string &first = written_at == 0 ? name : stale;
            ASSERT_EQ(0, ftruncate(fd, 0));
            ASSERT_EQ((ssize_t)first.size(), pwrite(fd, first.data(), first.size(), 0));
            clock.clear();
            clock.on_sleep = [&](uint32_t) {
                if (clock.sleeps().size() == written_at)
                    (void)!pwrite(fd, name.data(), name.size(), 0);
            };
            QxLock lock;
            qxlock_init(&lock);
            QxLockHolder holder;
            if (take)
                EXPECT_EQ(1, qxlock_take(&lock, p.data(), &holder));
            else
                EXPECT_EQ(0, qxlock_holder(p.data(), &holder));
            EXPECT_EQ(1, holder.held);
            const bool named = written_at < QXLOCK_NAME_TRIES;
            EXPECT_EQ(named ? (unsigned long)getpid() : 0ul, holder.pid);
            EXPECT_STREQ(named ? "na mer" : "", holder.program);
            EXPECT_EQ(
                std::vector<uint32_t>(named ? written_at : QXLOCK_NAME_TRIES, QXLOCK_NAME_PAUSE_MS),
                clock.sleeps());
        }
    }
    clock.on_sleep = nullptr;
    close(fd);
}
#else
TEST(QxLock, AKilledHolderLocksNobodyOut)
{
    const std::string path = Devices().paths()[0];
    std::vector<uint16_t> p = u16(path);
    wchar_t self[MAX_PATH] = {};
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, self, MAX_PATH));
    ASSERT_TRUE(SetEnvironmentVariableA("QXLOCK_TEST_HOLD", path.c_str()));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    BOOL started =
        CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA("QXLOCK_TEST_HOLD", nullptr);
    ASSERT_TRUE(started);

    // The child's start, not a device wait: bounded at 30 s.
    QxLockHolder holder = {};
    for (int i = 0; i < 3000 && qxlock_holder(p.data(), &holder) != 0; i++) {
        ASSERT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(pi.hProcess, 10)) << "child ended";
    }
    EXPECT_EQ(pi.dwProcessId, holder.pid);
    EXPECT_STREQ("test_qxlock", holder.program);
    QxLock lock;
    qxlock_init(&lock);
    EXPECT_EQ(1, qxlock_take(&lock, p.data(), nullptr));

    TerminateProcess(pi.hProcess, 9);
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(0, qxlock_take(&lock, p.data(), &holder)) << holder.problem;
    qxlock_release(&lock);
}

// Copies this one cannot ask, played by the global lock made here by hand:
// one with a DACL that lets nobody open it (what an elevated copy's or
// another user's lock is to a normal user: access denied), and one without
// a name in this session (a copy in another session). Both hold the device;
// neither is "free" or a bare error 0x5.
TEST(QxLock, CopiesOfOtherUsersAndSessionsHoldTheDevice)
{
    std::vector<uint16_t> p = u16(Devices().paths()[0]);
    wchar_t name[128];
    qxlock_win_name(p.data(), name, 128);
    EXPECT_EQ(0, wcsncmp(name, L"Global\\", 7)) << "seen from every session";

    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    ACL empty;
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, &empty, FALSE);
    SECURITY_ATTRIBUTES nobody = {sizeof nobody, &sd, FALSE};
    const struct {
        const char *what;
        SECURITY_ATTRIBUTES *sa;
        int unseen;
        const char *text;
    } cases[] = {
        {"an elevated copy or another user's", &nobody, QXLOCK_UNSEEN_USER,
         "a program of another user or an elevated one"},
        {"a copy in another session", nullptr, QXLOCK_UNSEEN_SESSION,
         "a program in another session"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE other = CreateMutexW(c.sa, FALSE, name);
        ASSERT_TRUE(other != nullptr);
        ASSERT_EQ(0u, GetLastError()) << "made here, not found";
        QxLock lock;
        qxlock_init(&lock);
        QxLockHolder holder = {};
        EXPECT_EQ(1, qxlock_take(&lock, p.data(), &holder));
        EXPECT_EQ(1, holder.held);
        EXPECT_EQ(c.unseen, holder.unseen);
        EXPECT_STREQ("", holder.problem);
        char text[128];
        qxlock_holder_text(&holder, text, sizeof text);
        EXPECT_STREQ(c.text, text);
        QxLockHolder asked = {};
        EXPECT_EQ(0, qxlock_holder(p.data(), &asked)) << "not free";
        EXPECT_EQ(c.unseen, asked.unseen);
        CloseHandle(other);
        EXPECT_EQ(1, qxlock_holder(p.data(), nullptr)) << "free once it has gone";
        EXPECT_EQ(0, qxlock_take(&lock, p.data(), &holder));
        qxlock_release(&lock);
    }
}
#endif

} // namespace
