// qxmkimage: writes a firmware image from header fields and a body, either
// a file or deterministic filler bytes. Run at build time for the embedded
// images, so the same arguments always give the same bytes.
//
// Exit codes: 0 written, 1 input/output failure, 2 bad command line.
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "prgbuild.h"
#include "prgdecode.h"
#include "qxfile.h"
#include "qxsys.h"

#define EXIT_IO 1
#define EXIT_USAGE 2

static const char *g_prog = "qxmkimage";

static void usage(FILE *to)
{
    fprintf(to,
            "Usage: %s HEADER --body FILE -o OUT\n"
            "  or:  %s HEADER --size N [--pattern P] -o OUT\n"
            "Writes a firmware image for a QX-10 or QX-20 USB audio interface from its\n"
            "header fields (HEADER: --product NAME --fw-version N --build N --date\n"
            "YYYY-MM-DD) and a body: the bytes of a file, or filler bytes made from a\n"
            "pattern number, so that the same arguments always give the same image.\n"
            "\n"
            "Options:\n"
            "  --product NAME      product name, 1 to 8 characters (e.g. QX-20)\n"
            "  --fw-version N      firmware version, 0 to 65535 (230 reads 2.30); the old\n"
            "                      spelling --version N, with a number, still works\n"
            "  --build N           build number, 0 to 65535\n"
            "  --date Y-M-D        image date that exists; year 0 to 65535 (2026-02-29 and\n"
            "                      2026-04-31 are refused)\n"
            "  --body FILE         plain body bytes, scrambled into the image\n"
            "  --size N            total image size in bytes (at least 36); the body is\n"
            "                      N - 36 filler bytes derived from the pattern\n"
            "  --pattern P         filler pattern number, 0 to 4294967295 (default 1)\n"
            "  -o, --output OUT    image file to write\n"
            "  -h, --help          show this text and exit\n"
            "  --version           print the program's version and exit\n"
            "\n"
            "Exit status:\n"
            "  0  the image was written\n"
            "  1  the body file could not be read or the image could not be written\n"
            "  2  bad command line\n",
            g_prog, g_prog);
}

static int usage_error(const char *fmt, const char *arg)
{
    fprintf(stderr, "%s: ", g_prog);
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\nTry '%s --help'.\n", g_prog);
    return EXIT_USAGE;
}

// Plain decimal digits only: no sign, no spaces, no suffix.
static int parse_uint(const char *text, unsigned long max, unsigned long *out)
{
    if (!text || !*text)
        return 0;
    unsigned long v = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return 0;
        unsigned d = (unsigned)(*p - '0');
        if (v > (max - d) / 10)
            return 0;
        v = v * 10 + d;
    }
    *out = v;
    return 1;
}

static int parse_date(const char *text, PrgImageInfo *info)
{
    char part[3][8];
    const char *p = text;
    for (int i = 0; i < 3; i++) {
        const char *end = (i < 2) ? strchr(p, '-') : p + strlen(p);
        if (!end || end == p || (size_t)(end - p) >= sizeof part[i])
            return 0;
        memcpy(part[i], p, (size_t)(end - p));
        part[i][end - p] = '\0';
        p = end + 1;
    }
    unsigned long year, month, day;
    if (!parse_uint(part[0], 65535, &year) || !parse_uint(part[1], 12, &month) ||
        !parse_uint(part[2], 31, &day) || !prg_date_exists(year, month, day))
        return 0;
    info->year = (uint16_t)year;
    info->month = (uint8_t)month;
    info->day = (uint8_t)day;
    return 1;
}

static int read_body(const char *path, std::vector<uint8_t> *body)
{
    // Looked at first: a FIFO would block the open.
    std::string problem;
    if (qxfile_check_input(path, &problem)) {
        fprintf(stderr, "%s: cannot open %s: %s\n", g_prog, path, problem.c_str());
        return 0;
    }
    FILE *f = qx_fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "%s: cannot open %s: %s\n", g_prog, path, strerror(errno));
        return 0;
    }
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (body->size() + n > (size_t)INT32_MAX - PRG_OVERHEAD) {
            fprintf(stderr, "%s: %s is too large for an image body\n", g_prog, path);
            fclose(f);
            return 0;
        }
        body->insert(body->end(), chunk, chunk + n);
    }
    int ok = !ferror(f);
    if (!ok)
        fprintf(stderr, "%s: cannot read %s\n", g_prog, path);
    fclose(f);
    return ok;
}

// The image takes the name only when whole: no partial image for the build
// to pick up, and a target that is not a regular file is left alone.
static int write_image(const char *path, const uint8_t *image, uint32_t len)
{
    std::string problem;
    if (qxfile_write_whole(path, image, len, &problem)) {
        fprintf(stderr, "%s: cannot write %s: %s\n", g_prog, path, problem.c_str());
        return 0;
    }
    return 1;
}

int main(int argc, char **argv)
{
#ifdef SIGXFSZ
    // A file-size limit is a failed write that leaves the target as it was.
    signal(SIGXFSZ, SIG_IGN);
#endif
    PrgImageInfo info;
    memset(&info, 0, sizeof info);
    const char *product = nullptr, *version = nullptr, *build = nullptr, *date = nullptr;
    const char *body_path = nullptr, *size_text = nullptr, *pattern_text = nullptr;
    const char *out_path = nullptr;

    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (!strcmp(arg, "-h") || !strcmp(arg, "--help")) {
            usage(stdout);
            return 0;
        }
        // --version followed by a number is the firmware version's old
        // spelling, which scripts of the updater still use.
        int old_spelling = !strncmp(arg, "--version", 9) && (arg[9] == '=' || arg[9] == '\0');
        if (old_spelling && arg[9] == '\0' &&
            (i + 1 >= argc || !isdigit((unsigned char)argv[i + 1][0]))) {
            printf("%s %s\n", g_prog, QX_VERSION);
            return 0;
        }
        struct {
            const char *name;
            const char **slot;
        } const opts[] = {
            {"--product", &product},      {"--fw-version", &version},
            {"--build", &build},          {"--date", &date},
            {"--body", &body_path},       {"--size", &size_text},
            {"--pattern", &pattern_text}, {"-o", &out_path},
            {"--output", &out_path},
        };
        const char **slot = nullptr;
        const char *value = nullptr;
        if (old_spelling) {
            slot = &version;
            value = arg[9] == '=' ? arg + 10 : nullptr;
        }
        for (const auto &o : opts) {
            if (slot)
                break;
            size_t n = strlen(o.name);
            if (!strncmp(arg, o.name, n) && (arg[n] == '\0' || arg[n] == '=')) {
                slot = o.slot;
                value = arg[n] == '=' ? arg + n + 1 : nullptr;
                break;
            }
        }
        if (!slot)
            return usage_error("unknown argument '%s'", arg);
        if (!value) {
            if (i + 1 >= argc)
                return usage_error("option '%s' needs a value", arg);
            value = argv[++i];
        }
        *slot = value;
    }

    if (!product)
        return usage_error("missing %s", "--product");
    if (!version)
        return usage_error("missing %s", "--fw-version");
    if (!build)
        return usage_error("missing %s", "--build");
    if (!date)
        return usage_error("missing %s", "--date");
    if (!out_path || !*out_path)
        return usage_error("missing %s", "-o OUT");
    if (!body_path == !size_text)
        return usage_error("give exactly one of %s", "--body FILE or --size N");
    if (pattern_text && !size_text)
        return usage_error("%s only goes with --size", "--pattern");

    size_t product_len = strlen(product);
    if (product_len == 0 || product_len > 8)
        return usage_error("product name '%s' must have 1 to 8 characters", product);
    memcpy(info.product, product, product_len);

    unsigned long v;
    if (!parse_uint(version, 65535, &v))
        return usage_error("bad version '%s' (0 to 65535)", version);
    info.version = (uint16_t)v;
    if (!parse_uint(build, 65535, &v))
        return usage_error("bad build '%s' (0 to 65535)", build);
    info.build = (uint16_t)v;
    if (!parse_date(date, &info))
        return usage_error("bad date '%s' (YYYY-MM-DD)", date);

    std::vector<uint8_t> body;
    if (size_text) {
        unsigned long size, pattern = 1;
        if (!parse_uint(size_text, INT32_MAX, &size) || size < PRG_OVERHEAD)
            return usage_error("bad size '%s' (36 to 2147483647)", size_text);
        if (pattern_text && !parse_uint(pattern_text, UINT32_MAX, &pattern))
            return usage_error("bad pattern '%s' (0 to 4294967295)", pattern_text);
        body.resize(size - PRG_OVERHEAD);
        prg_fill_body(body.data(), (uint32_t)body.size(), (uint32_t)pattern);
    } else if (!read_body(body_path, &body)) {
        return EXIT_IO;
    }

    uint32_t image_len = 0;
    uint8_t *image = prg_build_image(&info, body.data(), (uint32_t)body.size(), &image_len);
    if (!image) {
        fprintf(stderr, "%s: cannot build the image\n", g_prog);
        return EXIT_IO;
    }
    int ok = write_image(out_path, image, image_len);
    free(image);
    return ok ? 0 : EXIT_IO;
}
