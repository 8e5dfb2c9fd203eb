// qxsim's option table: one row per option, read by the parser and the help.
#include "qxsim_options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "qxwire.h"

namespace
{

// OPT_FLAG sets a bool, OPT_COUNT_FLAG sets a count field to 1.
enum OptKind { OPT_FLAG, OPT_COUNT_FLAG, OPT_U16, OPT_U32, OPT_I64, OPT_FD, OPT_TEXT, OPT_LIST };

struct OptDef {
    const char *name;
    OptKind kind;
    const char *arg;
    const char *help;
    void *(*field)(QxSimOptions &o);
};

#define FIELD(expr) [](QxSimOptions &o) -> void * { return &(expr); }

const OptDef g_opts[] = {
    {"--product", OPT_TEXT, "NAME",
     "product name the device reports, 1 to 8 characters as in an image header (QX-20)",
     FIELD(o.config.product)},
    {"--fw-version", OPT_U16, "N",
     "installed firmware version, 230 reads 2.30 (220); the old spelling --version N, with a "
     "number, still works",
     FIELD(o.config.version)},
    {"--build", OPT_U16, "N", "installed firmware build (50)", FIELD(o.config.build)},
    {"--firmware", OPT_TEXT, "FILE",
     "installed image read from FILE (default: one built from\n"
     "                          product, version and build)",
     FIELD(o.firmware_file)},
    {"--room", OPT_U32, "N", "bytes announced per status answer (256)", FIELD(o.config.room)},
    {"--latency-us", OPT_U32, "N", "real time each call takes, microseconds (0)",
     FIELD(o.config.latency_us)},
    {"--debug-text", OPT_TEXT, "TEXT", "info answers also carry TEXT as debug text",
     FIELD(o.config.debug_text)},
    {"--busy", OPT_U32, "N", "the first N reads answer busy", FIELD(o.config.busy_answers)},
    {"--busy-after-write", OPT_U32, "N", "N busy reads after every accepted write",
     FIELD(o.config.busy_after_write)},
    {"--offset-lag", OPT_U32, "N", "after a burst, N status answers report the old offset",
     FIELD(o.config.offset_lag)},
    {"--room-zero", OPT_U32, "N", "after a burst, N status answers report room 0",
     FIELD(o.config.room_zero_answers)},
    {"--fail-writes", OPT_U32, "N", "the first N writes fail (status 31)",
     FIELD(o.config.fail_writes)},
    {"--fail-write-every", OPT_U32, "N", "every Nth write fails (status 31)",
     FIELD(o.config.fail_write_every)},
    {"--drop-read-every", OPT_U32, "N", "every Nth read fails (status 31)",
     FIELD(o.config.drop_read_every)},
    {"--short-read-every", OPT_U32, "N", "every Nth read returns one byte too few",
     FIELD(o.config.short_read_every)},
    {"--split-status", OPT_COUNT_FLAG, nullptr, "room and offset arrive in separate answers",
     FIELD(o.config.split_status_answer)},
    {"--checksum-offset", OPT_I64, "N", "added to every checksum reading (may be negative)",
     FIELD(o.config.checksum_offset)},
    {"--checksum-jitter", OPT_U32, "N", "checksum readings vary by up to +/- N",
     FIELD(o.config.checksum_jitter)},
    {"--checksum-script", OPT_LIST, "A,B,..", "checksum readings answered first, in order",
     FIELD(o.config.checksum_script)},
    {"--checksum-silent", OPT_FLAG, nullptr, "checksum queries are never answered",
     FIELD(o.config.checksum_silent)},
    {"--never-complete", OPT_FLAG, nullptr, "the end of a transfer is never confirmed",
     FIELD(o.config.never_complete)},
    {"--fail-transfer", OPT_U32, "N", "from the Nth transfer on, data writes fail",
     FIELD(o.config.fail_transfer)},
    {"--unplug-after", OPT_I64, "N", "the device vanishes once N image bytes were taken",
     FIELD(o.config.unplug_after)},
    {"--info-silent", OPT_FLAG, nullptr, "info requests are never answered",
     FIELD(o.config.info_silent)},
    {"--stop-answering-after", OPT_I64, "N",
     "after N calls the device takes every call and never\n"
     "                          answers it (the connection stays open)",
     FIELD(o.stop_answering_after)},
    {"--dir", OPT_TEXT, "DIR",
     "device directory (default: $QX_DEVICE_DIR, else\n"
     "                          $XDG_RUNTIME_DIR/qx, else /tmp/qx-<uid>)",
     FIELD(o.dir)},
#ifdef _WIN32
    {"--pipe", OPT_TEXT, "NAME",
     "serve the device on \\\\.\\pipe\\NAME, the pipe of the test\n"
     "                          driver's device (qx-10_20; see docs/windows.md)",
     FIELD(o.pipe)},
#endif
    {"--endpoint", OPT_TEXT, "NAME",
     "serve on the endpoint NAME in the device directory:\n"
     "                          " QXWIRE_ENDPOINT " (the default) or " QXWIRE_ENDPOINT
     ".SUFFIX, so\n"
     "                          that a second qxsim serves a second device",
     FIELD(o.endpoint)},
    {"--ready-fd", OPT_FD, "N",
     "once listening, write the endpoint path and a newline to\n"
     "                          file descriptor N and close it",
     FIELD(o.ready_fd)},
    {"--verbose", OPT_FLAG, nullptr, "log every call to standard error", FIELD(o.verbose)},
    {"--record", OPT_TEXT, "FILE", "write every call and its answer to FILE (JSON lines)",
     FIELD(o.record_file)},
    {"--replay", OPT_TEXT, "FILE",
     "answer the calls of a recorded run (a trace of qxtool\n"
     "                          --trace, QX_TRACE or --record) instead of\n"
     "                          simulating; reports the first call that differs\n"
     "                          and answers it and every later one with status 31",
     FIELD(o.replay_file)},
    {"--summary", OPT_TEXT, "FILE",
     "on exit, write the calls, the breaches of the device\n"
     "                          contract (counts per kind and a list) and the\n"
     "                          device's own service time to FILE as JSON",
     FIELD(o.summary_file)},
};

int parse_u64(const char *s, uint64_t max, uint64_t *v)
{
    if (!*s || *s == '-' || *s == '+')
        return 1;
    errno = 0;
    char *end = nullptr;
    unsigned long long x = strtoull(s, &end, 0);
    if (errno || *end || x > max)
        return 1;
    *v = x;
    return 0;
}

int parse_i64(const char *s, int64_t *v)
{
    if (!*s)
        return 1;
    errno = 0;
    char *end = nullptr;
    long long x = strtoll(s, &end, 0);
    if (errno || *end)
        return 1;
    *v = x;
    return 0;
}

int set_value(QxSimOptions &o, const OptDef &s, const char *value)
{
    void *field = s.field(o);
    uint64_t u = 0;
    switch (s.kind) {
    case OPT_FLAG:
        *(bool *)field = true;
        return 0;
    case OPT_COUNT_FLAG:
        *(uint32_t *)field = 1;
        return 0;
    case OPT_U16:
        if (parse_u64(value, 0xffff, &u))
            return 1;
        *(uint16_t *)field = (uint16_t)u;
        return 0;
    case OPT_U32:
        if (parse_u64(value, 0xffffffffu, &u))
            return 1;
        *(uint32_t *)field = (uint32_t)u;
        return 0;
    case OPT_I64:
        return parse_i64(value, (int64_t *)field);
    case OPT_FD:
        if (parse_u64(value, 0x7fffffff, &u))
            return 1;
        *(int *)field = (int)u;
        return 0;
    case OPT_TEXT:
        *(std::string *)field = value;
        return 0;
    case OPT_LIST: {
        auto *list = (std::vector<uint32_t> *)field;
        list->clear();
        std::string all = value;
        size_t at = 0;
        for (;;) {
            size_t comma = all.find(',', at);
            std::string one = all.substr(at, comma == std::string::npos ? comma : comma - at);
            if (parse_u64(one.c_str(), 0xffffffffu, &u))
                return 1;
            list->push_back((uint32_t)u);
            if (comma == std::string::npos)
                return 0;
            at = comma + 1;
        }
    }
    }
    return 1;
}

// The help's option column: names in the first HELP_NAME_WIDTH columns
// after an indent of two, their text from HELP_TEXT_COLUMN on, wrapped
// before HELP_WIDTH. A name too long for its column puts the text on the
// next line, so that the two never run together (man pages are made from
// this text, and read it the same way).
#define HELP_NAME_WIDTH 24
#define HELP_TEXT_COLUMN 28
#define HELP_WIDTH 80

void print_option(FILE *f, const std::string &left, const char *help)
{
    std::vector<std::string> words;
    std::string word;
    for (const char *p = help;; ++p) {
        if (*p && *p != ' ' && *p != '\n') {
            word += *p;
            continue;
        }
        if (!word.empty())
            words.push_back(word);
        word.clear();
        if (!*p)
            break;
    }
    std::string line = "  " + left;
    if (left.size() > HELP_NAME_WIDTH) {
        fprintf(f, "%s\n", line.c_str());
        line.clear();
    }
    bool first = true;
    for (const std::string &w : words) {
        if (!first && line.size() + 1 + w.size() >= HELP_WIDTH) {
            fprintf(f, "%s\n", line.c_str());
            line.clear();
            first = true;
        }
        if (first) {
            line.resize(HELP_TEXT_COLUMN, ' ');
            line += w;
            first = false;
        } else {
            line += " " + w;
        }
    }
    fprintf(f, "%s\n", line.c_str());
}

} // namespace

void qxsim_usage(FILE *f)
{
    fprintf(f, "Usage: qxsim [OPTION]...\n"
               "Serves a simulated QX-10/QX-20 audio interface on the device endpoint\n"
               "(a SOCK_SEQPACKET socket named " QXWIRE_ENDPOINT " in the device directory)\n"
               "until interrupted. Without options it is a QX-20 at version 2.20, build 50.\n"
               "\n"
               "The directory is created (mode 0700) when missing; it must belong to the\n"
               "user and must not be writable by others. qxsim refuses to start when a\n"
               "device is already served there, replaces an endpoint nobody listens on,\n"
               "and removes its endpoint when it ends (SIGINT, SIGTERM) or when the\n"
               "simulated device is unplugged; calls after that are answered with status\n"
               "1167 (device not connected).\n"
               "\n"
               "Once listening it prints\n"
               "  qxsim: serving <product> version <x.yy> build <n> on <endpoint>\n"
               "on standard output.\n"
               "\n"
               "The device is as strict as the real one: a call that breaks the device\n"
               "contract (wrong sizes or header fields, a chunk of the wrong size or out\n"
               "of its burst, a write without a ready read after the previous one, ...)\n"
               "is refused with status 31 and reported on standard error as\n"
               "  qxsim: breach: call <n>: <kind>: <what>\n"
               "\n"
               "Each option takes its value as --name VALUE or --name=VALUE.\n"
               "\n"
               "Options:\n");
    for (const OptDef &s : g_opts) {
        std::string left = s.name;
        if (s.arg)
            left = left + " " + s.arg;
        print_option(f, left, s.help);
    }
    print_option(f, "-h, --help", "show this text and exit");
    print_option(f, "--version", "print the program's version and exit");
    fprintf(f, "\n"
               "Exit status:\n"
               "  0  after a clean stop\n"
               "  1  the endpoint cannot be served\n"
               "  2  a usage error\n"
               "  3  a replay differed from its recording or ended before all of it was\n"
               "     asked for\n");
}

int qxsim_parse_args(int argc, char **argv, QxSimOptions &o)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            continue;
        }
        // --version followed by a number is the firmware version's old
        // spelling, which scripts and tests of the updater still use.
        if (arg == "--version" && (i + 1 >= argc || !isdigit((unsigned char)argv[i + 1][0]))) {
            o.show_version = true;
            continue;
        }
        if (arg == "--version" || arg.compare(0, 10, "--version=") == 0)
            arg.replace(0, 9, "--fw-version");
        std::string name = arg;
        std::string inline_value;
        const char *value = nullptr;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
            value = inline_value.c_str();
        }
        const OptDef *def = nullptr;
        for (const OptDef &s : g_opts)
            if (name == s.name)
                def = &s;
        if (!def) {
            fprintf(stderr, "qxsim: unknown option '%s'\nTry 'qxsim --help'.\n", arg.c_str());
            return 2;
        }
        if (def->kind == OPT_FLAG || def->kind == OPT_COUNT_FLAG) {
            if (value) {
                fprintf(stderr, "qxsim: %s takes no value\n", def->name);
                return 2;
            }
            set_value(o, *def, nullptr);
            continue;
        }
        if (!value) {
            if (i + 1 >= argc) {
                fprintf(stderr, "qxsim: %s needs a value\n", def->name);
                return 2;
            }
            value = argv[++i];
        }
        if (set_value(o, *def, value)) {
            fprintf(stderr, "qxsim: bad value '%s' for %s\n", value, def->name);
            return 2;
        }
    }
    // What an image can name: the update compares the two.
    if (o.config.product.empty() || o.config.product.size() > 8) {
        fprintf(stderr,
                "qxsim: bad value '%s' for --product: a product name has 1 to 8 characters\n",
                o.config.product.c_str());
        return 2;
    }
    if (!qxsim_endpoint_name_ok(o.endpoint)) {
        fprintf(stderr,
                "qxsim: bad value '%s' for --endpoint: the updater looks for " QXWIRE_ENDPOINT
                " and " QXWIRE_ENDPOINT ".SUFFIX (a suffix without '/', not ending in .lock)\n",
                o.endpoint.c_str());
        return 2;
    }
    return 0;
}

bool qxsim_endpoint_name_ok(const std::string &name)
{
    const std::string base = QXWIRE_ENDPOINT;
    if (name == base)
        return true;
    if (name.size() <= base.size() + 1 || name.compare(0, base.size() + 1, base + ".") != 0)
        return false;
    if (name.find('/') != std::string::npos)
        return false;
    // The updater keeps a device's lock in <endpoint>.lock beside it.
    return !(name.size() >= 5 && name.compare(name.size() - 5, 5, ".lock") == 0);
}
