// qxtool: updates a QX-10/QX-20 from the command line with the same rules
// and texts as the window, and offers the image and device tools the window
// does not show.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

#include "console.h"
#include "helpformat.h"
#include "jsonout.h"
#include "qxsys.h"
#include "qxtool.h"
#include "qxtrace.h"

const char *const qxtool_exit_help =
    "Exit status:\n"
    "  0  success\n"
    "  1  the update failed, the device did not answer, or a file could not be written\n"
    "  2  bad usage: unknown command or option, missing or bad argument\n"
    "  3  the update was refused (product, older or installed image) or not confirmed, or\n"
    "     several devices are connected and --device chose none (nothing was sent)\n"
    "  4  no supported device is connected, or none has the --device id\n"
    "  5  the image or body file is missing, unreadable, too large or corrupt\n"
    "  6  another program (named) is updating or reading the device, or the settings\n"
    "     panel still runs after it was ended; nothing was sent\n"
    "  130  update stopped by SIGINT (Ctrl+C); 143 by SIGTERM, 129 by SIGHUP: it ends\n"
    "     at the next device call and says where, what the device holds and the\n"
    "     command that writes the image again (on Windows: Ctrl+C, Ctrl+Break, a\n"
    "     closed console, a log-off or a shutdown give 130)\n";

namespace
{

// Tests shorten the update's one-second pauses with QX_TEST_SLEEP_SCALE
// (e.g. 0.01); the device sees the same requests, only sooner. With it,
// QX_TEST_SLEEP_LOG=FILE gets the sum of the pauses as asked for (the
// virtual time the run waited, in milliseconds) when the program ends.
double g_sleep_scale = 1.0;
std::atomic<uint64_t> g_slept_ms{0};
const char *g_sleep_log = nullptr;

void scaled_sleep(void *, uint32_t ms)
{
    g_slept_ms += ms;
    std::this_thread::sleep_for(std::chrono::microseconds((int64_t)(ms * 1000.0 * g_sleep_scale)));
}

void write_sleep_log()
{
    if (FILE *f = qx_fopen(g_sleep_log, "w")) {
        fprintf(f, "%llu\n", (unsigned long long)g_slept_ms.load());
        fclose(f);
    }
}

void install_test_sleep()
{
    const char *text = getenv("QX_TEST_SLEEP_SCALE");
    if (!text || !*text)
        return;
    char *end = nullptr;
    double scale = strtod(text, &end);
    if (*end || !(scale >= 0.0 && scale <= 1.0))
        return;
    g_sleep_scale = scale;
    qx_set_sleep(scaled_sleep, nullptr);
    g_sleep_log = getenv("QX_TEST_SLEEP_LOG");
    if (g_sleep_log && *g_sleep_log)
        atexit(write_sleep_log);
}

#ifdef _WIN32
// The arguments as Windows holds them, in UTF-16, made UTF-8 once: the
// narrow argv is in the ANSI code page, which cannot hold every name
// ("Łukasz", "Ελλάδα", "山田"). False when the command line cannot be read.
bool utf8_arguments(std::vector<std::string> *args)
{
    int n = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide)
        return false;
    args->clear();
    for (int i = 0; i < n; ++i) {
        int len = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg((size_t)(len > 0 ? len : 1), '\0');
        if (len > 0)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &arg[0], len, nullptr, nullptr);
        arg.resize(arg.size() - 1);
        args->push_back(arg);
    }
    LocalFree(wide);
    return true;
}
#endif

} // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    std::vector<std::string> args;
    std::vector<char *> utf8_argv;
    if (utf8_arguments(&args)) {
        for (std::string &arg : args)
            utf8_argv.push_back(&arg[0]);
        utf8_argv.push_back(nullptr);
        argc = (int)args.size();
        argv = utf8_argv.data();
    }
#endif
    CLI::App app{"Updates the firmware of a QX-10 or QX-20 USB audio interface.", "qxtool"};
    app.formatter(qxtool_help_formatter()); // before the commands, which take it over
    app.set_help_flag("-h,--help", "print this help and exit");
    app.set_version_flag("--version", "qxtool " QXTOOL_VERSION,
                         "print the program's version and exit");
    app.set_help_all_flag("--help-all", "print this help with every command's options and exit");
    app.require_subcommand(0, 1);
    app.fallthrough();
    app.footer(qxtool_exit_help);

    bool verbose = false;
    app.add_flag("-v,--verbose", verbose,
                 "show the diagnostic lines of the device and image modules on standard error");
    std::string trace;
    app.add_option("--trace", trace,
                   "record every device call of this run to FILE (JSON lines); the variable "
                   "QX_TRACE=FILE does the same for any program of the updater")
        ->option_text("FILE");

    const char *device_help =
        "the device to talk to, by its id in qxtool list (1:qx-10_20), its name or its "
        "path; needed for update when several are connected";
    std::string info_device;
    bool info_json = false;
    auto *info =
        app.add_subcommand("info", "show the connected device's product, version and build");
    info->add_flag("--json", info_json, "print the result as JSON");
    info->add_option("--device", info_device, device_help)->option_text("ID");

    bool list_json = false;
    auto *listc = app.add_subcommand(
        "list", "list the connected devices: id, product, version, build, whether a program is "
                "updating or reading it, path");
    listc->add_flag("--json", list_json,
                    "print a JSON array, an object per device (id, product, version, build, "
                    "path, busy, ...)");

    UpdateArgs up;
    auto *update = app.add_subcommand(
        "update", "update the device from IMAGE, or from the built-in image for its product");
    update->add_option("IMAGE", up.image, "firmware image file");
    update->add_flag("--allow-older", up.allow_older,
                     "allow an image whose version and build are not newer than the device's");
    update->add_flag("--allow-reinstall", up.allow_reinstall,
                     "allow the image that the device already has");
    update->add_flag("-y,--yes", up.yes,
                     "update without asking (needed when standard input is not a terminal)");
    update->add_flag("--json", up.json,
                     "print JSON lines, one object an event (request, stage, progress, reading) "
                     "and a last one with the result");
    update->add_option("--device", up.device, device_help)->option_text("ID");

    std::string verify_path;
    bool verify_json = false;
    auto *verify = app.add_subcommand("verify", "check an image file's header and checksum");
    verify->add_option("IMAGE", verify_path, "firmware image file")->required();
    verify->add_flag("--json", verify_json, "print the result as JSON");

    std::string dump_path;
    bool dump_json = false;
    auto *dumpc = app.add_subcommand("dump", "print an image's header and its checksum verdict");
    dumpc->add_option("IMAGE", dump_path, "firmware image file")->required();
    dumpc->add_flag("--json", dump_json, "print the result as JSON");

    std::string extract_path;
    auto *extract =
        app.add_subcommand("extract", "write an image's descrambled body and trailer to IMAGE.bin");
    extract->add_option("IMAGE", extract_path, "firmware image file")->required();

    std::string length;
    bool checksum_json = false;
    auto *checksum = app.add_subcommand(
        "checksum", "ask the device for the checksum of its first LENGTH firmware bytes");
    checksum->add_option("LENGTH", length, "number of bytes, 1 to 1048576 (0x for hex)")
        ->required();
    checksum->add_flag("--json", checksum_json, "print the result as JSON");
    std::string checksum_device;
    checksum->add_option("--device", checksum_device, device_help)->option_text("ID");

    bool history_json = false;
    unsigned history_count = 20;
    std::string history_device;
    auto *history = app.add_subcommand(
        "history", "show the newest records of the update history that qxtool and the window "
                   "keep: when, which device and image, the outcome and why");
    history->add_flag("--json", history_json, "print each record as a JSON line");
    history->add_option("-n", history_count, "how many of the newest records (default 20)")
        ->option_text("N")
        ->check(CLI::Range(1u, 100000u));
    history
        ->add_option("--device", history_device,
                     "only the records of this device (its id, "
                     "name or path)")
        ->option_text("ID");

    std::string report_path = "qxupdater-report.txt";
    auto *report = app.add_subcommand(
        "report", "write a support report to FILE (default qxupdater-report.txt; - for standard "
                  "output): versions, system, connected devices, the newest update records and "
                  "the last update's device trace; nothing is sent anywhere");
    report->add_option("FILE", report_path, "the report file");

    MkimageArgs mk;
    auto *mkimage = app.add_subcommand(
        "mkimage", "build a firmware image from header fields and a plain body file");
    mkimage->add_option("--product", mk.product, "product name, 1 to 8 characters (QX-20)")
        ->required()
        ->option_text("NAME");
    mkimage->add_option("--version", mk.version, "firmware version, 0 to 65535 (230 reads 2.30)")
        ->required()
        ->option_text("N");
    mkimage->add_option("--build", mk.build, "build number, 0 to 65535")
        ->required()
        ->option_text("N");
    mkimage->add_option("--date", mk.date, "image date, YYYY-MM-DD")
        ->required()
        ->option_text("YYYY-MM-DD");
    mkimage->add_option("--body", mk.body, "plain body bytes")->required()->option_text("FILE");
    mkimage->add_option("-o,--output", mk.output, "image file to write")
        ->required()
        ->option_text("FILE");

    // Looked for before the parse, so that a command line that does not
    // parse is answered in JSON too when JSON was asked for.
    for (int i = 1; i < argc; ++i)
        if (!strcmp(argv[i], "--json"))
            json_set_wanted(true);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help and --version end here too, with status 0.
        if (e.get_exit_code() == 0)
            return app.exit(e) == 0 ? QXTOOL_OK : QXTOOL_USAGE;
        if (json_wanted())
            json_line(json_failure(QXTOOL_USAGE, e.what()));
        app.exit(e);
        return QXTOOL_USAGE;
    }

    if (app.get_subcommands().empty())
        return json_usage_error(
            "qxtool: a command is needed: info, list, update, verify, dump, "
            "extract, checksum, mkimage, history or report\nRun with --help for more "
            "information.",
            false);
    console_init(verbose);
#ifdef SIGXFSZ
    // A file-size limit is then a failed write, which leaves the target as
    // it was, rather than an end that leaves a temporary file behind.
    signal(SIGXFSZ, SIG_IGN);
#endif
    install_test_sleep();
    std::string trace_origin;
    if (trace.empty() && (*info || *listc || *update || *checksum)) {
        // Opened here rather than at the first device call, so that a trace
        // that cannot be written is said, not lost with the module chatter.
        // Commands without the device leave the variable's file alone.
        char env[4096];
        if (qx_getenv(QXTRACE_ENV, env, sizeof env) == 0) {
            trace = env;
            trace_origin = " (" QXTRACE_ENV ")";
        }
    }
    if (!trace.empty() && qxtrace_start(trace.c_str()) != 0)
        return json_usage_error("cannot create trace file " + trace + trace_origin + ": " +
                                qxtrace_problem());

    int rc = QXTOOL_USAGE;
    if (*info)
        rc = qxtool_info(info_json, info_device);
    else if (*listc)
        rc = qxtool_list(list_json);
    else if (*update)
        rc = qxtool_update(up);
    else if (*verify)
        rc = qxtool_verify(verify_path, verify_json);
    else if (*dumpc)
        rc = qxtool_dump(dump_path, dump_json);
    else if (*extract)
        rc = qxtool_extract(extract_path);
    else if (*checksum)
        rc = qxtool_checksum(length, checksum_json, checksum_device);
    else if (*mkimage)
        rc = qxtool_mkimage(mk);
    else if (*history)
        rc = qxtool_history(history_json, history_count, history_device);
    else if (*report)
        rc = qxtool_report(report_path);

    if (!trace.empty() && qxtrace_stop() != 0)
        console_problem("device calls were lost: cannot write trace file " + trace + ": " +
                        qxtrace_problem());
    // A result that never reached its file (a full disk, a closed pipe) is
    // no result.
    if (int err = console_output_error()) {
        console_problem(std::string("cannot write standard output: ") + strerror(err));
        if (rc == QXTOOL_OK)
            rc = QXTOOL_FAILED;
    }
    return rc;
}
