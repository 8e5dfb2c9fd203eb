// Commands on image files: verify, dump, extract and mkimage. None of them
// touches the device.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "jsonout.h"
#include "prgbuild.h"
#include "prgdecode.h"
#include "qxfile.h"
#include "qxsys.h"
#include "qxtool.h"
#include "updaterules.h"

namespace
{

std::string product_of(const PrgHeader *hdr)
{
    char buf[16] = {};
    prg_get_product(hdr, buf, sizeof buf);
    return buf;
}

std::string date_of(const PrgHeader *hdr)
{
    return qxtool_date_text(prg_get_year(hdr), prg_get_month(hdr), prg_get_day(hdr));
}

std::string hex32(uint32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08x", (unsigned)v);
    return buf;
}

// The product as a terminal may show it: a header is anyone's bytes, and
// an escape sequence in it would act on the screen. Anything but printable
// ASCII, and the backslash itself, as \xNN.
std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back((char)c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// The header's fields, one a line, as verify and dump show them.
void header_lines(const PrgHeader *hdr)
{
    console_text("product: " + printable(product_of(hdr)));
    console_text("version: " + updaterules::version_text(prg_get_version(hdr)));
    console_text("build: " + updaterules::build_text(prg_get_build(hdr)));
    console_text("date: " + date_of(hdr));
    console_text("size: " + std::to_string(prg_get_size(hdr)));
    console_text("checksum: " + hex32(prg_get_checksum(hdr)));
}

Json header_json(const std::string &path, const PrgHeader *hdr)
{
    Json j;
    j["path"] = path;
    j["product"] = product_of(hdr);
    j["version"] = prg_get_version(hdr);
    j["version_text"] = updaterules::version_text(prg_get_version(hdr));
    j["build"] = prg_get_build(hdr);
    j["date"] = date_of(hdr);
    j["checksum"] = prg_get_checksum(hdr);
    j["size"] = prg_get_size(hdr);
    return j;
}

// YYYY-MM-DD, a date that exists.
int parse_date(const std::string &text, PrgImageInfo *info)
{
    unsigned y, m, d;
    char tail;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return 1;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != 4 && i != 7 && (text[i] < '0' || text[i] > '9'))
            return 1;
    if (sscanf(text.c_str(), "%4u-%2u-%2u%c", &y, &m, &d, &tail) != 3)
        return 1;
    if (!prg_date_exists(y, m, d))
        return 1;
    info->year = (uint16_t)y;
    info->month = (uint8_t)m;
    info->day = (uint8_t)d;
    return 0;
}

} // namespace

int qxtool_verify(const std::string &path, bool json)
{
    std::vector<uint8_t> data;
    std::string problem;
    int rc = qxtool_load_image(path, &data, &problem);
    if (rc != QXTOOL_OK) {
        if (json) {
            Json j;
            j["path"] = path;
            j["valid"] = false;
            j.update(json_failure(rc, problem));
            json_line(j);
        }
        return rc;
    }
    PrgHeader hdr;
    prg_copy_header(&hdr, data.data());
    if (json) {
        Json j = header_json(path, &hdr);
        j["valid"] = true;
        json_line(j);
        return QXTOOL_OK;
    }
    console_text(path + ": valid firmware image");
    header_lines(&hdr);
    return QXTOOL_OK;
}

int qxtool_dump(const std::string &path, bool json)
{
    auto bad = [&](const std::string &problem, Json j) {
        console_problem(problem);
        if (json) {
            j["valid"] = false;
            j.update(json_failure(QXTOOL_BAD_FILE, problem));
            json_line(j);
        }
        return QXTOOL_BAD_FILE;
    };
    // The dump reads the whole file: bound it first.
    std::vector<uint8_t> data;
    std::string problem;
    Json path_only;
    path_only["path"] = path;
    if (qxtool_read_file(path, QXTOOL_MAX_IMAGE, &data, &problem))
        return bad(path + ": " + problem, path_only);
    if (data.size() < PRG_HEADER_SIZE)
        return bad(path + ": too short for a firmware image (" + std::to_string(data.size()) +
                       " bytes)",
                   path_only);
    PrgHeader hdr;
    prg_copy_header(&hdr, data.data());
    bool ok = prg_verify(data.data(), (int32_t)data.size()) == 0;
    if (json) {
        // The checksum test's verdict, named as verify names it.
        Json j = header_json(path, &hdr);
        j["valid"] = ok;
        if (!ok)
            return bad(path + ": " + qxtool_image_problem(data), j);
        json_line(j);
        return QXTOOL_OK;
    }
    // The module's report, in the formats of verify; the module's own
    // diagnostic lines go where verify's go.
    console_text("filename: " + path);
    header_lines(&hdr);
    console_text("test checksum...");
    console_text(ok ? "OK" : "NG");
    if (!ok)
        return bad(path + ": " + qxtool_image_problem(data), Json());
    return QXTOOL_OK;
}

int qxtool_extract(const std::string &path)
{
    std::vector<uint8_t> data;
    int rc = qxtool_load_image(path, &data);
    if (rc != QXTOOL_OK)
        return rc;
    // The module's name for it: at most 511 characters of the path and
    // ".bin" appended. Written here rather than by the module so that a
    // refusal can say what the output is.
    std::string out = path.substr(0, 511) + ".bin";
    std::vector<uint8_t> body(data.size() - PRG_HEADER_SIZE);
    prg_descramble(body.data(), data.data() + PRG_HEADER_SIZE, body.size());
    std::string problem;
    if (qxfile_write_whole(out.c_str(), body.data(), body.size(), &problem)) {
        console_problem("cannot write " + out + ": " + problem);
        return QXTOOL_FAILED;
    }
    console_text("wrote " + out + " (" + std::to_string(body.size()) + " bytes)");
    return QXTOOL_OK;
}

int qxtool_mkimage(const MkimageArgs &a)
{
    PrgImageInfo info;
    memset(&info, 0, sizeof info);
    if (a.product.empty() || a.product.size() > 8) {
        console_problem("mkimage: product '" + a.product + "' must have 1 to 8 characters");
        return QXTOOL_USAGE;
    }
    memcpy(info.product, a.product.data(), a.product.size());
    uint64_t v;
    std::string problem;
    if (qxtool_parse_number(a.version, 0, 65535, &v, &problem)) {
        console_problem("mkimage: --version " + problem);
        return QXTOOL_USAGE;
    }
    info.version = (uint16_t)v;
    if (qxtool_parse_number(a.build, 0, 65535, &v, &problem)) {
        console_problem("mkimage: --build " + problem);
        return QXTOOL_USAGE;
    }
    info.build = (uint16_t)v;
    if (parse_date(a.date, &info)) {
        console_problem("mkimage: --date '" + a.date + "' is not a date (YYYY-MM-DD)");
        return QXTOOL_USAGE;
    }
    if (a.output.empty()) {
        console_problem("mkimage: --output needs a file name");
        return QXTOOL_USAGE;
    }

    std::vector<uint8_t> body;
    if (qxtool_read_file(a.body, QXTOOL_MAX_IMAGE - PRG_OVERHEAD, &body, &problem)) {
        console_problem(a.body + ": " + problem);
        return QXTOOL_BAD_FILE;
    }
    uint32_t len = 0;
    uint8_t *image = prg_build_image(&info, body.data(), (uint32_t)body.size(), &len);
    if (!image) {
        console_problem("mkimage: cannot build the image");
        return QXTOOL_FAILED;
    }
    // A half image never takes the name, and what the name held stays.
    int failed = qxfile_write_whole(a.output.c_str(), image, len, &problem);
    free(image);
    if (failed) {
        console_problem("cannot write " + a.output + ": " + problem);
        return QXTOOL_FAILED;
    }
    console_text("wrote " + a.output + ": " + a.product + ", version " +
                 updaterules::version_text(info.version) + ", build " +
                 updaterules::build_text(info.build) + ", " + std::to_string(len) + " bytes");
    return QXTOOL_OK;
}
