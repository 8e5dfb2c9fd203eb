// Reading image files and numbers given on the command line: everything is
// checked before the device is addressed.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "prgdecode.h"
#include "qxfile.h"
#include "qxsys.h"
#include "qxtool.h"
#include "updaterules.h"

int qxtool_read_file(const std::string &path, uint32_t max, std::vector<uint8_t> *data,
                     std::string *problem)
{
    data->clear();
    // Looked at before it is opened: a FIFO would block the open, a device
    // would give bytes without end.
    if (qxfile_check_input(path.c_str(), problem))
        return 1;
    FILE *f = qx_fopen(path.c_str(), "rb");
    if (!f) {
        *problem = strerror(errno);
        return 1;
    }
    // Read one byte past the limit rather than trust the size: the file
    // may grow between the look and the read.
    std::vector<uint8_t> buf((size_t)max + 1);
    size_t got = 0;
    while (got < buf.size()) {
        size_t n = fread(buf.data() + got, 1, buf.size() - got, f);
        if (n == 0)
            break;
        got += n;
    }
    int err = ferror(f) ? errno : 0;
    fclose(f);
    if (err) {
        *problem = strerror(err);
        return 1;
    }
    if (got > max) {
        *problem = "too large (more than " + std::to_string(max) + " bytes)";
        return 1;
    }
    buf.resize(got);
    *data = std::move(buf);
    return 0;
}

int qxtool_load_image(const std::string &path, std::vector<uint8_t> *data, std::string *message)
{
    std::string problem;
    if (qxtool_read_file(path, QXTOOL_MAX_IMAGE, data, &problem))
        problem = path + ": " + problem;
    else if (data->size() < PRG_OVERHEAD)
        problem =
            path + ": too short for a firmware image (" + std::to_string(data->size()) + " bytes)";
    else if (prg_verify(data->data(), (int32_t)data->size()) != 0)
        problem = path + ": " + qxtool_image_problem(*data);
    else
        return QXTOOL_OK;
    console_problem(problem);
    if (message)
        *message = problem;
    return QXTOOL_BAD_FILE;
}

std::string qxtool_image_problem(const std::vector<uint8_t> &data)
{
    std::string problem = "not a valid firmware image (checksum test failed)";
    if (data.size() < PRG_HEADER_SIZE)
        return problem;
    PrgHeader hdr;
    prg_copy_header(&hdr, data.data());
    uint64_t size = prg_get_size(&hdr);
    // A file cut short, or one with something after the image: the checksum
    // is not what is wrong first.
    std::string sizes = "the file has " + updaterules::grouped_text(data.size()) +
                        " bytes, its header says " + updaterules::grouped_text(size);
    if (size > data.size())
        return "not a valid firmware image: cut short, " + sizes;
    if (size < data.size())
        return problem + "; " + sizes;
    return problem;
}

int qxtool_parse_number(const std::string &text, uint64_t min, uint64_t max, uint64_t *value,
                        std::string *problem)
{
    const char *p = text.c_str();
    unsigned base = 10;
    if (text.size() > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (!*p) {
        *problem = "'" + text + "' is not a number";
        return 1;
    }
    uint64_t v = 0;
    bool over = false;
    for (; *p; ++p) {
        unsigned d;
        if (*p >= '0' && *p <= '9')
            d = (unsigned)(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            d = (unsigned)(*p - 'a' + 10);
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            d = (unsigned)(*p - 'A' + 10);
        else {
            *problem = "'" + text + "' is not a number";
            return 1;
        }
        if (v > (UINT64_MAX - d) / base)
            over = true;
        else
            v = v * base + d;
    }
    if (over || v < min || v > max) {
        *problem =
            text + " is out of range (" + std::to_string(min) + " to " + std::to_string(max) + ")";
        return 1;
    }
    *value = v;
    return 0;
}

std::string qxtool_date_text(unsigned year, unsigned month, unsigned day)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%04u-%02u-%02u", year, month, day);
    return buf;
}
