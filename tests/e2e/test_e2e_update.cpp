// qxtool update against qxsim daemons over the socket transport: the whole
// update from the built-in catalogue, every refusal of the request with its
// text and exit status, and every outcome of the update itself.
#include <nlohmann/json.hpp>

#include "e2e.h"

namespace
{

const char *const k_done = "Completed.\n\nPlease turn the device's power on again.";

enum { NO_SIM = 1, BUILTIN = 2, INSTALL_IMAGE = 4 };

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
    EXPECT_EQ("Cannot downgrade from 2.30 to 2.30\n", r.err);
}

struct Refusal {
    const char *name;
    int flags;
    std::vector<std::string> sim;
    std::vector<std::string> args; // after "update"
    const char *err;               // standard error, whole
    int status;
    const char *input = "";
};

const Refusal k_refusals[] = {
    {"NoDevice", NO_SIM | BUILTIN, {}, {"--yes"}, "Supported hardware is not connected.\n", 4},
    {"NoDeviceForFile", NO_SIM, {}, {"--yes"}, "Supported hardware is not connected.\n", 4},
    {"ProductUnanswered",
     0,
     {"--info-silent"},
     {"--yes"},
     "Cannot get connected hardware product\n",
     1},
    {"ProductUnansweredBuiltIn",
     BUILTIN,
     {"--info-silent"},
     {"--yes"},
     "Cannot get connected hardware product\n",
     1},
    {"OtherProduct", 0, {"--product", "QX-10"}, {"--yes"}, "Product is not matching\n", 3},
    {"ProductCaseDiffers", 0, {"--product", "qx-20"}, {"--yes"}, "Product is not matching\n", 3},
    {"ProductExtraByte", 0, {"--product", "QX-20 "}, {"--yes"}, "Product is not matching\n", 3},
    {"NoBuiltInForProduct",
     BUILTIN,
     {"--product", "QX-30"},
     {"--yes"},
     "Product is not matching\n",
     3},
    {"SameVersionAndBuild",
     0,
     {"--version", "230", "--build", "57"},
     {"--yes"},
     "Cannot downgrade from 2.30 to 2.30\n",
     3},
    {"OlderVersionAndBuild",
     0,
     {"--version", "231", "--build", "57"},
     {"--yes"},
     "Cannot downgrade from 2.31 to 2.30\n",
     3},
    {"VersionTexts",
     0,
     {"--version", "1000", "--build", "60"},
     {"--yes"},
     "Cannot downgrade from 10.00 to 2.30\n",
     3},
    {"ChecksumUnanswered",
     0,
     {"--checksum-silent"},
     {"--yes"},
     "Cannot get hardware checksum\n",
     1},
    {"AlreadyInstalled", INSTALL_IMAGE, {}, {"--yes"}, "Already updated.\n", 3},
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
    std::vector<std::string> args = {"update"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    if (!(row.flags & BUILTIN))
        args.push_back(fw);
    ProcResult r = tool(args, {}, row.input);
    EXPECT_EQ(row.status, r.status);
    EXPECT_EQ(row.err, r.err);
    // Nothing was started: no stage text, and the device still runs what it had.
    EXPECT_EQ(std::string::npos, r.out.find("Preparing...")) << r.out;
    if (!(row.flags & NO_SIM) && row.sim.empty()) {
        ProcResult info = tool({"info"});
        EXPECT_NE(std::string::npos, info.out.find("version: 2.20\n")) << info.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Update, RefusalTest, ::testing::ValuesIn(k_refusals),
                         [](const auto &info) { return std::string(info.param.name); });

struct Outcome {
    const char *name;
    int flags;
    std::vector<std::string> sim;
    std::vector<std::string> args; // after "update"
    std::vector<std::string> texts;
    const char *error; // null: completes
};

const Outcome k_outcomes[] = {
    // The rules that --allow-older and --allow-reinstall lift.
    {"AllowOlder",
     0,
     {"--version", "230", "--build", "57"},
     {"--yes", "--allow-older"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr},
    {"AllowReinstall",
     INSTALL_IMAGE,
     {},
     {"--yes", "--allow-reinstall"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr},
    {"AllowBothOnTheInstalledImage",
     INSTALL_IMAGE,
     {"--version", "230", "--build", "57"},
     {"--yes", "--allow-older", "--allow-reinstall"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr},
    {"NewerBuildOfOlderVersion",
     0,
     {"--version", "231", "--build", "56"},
     {"--yes"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr},
    {"StabilitySpreadOf256Passes",
     0,
     {"--checksum-script", "1000,1100,1256"},
     {"--yes", "--allow-reinstall"},
     {"Preparing...", "Sending and Updating...", "Checking...", k_done},
     nullptr},
    {"MatchAfterOneRetry",
     0,
     {"--checksum-script", "5,5,5,7,7,7,7,7,7,7,7,7,7"},
     {"--yes", "--allow-reinstall"},
     {"Preparing...", "Sending and Updating...", "Checking...", "Retrying... 1/2", "Checking...",
      k_done},
     nullptr},
    // The failures.
    {"StabilityReadingUnanswered",
     0,
     {"--checksum-silent"},
     {"--yes", "--allow-reinstall"},
     {"Preparing..."},
     "Cannot Get Hardware Checksum"},
    {"StabilitySpreadOver256",
     0,
     {"--checksum-script", "1000,1100,1257"},
     {"--yes", "--allow-reinstall"},
     {"Preparing..."},
     "Hardware checksum is not valid."},
    {"TransferFails",
     0,
     {"--fail-transfer", "1"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed"},
    {"UnpluggedDuringTransfer",
     0,
     {"--unplug-after", "1000"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed"},
    // Call 31 is a ready read in the transfer: the device takes it and never
    // answers. Only that call waits out the transport's bound; the ready
    // wait's other 999 reads fail at once (without that, the run would take
    // over an hour and the harness would end it at 90 s).
    {"DeviceStopsAnsweringAtAReadyRead",
     0,
     {"--stop-answering-after", "30"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed"},
    {"EndNeverConfirmed",
     0,
     {"--never-complete"},
     {"--yes"},
     {"Preparing...", "Sending and Updating..."},
     "Firmware Update Failed"},
    {"SecondTransferFails",
     0,
     {"--checksum-offset", "100", "--fail-transfer", "2"},
     {"--yes"},
     {"Preparing...", "Sending and Updating...", "Checking...", "Retrying... 1/2"},
     "Firmware Update Failed"},
    {"ChecksumNeverEqual",
     0,
     {"--checksum-offset", "100"},
     {"--yes"},
     {"Preparing...", "Sending and Updating...", "Checking...", "Retrying... 1/2", "Checking...",
      "Retrying... 2/2", "Checking..."},
     "Hardware checksum is not equal to firmware.\n\nPlease contact the technical support."},
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
    std::string fw = image("fw.bin", "QX-20", 230, 57);
    std::vector<std::string> sim = row.sim;
    if (row.flags & INSTALL_IMAGE) {
        sim.push_back("--firmware");
        sim.push_back(fw);
    }
    serve(sim);
    std::vector<std::string> args = {"update"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back(fw);
    ProcResult r = tool(args);
    EXPECT_EQ(lines(row.texts), after_confirmation(r.out)) << r.out;
    if (row.error) {
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(std::string(row.error) + "\n", r.err);
    } else {
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.err);
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
