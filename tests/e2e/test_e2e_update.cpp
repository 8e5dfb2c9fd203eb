// qxtool update against qxsim daemons over the socket transport: the whole
// update from the built-in catalogue, every refusal of the request with its
// text and exit status, and every outcome of the update itself.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "e2e.h"
#include "qxlock.h"

namespace
{

using Json = nlohmann::json;

// qxtool update --json: every line one object.
std::vector<Json> json_lines(const std::string &out)
{
    std::vector<Json> lines;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        lines.push_back(Json::parse(out.substr(at, end - at)));
        at = end + 1;
    }
    return lines;
}

const char *result_name(int status)
{
    switch (status) {
    case 0:
        return "completed";
    case 3:
        return "refused";
    case 4:
        return "no device";
    case 5:
        return "bad image";
    case 6:
        return "busy";
    }
    return "failed";
}

// 315424 -> "315,424"
std::string grouped(int64_t n)
{
    std::string digits = std::to_string(n);
    for (int at = (int)digits.size() - 3; at > 0; at -= 3)
        digits.insert((size_t)at, ",");
    return digits;
}

const char *const k_done = "Completed.\n\nPlease turn the device's power on again.";

// HOLD_LOCK: the test itself holds the device's lock, as another program would;
// LOCK_DIR: a directory where the lock file goes, so that no lock can be made.
enum { NO_SIM = 1, BUILTIN = 2, INSTALL_IMAGE = 4, HOLD_LOCK = 8, LOCK_DIR = 16 };

// %D: the device directory; %P: this process's id.
std::string expand(std::string text, const std::string &dir)
{
    for (size_t at; (at = text.find("%D")) != std::string::npos;)
        text.replace(at, 2, dir);
    for (size_t at; (at = text.find("%P")) != std::string::npos;)
        text.replace(at, 2, std::to_string(getpid()));
    return text;
}

TEST_F(E2e, BuiltInImageUpdatesTheDevice)
{
    serve();
    ProcResult r = tool({"update", "--yes"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Fimware Update\n"
              "\n"
              "From:\n"
              "  product:QX-20, version:2.20, build:50\n"
              "\n"
              "To:\n"
              "  product:QX-20, version:2.30, build:57\n"
              "\n"
              "Are you sure?\n"
              "Preparing...\n"
              "Sending and Updating...\n"
              "Checking...\n"
              "Completed.\n"
              "\n"
              "Please turn the device's power on again.\n",
              r.out);
    EXPECT_EQ("", r.err); // no bar and no module chatter without a terminal

    // The device now runs the image, and its checksum is the header's.
    r = tool({"info", "--json"});
    ASSERT_EQ(0, r.status) << r.err;
    auto info = nlohmann::json::parse(r.out);
    EXPECT_EQ("QX-20", info["product"]);
    EXPECT_EQ(230, info["version"]);
    EXPECT_EQ(57, info["build"]);
    r = tool({"verify", "--json", QX_BUILTIN20});
    ASSERT_EQ(0, r.status) << r.err;
    auto image = nlohmann::json::parse(r.out);
    EXPECT_EQ(315424u, image["size"]);
    r = tool({"checksum", "--json", std::to_string((unsigned)image["size"] - 36)});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(image["checksum"], nlohmann::json::parse(r.out)["checksum"]);

    // A second run is refused: the same version and build are not newer.
    r = tool({"update", "--yes"});
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("Cannot downgrade from 2.30 to 2.30\n"
              "the device already has version 2.30 build 57 (--allow-reinstall installs it "
              "again)\n",
              r.err);
    // --allow-reinstall alone lets the same image through.
    r = tool({"update", "--yes", "--allow-reinstall"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Completed.")) << r.out;
}

struct Refusal {
    const char *name;
    int flags;
    std::vector<std::string> sim;
    std::vector<std::string> args; // after "update"
    const char *err;               // standard error, whole
    int status;
    const char *input = "";
    // Bounds of the virtual time the run waited, in ms (-1: not checked).
    long long wait_min = -1, wait_max = -1;
};

const Refusal k_refusals[] = {
    {"NoDevice",
     NO_SIM | BUILTIN,
     {},
     {"--yes"},
     "Supported hardware is not connected.\nno device is served in %D (there is no "
     "%D/qx-10_20)\n",
     4},
    {"NoDeviceForFile",
     NO_SIM,
     {},
     {"--yes"},
     "Supported hardware is not connected.\nno device is served in %D (there is no "
     "%D/qx-10_20)\n",
     4},
    // Another program talks to the device: not a single call reaches it.
    {"DeviceHeld",
     HOLD_LOCK | BUILTIN,
     {},
     {"--yes"},
     "Another program is updating the device.\n"
     "the device is held by test_e2e_update (process %P)\n",
     6},
    {"DeviceHeldForFile",
     HOLD_LOCK,
     {},
     {"--yes"},
     "Another program is updating the device.\n"
     "the device is held by test_e2e_update (process %P)\n",
     6},
    // No lock can be made: the reason, not another program.
    {"LockCannotBeMade",
     LOCK_DIR | BUILTIN,
     {},
     {"--yes"},
     "Cannot lock the device for this program.\n"
     "cannot open the device's lock file %D/qx-10_20.lock: Is a directory\n",
     1},
    {"LockCannotBeMadeForFile",
     LOCK_DIR,
     {},
     {"--yes"},
     "Cannot lock the device for this program.\n"
     "cannot open the device's lock file %D/qx-10_20.lock: Is a directory\n",
     1},
    {"ProductUnanswered",
     0,
     {"--info-silent"},
     {"--yes"},
     "Cannot get connected hardware product\n"
     "the device did not answer when asked for its product name\n",
     1},
    {"ProductUnansweredBuiltIn",
     BUILTIN,
     {"--info-silent"},
     {"--yes"},
     "Cannot get connected hardware product\n"
     "the device did not answer when asked for its product name\n",
     1},
    {"OtherProduct",
     0,
     {"--product", "QX-10"},
     {"--yes"},
     "Product is not matching\nthe image is for \"QX-20\", the device is \"QX-10\"\n",
     3},
    {"ProductCaseDiffers",
     0,
     {"--product", "qx-20"},
     {"--yes"},
     "Product is not matching\nthe image is for \"QX-20\", the device is \"qx-20\"\n",
     3},
    {"ProductExtraByte",
     0,
     {"--product", "QX-20 "},
     {"--yes"},
     "Product is not matching\nthe image is for \"QX-20\", the device is \"QX-20 \"\n",
     3},
    {"NoBuiltInForProduct",
     BUILTIN,
     {"--product", "QX-30"},
     {"--yes"},
     "Product is not matching\nthe image is for \"QX-10\", the device is \"QX-30\"\n",
     3},
    {"SameVersionAndBuild",
     0,
     {"--version", "230", "--build", "57"},
     {"--yes"},
     "Cannot downgrade from 2.30 to 2.30\n"
     "the device already has version 2.30 build 57 (--allow-reinstall installs it again)\n",
     3},
    {"OlderVersionAndBuild",
     0,
     {"--version", "231", "--build", "57"},
     {"--yes"},
     "Cannot downgrade from 2.31 to 2.30\n"
     "the image has version 2.30 build 57, the device 2.31 build 57: the image is not newer "
     "(--allow-older installs it)\n",
     3},
    // A reinstall is the same version and build, not an older one.
    {"ReinstallIsNoDowngrade",
     0,
     {"--version", "231", "--build", "57"},
     {"--yes", "--allow-reinstall"},
     "Cannot downgrade from 2.31 to 2.30\n"
     "the image has version 2.30 build 57, the device 2.31 build 57: the image is not newer "
     "(--allow-older installs it)\n",
     3},
    {"VersionTexts",
     0,
     {"--version", "1000", "--build", "60"},
     {"--yes"},
     "Cannot downgrade from 10.00 to 2.30\n"
     "the image has version 2.30 build 57, the device 10.00 build 60: the image is not newer "
     "(--allow-older installs it)\n",
     3},
    {"ChecksumUnanswered",
     0,
     {"--checksum-silent"},
     {"--yes"},
     "Cannot get hardware checksum\n"
     "the device did not answer the checksum query over 4,000 bytes\n",
     1,
     "",
     30000, // 6000 polls 5 ms apart
     30000},
    // A device that stays busy: 1000 reads, the pauses 2, 3, ... 20, 20 ms.
    {"DeviceStaysBusy",
     0,
     {"--busy", "1000"},
     {"--yes"},
     "Cannot get connected hardware product\n"
     "the device never reported ready when asked for its product name\n",
     1,
     "",
     19829,
     19829},
    // Ten refused writes are all the tries of one request.
    {"EveryWriteTryRefused",
     0,
     {"--fail-writes", "10"},
     {"--yes"},
     "Cannot get connected hardware product\n"
     "the device failed a request when asked for its product name: error 0x1f, the device "
     "reported a failure\n",
     1,
     "",
     50,
     50},
    // The answer poll takes no failed read: the first one ends the request.
    {"AnswerReadDropped",
     0,
     {"--drop-read-every", "2"},
     {"--yes"},
     "Cannot get connected hardware product\n"
     "the device failed a request when asked for its product name: error 0x1f, the device "
     "reported a failure\n",
     1,
     "",
     0,
     0},
    {"AnswerReadShort",
     0,
     {"--short-read-every", "2"},
     {"--yes"},
     "Cannot get connected hardware product\n"
     "the device failed a request when asked for its product name\n",
     1,
     "",
     0,
     0},
    {"AlreadyInstalled",
     INSTALL_IMAGE,
     {},
     {"--yes"},
     "Already updated.\nthe device's checksum over 4,000 bytes is the image's, 0x0007c5b0 "
     "(--allow-reinstall installs it again)\n",
     3},
    {"NotConfirmedWithoutTerminal",
     0,
     {},
     {},
     "qxtool: not confirmed: standard input is not a terminal (give --yes to update without "
     "asking)\n",
     3},
    {"PipedYesIsNoConfirmation",
     0,
     {},
     {},
     "qxtool: not confirmed: standard input is not a terminal (give --yes to update without "
     "asking)\n",
     3,
     "y\n"},
};

// Rows print as their names in test listings.
void PrintTo(const Refusal &row, std::ostream *os)
{
    *os << row.name;
}

struct RefusalTest : E2e, ::testing::WithParamInterface<Refusal> {
};

TEST_P(RefusalTest, RefusesWithItsTextAndStatus)
{
    const Refusal &row = GetParam();
    std::string fw = image("fw.bin", "QX-20", 230, 57);
    std::vector<std::string> sim = row.sim;
    if (row.flags & INSTALL_IMAGE) {
        sim.push_back("--firmware");
        sim.push_back(fw);
    }
    if (!(row.flags & NO_SIM))
        serve(sim);
    const std::string err = expand(row.err, dev_dir.path());
    std::vector<uint16_t> endpoint(USBDEVS_PATH_UNITS, 0);
    usbdevs_path_from_utf8(endpoint.data(), endpoint.size(), dev_dir.file("qx-10_20").c_str());
    QxLock other;
    qxlock_init(&other);
    if (row.flags & HOLD_LOCK) {
        ASSERT_EQ(0, qxlock_take(&other, endpoint.data(), nullptr));
    }
    if (row.flags & LOCK_DIR) {
        ASSERT_EQ(0, mkdir(dev_dir.file("qx-10_20.lock").c_str(), 0700));
    }
    std::vector<std::string> args = {"update"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    if (!(row.flags & BUILTIN))
        args.push_back(fw);
    ProcResult r = tool(args, {}, row.input);
    EXPECT_EQ(row.status, r.status);
    EXPECT_EQ(err, r.err);
    if (row.flags & (HOLD_LOCK | LOCK_DIR)) {
        E2e::sim.stop();
        EXPECT_NE(std::string::npos, read_text_file(E2e::sim.summary_path()).find("\"calls\": 0,"))
            << read_text_file(E2e::sim.summary_path());
        serve(sim);
    }
#ifdef QXDEMO_PATH
    // The window says the same in its box, the cause line kept, and on
    // standard error why it did not read the product at its start.
    if ((row.flags & LOCK_DIR) && (row.flags & BUILTIN)) {
        ProcResult w = proc_run({QXDEMO_PATH}, {{"QX_DEVICE_DIR", dev_dir.path().c_str()},
                                                {"QT_QPA_PLATFORM", "offscreen"},
                                                {"LSAN_OPTIONS", QXDEMO_LSAN}});
        EXPECT_EQ(3, w.status) << w.out << w.err;
        const std::string cause = expand(
            "cannot open the device's lock file %D/qx-10_20.lock: Is a directory", dev_dir.path());
        EXPECT_NE(std::string::npos,
                  w.out.find("window refused: Cannot lock the device for this program.\n\n" +
                             cause + ".\n"))
            << w.out;
        EXPECT_NE(std::string::npos, w.err.find(cause + "; its product is not read")) << w.err;
    }
#endif
    if (row.wait_max >= 0) {
        EXPECT_GE(waited_ms, row.wait_min);
        EXPECT_LE(waited_ms, row.wait_max);
    }
    // Nothing was started: no stage text, and the device still runs what it had.
    EXPECT_EQ(std::string::npos, r.out.find("Preparing...")) << r.out;

    // With --json the same texts on standard error, the same status, and a
    // result object last; still no stage. The device starts again in its
    // first state, since a fault may count down.
    if (!(row.flags & NO_SIM)) {
        E2e::sim.stop();
        serve(sim);
    }
    args.insert(args.begin() + 1, "--json");
    r = tool(args, {}, row.input);
    EXPECT_EQ(row.status, r.status);
    EXPECT_EQ(err, r.err);
    qxlock_release(&other);
    rmdir(dev_dir.file("qx-10_20.lock").c_str());
    std::vector<Json> events = json_lines(r.out);
    ASSERT_FALSE(events.empty());
    for (const Json &e : events)
        EXPECT_NE("stage", e["event"]) << e;
    const Json &last = events.back();
    EXPECT_EQ("result", last["event"]);
    EXPECT_EQ(row.status, last["status"]);
    EXPECT_EQ(result_name(row.status), last["result"]);
    EXPECT_FALSE(last["error"].get<std::string>().empty());
    // A refusal with a line under its text has that line as its cause.
    const size_t first_end = err.find('\n');
    const bool has_cause = first_end + 1 < err.size() && err.compare(0, 8, "qxtool: ") != 0;
    EXPECT_EQ(has_cause, last.contains("cause")) << last;
    if (has_cause && last.contains("cause")) {
        EXPECT_EQ(err.substr(first_end + 1, err.size() - first_end - 2), last["cause"]["text"]);
    }
    if (row.flags & HOLD_LOCK) {
        EXPECT_EQ("test_e2e_update", last["cause"]["holder"]["program"]) << last;
        EXPECT_EQ(getpid(), last["cause"]["holder"]["pid"]) << last;
    }
    if (!(row.flags & NO_SIM) && row.sim.empty()) {
        ProcResult info = tool({"info"});
        EXPECT_NE(std::string::npos, info.out.find("version: 2.20\n")) << info.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Update, RefusalTest, ::testing::ValuesIn(k_refusals),
                         [](const auto &info) { return std::string(info.param.name); });

// Two updaters started together on one device: exactly one updates it, the
// other is refused at once naming the first, and the device sees no breach
// (the daemon's stop fails the test on one).
TEST_F(E2e, TwoUpdatersAtOnceOneIsRefused)
{
    serve();
    EnvChanges env = {{"QX_DEVICE_DIR", dev_dir.path().c_str()},
                      {"QX_TEST_SLEEP_SCALE", E2E_SLEEP_SCALE}};
    ProcRun a, b;
    ASSERT_TRUE(a.start({QXTOOL_PATH, "update", "--yes", "--json"}, env));
    ASSERT_TRUE(b.start({QXTOOL_PATH, "update", "--yes", "--json"}, env));
    const int pid_a = a.pid(), pid_b = b.pid();
    // Judged by events, not clocks: the first result line to appear is the
    // refusal, while the other run has not reached its own. Process
    // supervision in real time: the children run at their own pace.
    const std::string result_event = "\"event\":\"result\"";
    bool a_first = false, both_seen = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    for (;;) {
        bool ea = a.out().find(result_event) != std::string::npos;
        bool eb = b.out().find(result_event) != std::string::npos;
        if (ea || eb) {
            a_first = ea;
            both_seen = ea && eb;
            break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ProcResult ra = a.wait(90), rb = b.wait(90);
    ASSERT_TRUE((ra.status == 0) != (rb.status == 0)) << ra.err << rb.err;
    const ProcResult &done = ra.status == 0 ? ra : rb;
    const ProcResult &refused = ra.status == 0 ? rb : ra;
    const int holder = ra.status == 0 ? pid_a : pid_b;
    EXPECT_NE(std::string::npos, done.out.find("\"result\":\"completed\"")) << done.out;
    EXPECT_EQ(6, refused.status);
    EXPECT_EQ("Another program is updating the device.\n"
              "the device is held by qxtool (process " +
                  std::to_string(holder) + ")\n",
              refused.err);
    // At once: a refusal that waited for the lock would end after the update.
    EXPECT_FALSE(both_seen) << "refused at once, not after the other's update";
    EXPECT_EQ(a_first, &refused == &ra) << "refused at once, not after the other's update";
    std::vector<Json> events = json_lines(refused.out);
    ASSERT_EQ(1u, events.size()) << refused.out;
    EXPECT_EQ("busy", events[0]["result"]);
    EXPECT_EQ(holder, events[0]["cause"]["holder"]["pid"]);
    EXPECT_EQ("qxtool", events[0]["cause"]["holder"]["program"]);
}

// Two devices: a QX-10 on the first endpoint, a QX-20 on a second one.
struct TwoDevices : E2e {
    SimDaemon second;
    void serve_both()
    {
        serve({"--product", "QX-10"});
        ASSERT_TRUE(second.start(QXSIM_PATH, dev_dir.path(), {"--endpoint", "qx-10_20.2"}))
            << read_text_file(dev_dir.file("qxsim.qx-10_20.2.err"));
    }
    // Stops both; the summaries' writes and confirmed transfers.
    void stop_both(Json *first, Json *other)
    {
        sim.stop();
        second.stop();
        *first = Json::parse(read_text_file(sim.summary_path()));
        *other = Json::parse(read_text_file(second.summary_path()));
    }
};

TEST_F(TwoDevices, ListedUpdatedOnlyWhenChosenAndAtOnce)
{
    serve_both();
    // Without --device nothing is sent to either, and the list says how to
    // choose, and which one another program holds.
    std::vector<uint16_t> second_path(USBDEVS_PATH_UNITS, 0);
    usbdevs_path_from_utf8(second_path.data(), second_path.size(),
                           dev_dir.file("qx-10_20.2").c_str());
    QxLock held;
    qxlock_init(&held);
    ASSERT_EQ(0, qxlock_take(&held, second_path.data(), nullptr));
    ProcResult r = tool({"update", "--yes"});
    qxlock_release(&held);
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("Several devices are connected: choose one with --device ID (qxtool list shows each "
              "one's product and version).\n"
              "  1:qx-10_20  " +
                  dev_dir.file("qx-10_20") + "\n  2:qx-10_20.2  " + dev_dir.file("qx-10_20.2") +
                  "  (in use by test_e2e_update (process " + std::to_string(getpid()) + "))\n",
              r.err);
    EXPECT_EQ("", r.out);
    r = tool({"update", "--yes", "--json", QX_BUILTIN20});
    EXPECT_EQ(3, r.status);
    std::vector<Json> events = json_lines(r.out);
    ASSERT_EQ(1u, events.size()) << r.out;
    EXPECT_EQ("refused", events[0]["result"]);
    ASSERT_EQ(2u, events[0]["devices"].size());
    EXPECT_EQ("2:qx-10_20.2", events[0]["devices"][1]["id"]);
    Json first, other;
    stop_both(&first, &other);
    EXPECT_EQ(0, first["calls"]);
    EXPECT_EQ(0, other["calls"]);

    serve_both();
    r = tool({"list"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("1:qx-10_20  QX-10  version 2.20  build 50  idle  " + dev_dir.file("qx-10_20") +
                  "\n2:qx-10_20.2  QX-20  version 2.20  build 50  idle  " +
                  dev_dir.file("qx-10_20.2") + "\n",
              r.out);
    r = tool({"list", "--json"});
    ASSERT_EQ(0, r.status) << r.err;
    Json list = Json::parse(r.out);
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ("1:qx-10_20", list[0]["id"]);
    EXPECT_EQ("QX-10", list[0]["product"]);
    EXPECT_EQ(220, list[0]["version"]);
    EXPECT_EQ(50, list[0]["build"]);
    EXPECT_EQ(dev_dir.file("qx-10_20.2"), list[1]["path"]);
    EXPECT_EQ("QX-20", list[1]["product"]);
    // A device another program holds is listed with its holder, unasked.
    ASSERT_EQ(0, qxlock_take(&held, second_path.data(), nullptr));
    r = tool({"list"});
    qxlock_release(&held);
    EXPECT_NE(std::string::npos,
              r.out.find("\n2:qx-10_20.2  ?  in use by test_e2e_update (process " +
                         std::to_string(getpid()) + ")  " + dev_dir.file("qx-10_20.2") + "\n"))
        << r.out;
    // Another command takes the device the probe finds, and says which.
    r = tool({"info"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("product: QX-10")) << r.out;
    EXPECT_NE(std::string::npos, r.err.find("2 devices are connected; this is 1:qx-10_20 ("))
        << r.err;
    r = tool({"info", "--device", "3:qx-10_20.3"});
    EXPECT_EQ(4, r.status);
    EXPECT_EQ("No connected device has the id 3:qx-10_20.3.\nThe devices connected now:\n"
              "  1:qx-10_20  " +
                  dev_dir.file("qx-10_20") + "\n  2:qx-10_20.2  " + dev_dir.file("qx-10_20.2") +
                  "\n",
              r.err);
    // The whole path chooses as the id does.
    r = tool({"info", "--device", dev_dir.file("qx-10_20.2")});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("product: QX-20")) << r.out;

    // The QX-10, chosen by its id: the QX-20 takes no transfer.
    r = tool({"update", "--yes", "--device", list[0]["id"]});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("product:QX-10, version:2.30")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Completed.")) << r.out;
    r = tool({"info", "--json", "--device", "qx-10_20.2"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(220, Json::parse(r.out)["version"]);
    stop_both(&first, &other);
    EXPECT_EQ(1, first["completed"]);
    EXPECT_EQ(0, other["chunks"]);
    EXPECT_EQ(0, other["completed"]);

    // Each device has a lock of its own: two updates run side by side.
    serve_both();
    EnvChanges env = {{"QX_DEVICE_DIR", dev_dir.path().c_str()},
                      {"QX_TEST_SLEEP_SCALE", E2E_SLEEP_SCALE}};
    ProcRun a, b;
    ASSERT_TRUE(a.start({QXTOOL_PATH, "update", "--yes", "--device", "1:qx-10_20"}, env));
    // The list shows the update running, without asking that device anything.
    const std::string busy = "1:qx-10_20  ?  in use by qxtool (process " + std::to_string(a.pid()) +
                             ")  " + dev_dir.file("qx-10_20") + "\n";
    ASSERT_TRUE(a.wait_for_output("Sending and Updating...", 30)) << a.out();
    r = tool({"list"});
    ProcResult rj = tool({"list", "--json"});
    if (a.out().find("Completed.") == std::string::npos) {
        EXPECT_NE(std::string::npos, r.out.find(busy)) << r.out;
        // In JSON the holder is the object a busy refusal names.
        Json held = Json::parse(rj.out)[0];
        EXPECT_EQ(true, held["busy"]) << rj.out;
        EXPECT_EQ(Json({{"program", "qxtool"}, {"pid", a.pid()}}), held["holder"]) << rj.out;
    }
    ASSERT_TRUE(b.start({QXTOOL_PATH, "update", "--yes", "--device", "2:qx-10_20.2"}, env));
    ProcResult ra = a.wait(90), rb = b.wait(90);
    EXPECT_EQ(0, ra.status) << ra.err;
    EXPECT_EQ(0, rb.status) << rb.err;
    // Two programs ending at once lose no record: the earlier update of the
    // QX-10 and these two.
    int completed = 0;
    for (const Json &rec : json_lines(tool({"history", "--json"}).out))
        completed += rec["outcome"] == "completed";
    EXPECT_EQ(3, completed);
    stop_both(&first, &other); // and no breach on either
    EXPECT_EQ(1, first["completed"]);
    EXPECT_EQ(1, other["completed"]);

#ifdef QXDEMO_PATH
    // The window takes the device the probe finds, as with one, and says on
    // standard output which one that is and that the other is there. A
    // product with no built-in image has the window refuse at once.
    ASSERT_TRUE(sim.start(QXSIM_PATH, dev_dir.path(), {"--product", "QX-30"}));
    ASSERT_TRUE(second.start(QXSIM_PATH, dev_dir.path(), {"--endpoint", "qx-10_20.2"}));
    ProcResult w = proc_run({QXDEMO_PATH}, {{"QX_DEVICE_DIR", dev_dir.path().c_str()},
                                            {"QT_QPA_PLATFORM", "offscreen"},
                                            {"LSAN_OPTIONS", QXDEMO_LSAN}});
    EXPECT_NE(std::string::npos, w.out.find("qxupdater: 2 devices are connected: this one is " +
                                            dev_dir.file("qx-10_20") + "; the others (" +
                                            dev_dir.file("qx-10_20.2") + ") are left alone here"))
        << w.out << w.err;
    // The QX-20 beside it has an image: the refusal shows which one was read.
    EXPECT_NE(std::string::npos, w.out.find("window refused: Product is not matching")) << w.out;
    stop_both(&first, &other);
    EXPECT_EQ(0, other["writes"]) << "the window leaves the other device alone";
#endif
}

#ifdef QXDEMO_PATH
// The window started while qxtool updates the device: it refuses its update
// with the other-program box and sends the device nothing (its own trace
// holds no call), and the update goes on to its end.
TEST_F(E2e, WindowStartedDuringAnUpdateRefusesAndSendsNothing)
{
    serve({"--latency-us", "150"});
    EnvChanges env = {{"QX_DEVICE_DIR", dev_dir.path().c_str()},
                      {"QX_TEST_SLEEP_SCALE", E2E_SLEEP_SCALE}};
    ProcRun update;
    ASSERT_TRUE(update.start({QXTOOL_PATH, "update", "--yes", "--json"}, env));
    ASSERT_TRUE(update.wait_for_output("\"stage\":\"sending\"")) << update.out();
    const std::string trace = work.file("window.trace");
    // Qt's offscreen plugin never frees its screen: the window tests' leak
    // suppressions, for a sanitizer build.
    ProcResult w = proc_run({QXDEMO_PATH}, {{"QX_DEVICE_DIR", dev_dir.path().c_str()},
                                            {"QT_QPA_PLATFORM", "offscreen"},
                                            {"LSAN_OPTIONS", QXDEMO_LSAN},
                                            {"QX_TRACE", trace.c_str()}});
    EXPECT_EQ(3, w.status) << w.out << w.err;
    EXPECT_NE(std::string::npos,
              w.out.find("window refused: Another program is updating the device.\n\n"
                         "the device is held by qxtool (process " +
                         std::to_string(update.pid()) + ")."))
        << w.out;
    EXPECT_NE(std::string::npos, read_text_file(trace).find("\"op\":\"start\"")) << "traced";
    EXPECT_EQ(std::string::npos, read_text_file(trace).find("\"op\":\"ioctl\""))
        << read_text_file(trace);
    EXPECT_EQ(std::string::npos, update.out().find("\"event\":\"result\""))
        << "the window came while the update ran";
    ProcResult r = update.wait(120);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"result\":\"completed\"")) << r.out;
}

// Outside an update a stop signal ends the window as it always did: at
// once, by the signal, with nothing to say.
TEST_F(E2e, WindowEndsAtOnceOnSigtermWhenIdle)
{
    ProcRun w;
    ASSERT_TRUE(w.start({QXDEMO_PATH}, {{"QX_DEVICE_DIR", dev_dir.path().c_str()},
                                        {"QT_QPA_PLATFORM", "offscreen"},
                                        {"LSAN_OPTIONS", QXDEMO_LSAN}}));
    // Its first line comes once the window (and its signal handling) is up,
    // a second before it would press the button.
    ASSERT_TRUE(w.wait_for_output("window: ")) << w.out();
    w.signal(SIGTERM);
    ProcResult r = w.wait(60);
    EXPECT_EQ(128 + SIGTERM, r.status) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("pressing")) << r.out;
    // Only the word of the start (no device here); none of a handled end.
    size_t lines = 0;
    for (size_t at = r.err.find("qxupdater: "); at != std::string::npos;
         at = r.err.find("qxupdater: ", at + 1))
        lines++;
    EXPECT_EQ(1u, lines) << r.err;
}

// SIGTERM to the window at about 30 % of its update: the worker stops at its
// next call, the window says where and what the device holds, gives the
// device back and ends with qxtool's status for the signal; the device saw
// nothing it would refuse and takes the next update.
TEST_F(E2e, WindowStopsAtACallBoundaryOnSigterm)
{
    serve({"--latency-us", "100"});
    ProcRun w;
    ASSERT_TRUE(w.start({QXDEMO_PATH}, {{"QX_DEVICE_DIR", dev_dir.path().c_str()},
                                        {"QT_QPA_PLATFORM", "offscreen"},
                                        {"LSAN_OPTIONS", QXDEMO_LSAN}}));
    const int64_t length = 315424;
    auto reached = [&]() {
        std::istringstream out(w.out());
        std::string line;
        while (std::getline(out, line)) {
            long long at = 0;
            if (sscanf(line.c_str(), "window: %lld of 315424 bytes sent", &at) == 1 &&
                at * 10 >= length * 3)
                return true;
        }
        return false;
    };
    // Process supervision in real time: the window runs at its own pace.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!reached()) {
        ASSERT_EQ(std::string::npos, w.out().find("window: bar at")) << w.out();
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << w.out();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    w.signal(SIGTERM);
    ProcResult r = w.wait(60);
    EXPECT_EQ(128 + SIGTERM, r.status) << r.out << r.err;
    const std::string said = "qxupdater: Update stopped.\n\nStopped at byte ";
    const size_t at = r.err.find(said);
    ASSERT_NE(std::string::npos, at) << r.err;
    // Where it stopped: past the 30 % seen, short of the end.
    std::string digits;
    for (size_t i = at + said.size(); i < r.err.size() && r.err[i] != ' '; ++i)
        if (r.err[i] != ',')
            digits += r.err[i];
    EXPECT_GE(std::stoll(digits) * 10, length * 3) << r.err;
    EXPECT_LT(std::stoll(digits), length) << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find(" of 315,424: the device holds an incomplete image.\n\nPress Firmware "
                         "Update again to write the whole image; until then the device may not "
                         "work.\n",
                         at))
        << r.err;

    std::vector<uint16_t> endpoint(USBDEVS_PATH_UNITS, 0);
    usbdevs_path_from_utf8(endpoint.data(), endpoint.size(), dev_dir.file("qx-10_20").c_str());
    EXPECT_EQ(1, qxlock_holder(endpoint.data(), nullptr)) << "the device is free again";

    ProcResult again = tool({"update", "--yes"});
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_NE(std::string::npos, again.out.find("Completed.")) << again.out;
    // The window's transfer never completed, the next one did; no breach
    // (the daemon is strict).
    E2e::sim.stop();
    Json summary = Json::parse(read_text_file(E2e::sim.summary_path()));
    EXPECT_EQ(1, summary["completed"]) << summary;
    EXPECT_EQ(0, summary["breaches"]["count"]) << summary;
}
#endif

// Every attempt leaves one record in the update history, whatever its end;
// a line cut by a crash is skipped and not glued onto; a history that
// cannot be written does not fail the update.
TEST_F(E2e, HistoryKeepsEveryAttempt)
{
    serve();
    ASSERT_EQ(0, tool({"update", "--yes"}).status);
    ASSERT_EQ(3, tool({"update", "--yes"}).status); // already installed
    sim.stop();
    serve({"--fail-transfer", "1"});
    ASSERT_EQ(1, tool({"update", "--yes", "--allow-reinstall"}).status);
    sim.stop();
    serve({"--fw-version", "220"});

    std::vector<Json> recs = json_lines(tool({"history", "--json"}).out);
    ASSERT_EQ(3u, recs.size());
    const char *outcomes[] = {"completed", "refused", "failed"};
    const char *states[] = {"updated", "unchanged", "incomplete"};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(outcomes[i]);
        EXPECT_EQ(outcomes[i], recs[i]["outcome"]);
        EXPECT_EQ(states[i], recs[i]["device_state"]);
        EXPECT_EQ("qxtool", recs[i]["program"]);
        EXPECT_EQ(dev_dir.file("qx-10_20"), recs[i]["device"]["path"]);
        EXPECT_EQ("update20.bin (built-in)", recs[i]["image"]["name"]);
        EXPECT_EQ(315424, recs[i]["image"]["size"]);
    }
    EXPECT_EQ(220, recs[0]["device"]["version"]); // as read before the update
    EXPECT_EQ(1, recs[0]["attempts"]);
    EXPECT_EQ("sending", recs[0]["stages"][1]["stage"]);
    EXPECT_EQ("Cannot downgrade from 2.30 to 2.30", recs[1]["error"]);
    EXPECT_EQ(1, recs[2]["attempts"]); // a failed transfer is not retried
    EXPECT_EQ("Firmware Update Failed", recs[2]["error"]);
    EXPECT_FALSE(recs[2]["cause"].get<std::string>().empty());
    EXPECT_FALSE(recs[2]["diagnostics"].empty()) << "the run's diagnostic lines are kept";

    // A crash cut the last line: skipped, and the next record is whole.
    std::string text = read_text_file(history_file());
    write_text_file(history_file(), text + "{\"record\":\"update\",\"time\":\"20");
    ProcResult r = tool({"update", "--yes", work.file("missing.bin")});
    EXPECT_EQ(5, r.status);
    recs = json_lines(tool({"history", "--json"}).out);
    ASSERT_EQ(4u, recs.size());
    EXPECT_EQ("refused", recs[3]["outcome"]);
    EXPECT_EQ(work.file("missing.bin"), recs[3]["image"]["name"]);
    EXPECT_TRUE(recs[3]["device"].is_null());
    EXPECT_NE(std::string::npos,
              read_text_file(history_file()).find("\"time\":\"20\n{\"record\":\"update\""));

    // The newest N, one device's, as text.
    EXPECT_EQ(2u, json_lines(tool({"history", "--json", "-n", "2"}).out).size());
    EXPECT_EQ(3u, json_lines(tool({"history", "--json", "--device", "1:qx-10_20"}).out).size());
    EXPECT_EQ("", tool({"history", "--device", "2:qx-10_20.2"}).out);
    r = tool({"history", "-n", "1"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("  qxtool  refused  ? <- " + work.file("missing.bin")))
        << r.out;

    // The support report holds the device, the history and the last trace.
    r = tool({"report", work.file("report.txt")});
    EXPECT_EQ(0, r.status) << r.err;
    const std::string report = read_text_file(work.file("report.txt"));
    EXPECT_NE(std::string::npos, report.find("Connected devices (1):\n  " +
                                             dev_dir.file("qx-10_20") + "  QX-20  version 2.20"))
        << report;
    const size_t history = report.find("-----BEGIN HISTORY-----\n");
    ASSERT_NE(std::string::npos, history) << report;
    EXPECT_TRUE(recs == json_lines(report.substr(
                            history + 24, report.find("-----END HISTORY-----") - history - 25)))
        << "the report holds the history's records";
    // The last attempt reached no device: its trace holds the start alone.
    EXPECT_NE(std::string::npos,
              report.find("-----BEGIN TRACE-----\n{\"op\":\"start\",\"format\":1,"
                          "\"origin\":\"host\"}\n-----END TRACE-----\n"))
        << report;
    EXPECT_EQ(tool({"report", "-"}).out.substr(0, 60), report.substr(0, 60));

    // A history that cannot be written: the update completes all the same.
    r = tool({"update", "--yes"}, {{"QXUPDATER_STATE_DIR", "/dev/null/state"}});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("qxtool: note: the update history was not written: "))
        << r.err;
}

// A signal in the middle of an update: the tool ends at the next call,
// says where and what the device now holds, gives the device back, and
// the next update completes. A killed updater gives it back all the same.
struct StopCase {
    const char *name;
    int sig;
    bool in_transfer; // else while the stability readings run, before anything is sent
    int status;
    std::vector<std::string> sim = {}; // beyond the latency
    std::vector<std::string> args = {"--yes"};
    // The command the tool advises, run as the next update.
    const char *advised = "qxtool update --yes --allow-reinstall";
    // A fault of the device that never answers a query, and the calls it
    // logs before the signal: the stop lands in that query.
    const char *silent = nullptr;
    int after_calls = 0;
    bool identity = false; // the product query, before an image is chosen
    int then = 0;          // a second signal right behind the first: the first one counts
};

const StopCase k_stops[] = {
    {"SigintInTheTransfer", SIGINT, true, 130},
    {"SigtermInTheTransfer", SIGTERM, true, 143},
    {"SighupBeforeSending", SIGHUP, false, 129},
    {"KilledInTheTransfer", SIGKILL, true, 128 + SIGKILL},
    // The device already has the image: the advice must lift that rule.
    {"SigtermInAReinstall",
     SIGTERM,
     true,
     143,
     {"--fw-version", "230", "--build", "57"},
     {"--yes", "--allow-reinstall"}},
    {"SigtermInADowngrade",
     SIGTERM,
     true,
     143,
     {"--fw-version", "240"},
     {"--allow-older", "--yes"},
     "qxtool update --yes --allow-older --allow-reinstall"},
    {"SigintThenSigtermInTheTransfer",
     SIGINT,
     true,
     130,
     {},
     {"--yes"},
     "qxtool update --yes --allow-reinstall",
     nullptr,
     0,
     false,
     SIGTERM},
    {"SigintInTheIdentityQuery", SIGINT, false, 130, {}, {"--yes"}, "", "--info-silent", 2, true},
    // The installed-image check reads the device's checksum over the image.
    {"SigtermInTheChecksumQuery", SIGTERM, false, 143, {}, {"--yes"}, "", "--checksum-silent", 60},
};

void PrintTo(const StopCase &row, std::ostream *os)
{
    *os << row.name;
}

struct StopTest : E2e, ::testing::WithParamInterface<StopCase> {
};

TEST_P(StopTest, EndsAtACallBoundaryAndTheNextUpdateCompletes)
{
    const StopCase &row = GetParam();
    // Slow enough calls that the signal lands where the row says; a device
    // that never answers a query, which the signal finds running once the
    // device has logged its request.
    std::vector<std::string> sim = {"--latency-us", row.in_transfer ? "100" : "30000"};
    if (row.silent) {
        sim.push_back(row.silent);
        sim.push_back("--verbose");
    }
    sim.insert(sim.end(), row.sim.begin(), row.sim.end());
    serve(sim);
    EnvChanges env = {{"QX_DEVICE_DIR", dev_dir.path().c_str()},
                      {"QX_TEST_SLEEP_SCALE", E2E_SLEEP_SCALE}};
    ProcRun run;
    std::vector<std::string> argv = {QXTOOL_PATH, "update", "--json"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    ASSERT_TRUE(run.start(argv, env));
    const int64_t length = 315424;
    int64_t seen = 0; // the position the tool had reported when signalled
    if (row.in_transfer) {
        // At about 30 % of the transfer, as the tool reports it.
        auto reached = [&]() {
            for (const Json &e : json_lines(run.out()))
                if (e["event"] == "progress" && e["position"].get<int64_t>() * 10 >= length * 3)
                    seen = e["position"].get<int64_t>();
            return seen > 0;
        };
        // Process supervision in real time: the child runs at its own pace.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!reached()) {
            ASSERT_FALSE(run.out().find("\"event\":\"result\"") != std::string::npos) << run.out();
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << run.out();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    } else if (row.silent) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto calls = [&] {
            std::string log = read_text_file(dev_dir.file("qxsim.err"));
            return (int)std::count(log.begin(), log.end(), '\n');
        };
        while (calls() < row.after_calls) {
            ASSERT_EQ(std::string::npos, run.out().find("\"event\":\"result\"")) << run.out();
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    } else {
        ASSERT_TRUE(run.wait_for_output("\"stage\":\"preparing\""));
    }
    run.signal(row.sig);
    if (row.then)
        run.signal(row.then);
    ProcResult r = run.wait(60);
    EXPECT_EQ(row.status, r.status) << r.err;

    std::vector<uint16_t> endpoint(USBDEVS_PATH_UNITS, 0);
    usbdevs_path_from_utf8(endpoint.data(), endpoint.size(), dev_dir.file("qx-10_20").c_str());
    EXPECT_EQ(1, qxlock_holder(endpoint.data(), nullptr)) << "the device is free again";

    // The next update: the one the tool advised, as written.
    std::vector<std::string> next = {"update", "--yes"};
    if (row.sig != SIGKILL) {
        std::vector<Json> events = json_lines(r.out);
        ASSERT_FALSE(events.empty());
        const Json &last = events.back();
        for (const Json &e : events)
            EXPECT_TRUE(e["event"] != "result" || &e == &last) << "one result: " << r.out;
        EXPECT_EQ("stopped", last["result"]) << last;
        EXPECT_EQ(row.status, last["status"]) << last;
        const Json &stop = last["stop"];
        std::string text;
        if (row.in_transfer) {
            EXPECT_EQ("transfer", stop["phase"]) << last;
            EXPECT_EQ("incomplete", last["device_state"]) << last;
            EXPECT_EQ(row.advised, last["next_command"]) << last;
            int64_t at = stop["position"].get<int64_t>();
            EXPECT_GE(at, seen);
            EXPECT_LT(at, length);
            text = "Stopped at byte " + grouped(at) +
                   " of 315,424: the device holds an incomplete image.\nRun " + row.advised +
                   " to write the whole image; until then the device may not work.";
            std::istringstream words(row.advised);
            std::string word;
            next.clear();
            for (words >> word; words >> word;)
                next.push_back(word);
        } else {
            EXPECT_EQ("before sending", stop["phase"]) << last;
            EXPECT_EQ("unchanged", last["device_state"]) << last;
            EXPECT_FALSE(last.contains("next_command")) << last;
            for (const Json &e : events)
                EXPECT_NE("sending", e.value("stage", "")) << "nothing was sent";
            text = "Stopped before anything was sent: the device is unchanged.";
        }
        // Stopped before an image was chosen: none has a length yet.
        EXPECT_EQ(row.identity ? 0 : length, stop["length"]) << last;
        EXPECT_EQ(text.substr(0, text.find('\n')), stop["text"]) << last;
        EXPECT_EQ("Update stopped.\n" + text + "\n", r.err);
    }

    // The history holds the stop and what the device holds; a killed
    // updater leaves no record.
    std::vector<Json> records = json_lines(tool({"history", "--json"}).out);
    if (row.sig == SIGKILL) {
        EXPECT_EQ(0u, records.size());
    } else {
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ("stopped", records[0]["outcome"]);
        EXPECT_EQ(row.in_transfer ? "incomplete" : "unchanged", records[0]["device_state"]);
    }

    // The device still reports what it had, and takes the next update.
    if (row.silent) {
        E2e::sim.stop();
        serve();
    }
    ProcResult info = tool({"info"});
    std::string before = "2.20";
    for (size_t i = 0; i + 1 < row.sim.size(); ++i)
        if (row.sim[i] == "--fw-version")
            before = row.sim[i + 1].substr(0, 1) + "." + row.sim[i + 1].substr(1);
    EXPECT_NE(std::string::npos, info.out.find("version: " + before + "\n"))
        << info.out << info.err;
    if (!row.in_transfer && !row.silent) {
        E2e::sim.stop();
        serve();
    }
    ProcResult again = tool(next);
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_NE(std::string::npos, again.out.find("Completed.")) << again.out;
}

INSTANTIATE_TEST_SUITE_P(Update, StopTest, ::testing::ValuesIn(k_stops),
                         [](const auto &info) { return std::string(info.param.name); });

struct Outcome {
    const char *name;
    int flags;
    std::vector<std::string> sim;
    std::vector<std::string> args; // after "update"
    std::vector<std::string> texts;
    const char *error; // null: completes
    const char *cause; // the line under the error
    int readings;      // device checksum readings, answered or not
    // Bounds of the virtual time the run waited, in ms (-1: not checked).
    long long wait_min = -1, wait_max = -1;
};

const std::vector<std::string> k_completes = {"Preparing...", "Sending and Updating...",
                                              "Checking...", k_done};
// A 4036-byte image goes in 16 bursts under the default room of 256 (79
// chunks); an update that matches at once pauses 1 s before the transfer
// and 1 s before the check.
const long long k_pauses = 2000;

const Outcome k_outcomes[] = {
    // The rules that --allow-older and --allow-reinstall lift.
    {"AllowOlder",
     0,
     {"--version", "230", "--build", "57"},
     {"--yes", "--allow-older"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr,
     nullptr,
     4,
     k_pauses,
     k_pauses},
    // The image the device runs, version, build and checksum: a reinstall,
    // which --allow-reinstall alone lets through.
    {"ReinstallTheInstalledImage",
     INSTALL_IMAGE,
     {"--version", "230", "--build", "57"},
     {"--yes", "--allow-reinstall"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr,
     nullptr,
     4,
     k_pauses,
     k_pauses},
    // Device faults the update rides out. The waits they cost: after each
    // of the 15 bursts before the last, a lagging offset or room 0 costs a
    // 5 ms pause per answer; a lagging offset after the last one costs the
    // finish phase a cycle (10 reads 100 ms apart and 1 s) per answer.
    {"OffsetLags",
     0,
     {"--offset-lag", "2"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses + 15 * 2 * 5 + 2 * 2000,
     k_pauses + 15 * 2 * 5 + 2 * 2000},
    {"RoomZeroAfterBursts",
     0,
     {"--room-zero", "2"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses + 15 * 2 * 5,
     k_pauses + 15 * 2 * 5},
    // Room and offset in two answers: one more read, 5 ms later, per query.
    {"SplitStatus",
     0,
     {"--split-status"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses + 16 * 5,
     k_pauses + 16 * 5},
    {"BusyAtStart",
     0,
     {"--busy", "5"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses + 2 + 3 + 4 + 5 + 6,
     k_pauses + 2 + 3 + 4 + 5 + 6},
    // 105 writes, each followed by one busy read: after the begin and the
    // 79 chunks a 2 ms ready-wait pause, after the 24 requests with an
    // answer poll (3 info, 4 checksums, 16 status) a 5 ms poll pause, and
    // after the closing status query a 100 ms finish pause.
    {"BusyAfterEveryWrite",
     0,
     {"--busy-after-write", "1"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses + 80 * 2 + 24 * 5 + 100,
     k_pauses + 80 * 2 + 24 * 5 + 100},
    // Every third write try refused: 52 of the 157 tries, each a 5 ms pause
    // and the same write again.
    {"EveryThirdWriteRefused",
     0,
     {"--fail-write-every", "3"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses + 52 * 5,
     k_pauses + 52 * 5},
    // Reads 50 and 100 of about 130 fail: both are ready-wait reads, which
    // go on after a 2 ms pause.
    {"ReadsDroppedInReadyWaits",
     0,
     {"--drop-read-every", "50"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses + 2 * 2,
     k_pauses + 2 * 2},
    {"ShortReadsInReadyWaits",
     0,
     {"--short-read-every", "50"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses + 2 * 2,
     k_pauses + 2 * 2},
    {"NineWritesRefused",
     0,
     {"--fail-writes", "9"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses + 9 * 5,
     k_pauses + 9 * 5},
    {"SmallRoom",
     0,
     {"--room", "100"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses,
     k_pauses},
    {"ChecksumJitterWithinMargin",
     0,
     {"--checksum-jitter", "5"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses,
     k_pauses},
    {"DebugText",
     0,
     {"--debug-text", "boot ok"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses,
     k_pauses},
    {"SlowDevice",
     0,
     {"--latency-us", "100"},
     {"--yes"},
     k_completes,
     nullptr,
     nullptr,
     4,
     k_pauses,
     k_pauses},
    {"AllowReinstall",
     INSTALL_IMAGE,
     {},
     {"--yes", "--allow-reinstall"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr,
     nullptr,
     4},
    {"AllowBothOnTheInstalledImage",
     INSTALL_IMAGE,
     {"--version", "230", "--build", "57"},
     {"--yes", "--allow-older", "--allow-reinstall"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr,
     nullptr,
     4},
    {"NewerBuildOfOlderVersion",
     0,
     {"--version", "231", "--build", "56"},
     {"--yes"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr,
     nullptr,
     4},
    {"StabilitySpreadOf256Passes",
     0,
     {"--checksum-script", "1000,1100,1256"},
     {"--yes", "--allow-reinstall"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr,
     nullptr,
     4},
    {"MatchAfterOneRetry",
     0,
     {"--checksum-script", "5,5,5,7,7,7,7,7,7,7,7,7,7"},
     {"--yes", "--allow-reinstall"},
     {"Preparing...", "Sending and Updating...", "Checking...", "Retrying... 1/2", "Checking...",
      k_done},
     nullptr,
     nullptr,
     14},
    // The failures.
    {"StabilityReadingUnanswered",
     0,
     {"--checksum-silent"},
     {"--yes", "--allow-reinstall"},
     {"Preparing..."},
     "Cannot Get Hardware Checksum",
     "the device did not answer the checksum query over 4,036 bytes",
     1},
    {"StabilitySpreadOver256",
     0,
     {"--checksum-script", "1000,1100,1257"},
     {"--yes", "--allow-reinstall"},
     {"Preparing..."},
     "Hardware checksum is not valid.",
     "the device's checksum readings spread from 0x000003e8 to 0x000004e9, more than 256 apart",
     3},
    {"TransferFails",
     0,
     {"--fail-transfer", "1"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed",
     "the device failed a request at byte 0 of 4,036: error 0x1f, the device reported a "
     "failure; the device holds an incomplete image\n"
     "Run qxtool update --yes --allow-reinstall IMAGE to write the whole image; until then the "
     "device may not work.",
     3},
    {"UnpluggedDuringTransfer",
     0,
     {"--unplug-after", "1000"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed",
     "the device stopped answering at byte 1,012 of 4,036: error 0x2, the device's "
     "endpoint is not there; the device holds an incomplete image\n"
     "Run qxtool update --yes --allow-reinstall IMAGE to write the whole image; until then the "
     "device may not work.",
     3},
    // Call 31 is a ready read in the transfer: the device takes it and never
    // answers. Only that call waits out the transport's bound; the ready
    // wait's other 999 reads fail at once (without that, the run would take
    // over an hour and the harness would end it at 90 s).
    {"DeviceStopsAnsweringAtAReadyRead",
     0,
     {"--stop-answering-after", "30"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed",
     "the device stopped answering at byte 122 of 4,036: error 0x79, the "
     "device did not answer in time; the device holds an incomplete image\n"
     "Run qxtool update --yes --allow-reinstall IMAGE to write the whole image; until then the "
     "device may not work.",
     3},
    {"EndNeverConfirmed",
     0,
     {"--never-complete"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed",
     "the device did not confirm the end of the transfer of 4,036 bytes; the device holds the "
     "whole image, but no check reading confirmed it\n"
     "Run qxtool update --yes --allow-reinstall IMAGE to write it once more and check it.",
     3,
     1000 + 20 * 2000, // 20 finish cycles of 10 reads 100 ms apart and 1 s
     1000 + 20 * 2000},
    // A failed answer read in the transfer ends it at once: no more than
    // the pause before it and a few ready-wait pauses.
    {"TransferAnswerDropped",
     0,
     {"--drop-read-every", "7"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed",
     "the device failed a request at byte 512 of 4,036: error 0x1f, the "
     "device reported a failure; the device holds an incomplete image\n"
     "Run qxtool update --yes --allow-reinstall IMAGE to write the whole image; until then the "
     "device may not work.",
     3,
     1000,
     1010},
    {"TransferAnswerShort",
     0,
     {"--short-read-every", "7"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed",
     "the device failed a request at byte 512 of 4,036; the device holds an incomplete image\n"
     "Run qxtool update --yes --allow-reinstall IMAGE to write the whole image; until then the "
     "device may not work.",
     3,
     1000,
     1010},
    // No room ever: 2000 failed checks 5 ms apart.
    {"NoRoom",
     0,
     {"--room", "0"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed",
     "the device stopped taking data at byte 0 of 4,036; the device holds an incomplete image\n"
     "Run qxtool update --yes --allow-reinstall IMAGE to write the whole image; until then the "
     "device may not work.",
     3,
     1000 + 2000 * 5,
     1000 + 2000 * 5},
    {"SecondTransferFails",
     0,
     {"--checksum-offset", "100", "--fail-transfer", "2"},
     {"--yes"},
     {"Preparing...", "Sending and Updating...", "Checking...", "Retrying... 1/2"},
     "Firmware Update Failed",
     "the device failed a request at byte 0 of 4,036 (attempt 2 of 3): error 0x1f, the device "
     "reported a failure; the device holds an incomplete image\n"
     "Run qxtool update --yes --allow-reinstall IMAGE to write the whole image; until then the "
     "device may not work.",
     13},
    {"ChecksumNeverEqual",
     0,
     {"--checksum-offset", "100"},
     {"--yes"},
     {"Preparing...", "Sending and Updating...", "Checking...", "Retrying... 1/2", "Checking...",
      "Retrying... 2/2", "Checking..."},
     "Hardware checksum is not equal to firmware.\n\nPlease contact the technical support.",
     "no checksum reading came within 15 of the image's 0x0007c5b0 after 3 transfers; the "
     "last read 0x0007c614; the device holds the whole image, but no check reading confirmed it\n"
     "Run qxtool update --yes --allow-reinstall IMAGE to write it once more and check it.",
     33},
};

// Rows print as their names in test listings.
void PrintTo(const Outcome &row, std::ostream *os)
{
    *os << row.name;
}

struct OutcomeTest : E2e, ::testing::WithParamInterface<Outcome> {
};

TEST_P(OutcomeTest, ShowsTheWorkersTextsAndStatus)
{
    const Outcome &row = GetParam();
    // A name the advised command must quote for the shell.
    std::string fw = image("Olivia's fw.bin", "QX-20", 230, 57);
    const std::string dir = work.path();
    ASSERT_EQ(std::string::npos, dir.find_first_of("' \"\\$")) << dir;
    const std::string quoted = "'" + dir + "/Olivia'\\''s fw.bin'";
    std::vector<std::string> sim_args = row.sim;
    if (row.flags & INSTALL_IMAGE) {
        sim_args.push_back("--firmware");
        sim_args.push_back(fw);
    }
    serve(sim_args);
    std::vector<std::string> args = {"update"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back(fw);
    ProcResult r = tool(args);
    EXPECT_EQ(lines(row.texts), after_confirmation(r.out)) << r.out;
    // The user's text stays as the window shows it; why comes under it,
    // and what to run when the device was left half-written.
    std::string cause = row.cause ? row.cause : "";
    if (cause.find("IMAGE") != std::string::npos)
        cause.replace(cause.find("IMAGE"), 5, quoted);
    const std::string err = row.error ? std::string(row.error) + "\n" + cause + "\n" : "";
    EXPECT_EQ(row.error ? 1 : 0, r.status) << r.err;
    EXPECT_EQ(err, r.err);

    // The same run as JSON lines, on a device in its first state again.
    sim.stop();
    serve(sim_args);
    args.insert(args.begin() + 1, "--json");
    r = tool(args);
    EXPECT_EQ(row.error ? 1 : 0, r.status) << r.err;
    EXPECT_EQ(err, r.err);
    std::vector<Json> events = json_lines(r.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ("request", events.front()["event"]);
    std::vector<std::string> texts;
    int readings = 0;
    bool whole = false; // a progress line at the image's end
    for (const Json &e : events) {
        if (e["event"] == "stage")
            texts.push_back(e["text"]);
        if (e["event"] == "reading")
            readings++;
        if (e["event"] == "progress")
            whole = whole || e["position"] == e["length"];
    }
    EXPECT_EQ(row.texts, texts);
    EXPECT_EQ(row.readings, readings);
    EXPECT_EQ(std::find(row.texts.begin(), row.texts.end(), "Checking...") != row.texts.end(),
              whole);
    const Json &last = events.back();
    EXPECT_EQ("result", last["event"]);
    EXPECT_EQ(row.error ? 1 : 0, last["status"]);
    if (row.wait_max >= 0) {
        EXPECT_GE(waited_ms, row.wait_min);
        EXPECT_LE(waited_ms, row.wait_max);
    }
    // The cause line's words for the device and the machine's name agree.
    const size_t advice = cause.find("\nRun ");
    std::string state = "unchanged";
    if (cause.find("the device holds an incomplete image") != std::string::npos)
        state = "incomplete";
    else if (cause.find("the device holds the whole image") != std::string::npos)
        state = "written-not-verified";
    if (row.error) {
        EXPECT_EQ("failed", last["result"]);
        EXPECT_EQ(row.error, last["error"]);
        EXPECT_EQ(cause.substr(0, advice), last["cause"]["text"]);
        EXPECT_EQ(state, last["device_state"]) << last;
        if (advice != std::string::npos)
            EXPECT_EQ(cause.substr(advice + 5, cause.find(" to write") - advice - 5),
                      last["next_command"])
                << last;
        else
            EXPECT_FALSE(last.contains("next_command")) << last;
    } else {
        EXPECT_EQ("completed", last["result"]);
        EXPECT_EQ(k_done, last["text"]);
        EXPECT_EQ("updated", last["device_state"]) << last;
    }
}

INSTANTIATE_TEST_SUITE_P(Update, OutcomeTest, ::testing::ValuesIn(k_outcomes),
                         [](const auto &info) { return std::string(info.param.name); });

// A check reading within 15 of the header's checksum is a match; 16 away
// is not, and the update goes round once more.
TEST_F(E2e, CheckReadingMargin)
{
    std::string fw = image("fw.bin", "QX-20", 230, 57);
    ProcResult v = tool({"verify", "--json", fw});
    ASSERT_EQ(0, v.status) << v.err;
    uint32_t sum = nlohmann::json::parse(v.out)["checksum"];
    struct {
        int64_t delta;
        bool retried;
    } const rows[] = {{15, false}, {-15, false}, {16, true}, {-16, true}};
    for (const auto &row : rows) {
        SimDaemon d;
        TempDir dir;
        // Three stability readings, then the check readings of one attempt.
        std::string script = "9,9,9";
        for (int i = 0; i < 10; ++i)
            script += "," + std::to_string((int64_t)sum + row.delta);
        ASSERT_TRUE(d.start(QXSIM_PATH, dir.path(), {"--checksum-script", script}));
        ProcResult r = proc_run(
            {QXTOOL_PATH, "update", "--yes", "--allow-reinstall", fw},
            {{"QX_DEVICE_DIR", dir.path().c_str()}, {"QX_TEST_SLEEP_SCALE", E2E_SLEEP_SCALE}});
        EXPECT_EQ(0, r.status) << row.delta << r.err;
        std::vector<std::string> texts = {"Preparing...", "Sending and Updating...", "Checking..."};
        if (row.retried) {
            texts.push_back("Retrying... 1/2");
            texts.push_back("Checking...");
        }
        texts.push_back(k_done);
        EXPECT_EQ(lines(texts), after_confirmation(r.out)) << row.delta;
    }
}

} // namespace
