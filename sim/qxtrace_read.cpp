// Reading device traces back (qxtrace.h has the format): the replay of
// the simulated device, the tests and the benchmarks. Recording needs none
// of this, so the programs that only record leave it out.
#include "qxtrace_read.h"

#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

namespace
{

bool get_u64(const Json &j, const char *key, uint64_t *v)
{
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer())
        return false;
    int64_t s = it->get<int64_t>();
    if (it->is_number_unsigned())
        *v = it->get<uint64_t>();
    else if (s >= 0)
        *v = (uint64_t)s;
    else
        return false;
    return true;
}

bool get_u32(const Json &j, const char *key, uint32_t *v)
{
    uint64_t x;
    if (!get_u64(j, key, &x) || x > UINT32_MAX)
        return false;
    *v = (uint32_t)x;
    return true;
}

bool get_hex(const Json &j, const char *key, std::vector<uint8_t> *v)
{
    auto it = j.find(key);
    if (it == j.end() || !it->is_string())
        return false;
    return qxtrace_unhex(it->get_ref<const std::string &>(), v) == 0;
}

} // namespace

int qxtrace_parse_line(const std::string &text, QxTraceCall *call)
{
    Json line = Json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object())
        return -1;
    auto op = line.find("op");
    if (op == line.end() || !op->is_string())
        return -1;
    if (op->get_ref<const std::string &>() != "ioctl")
        return 0;
    QxTraceCall c;
    uint64_t result;
    if (!get_u64(line, "seq", &c.seq) || !get_u64(line, "t_us", &c.t_us) ||
        !get_u32(line, "code", &c.code) || !get_hex(line, "in", &c.in) ||
        !get_u32(line, "out_size", &c.out_size) || !get_u64(line, "result", &result) ||
        result > USBDEVS_ERR_NOMEM || !get_u32(line, "status", &c.status) ||
        !get_u32(line, "returned", &c.returned) || !get_hex(line, "out", &c.out))
        return -1;
    if (!get_u64(line, "dur_us", &c.dur_us))
        c.dur_us = 0;
    c.result = (int)result;
    if (call)
        *call = std::move(c);
    return 1;
}

int qxtrace_load(const char *path, std::vector<QxTraceCall> *calls, std::string *error)
{
    FILE *f = path ? fopen(path, "rb") : nullptr;
    if (!f) {
        if (error)
            *error = std::string("cannot open ") + (path ? path : "(null)");
        return 1;
    }
    std::vector<QxTraceCall> got;
    std::string line;
    unsigned number = 0;
    bool bad = false;
    int ch;
    for (;;) {
        ch = fgetc(f);
        if (ch != EOF && ch != '\n') {
            line.push_back((char)ch);
            continue;
        }
        if (!line.empty() || ch != EOF) {
            ++number;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty()) {
                QxTraceCall call;
                int r = qxtrace_parse_line(line, &call);
                if (r < 0) {
                    bad = true;
                    break;
                }
                if (r > 0)
                    got.push_back(std::move(call));
            }
        }
        line.clear();
        if (ch == EOF)
            break;
    }
    bool read_error = ferror(f) != 0;
    fclose(f);
    if (bad || read_error) {
        if (error)
            *error = read_error
                         ? std::string("cannot read ") + path
                         : std::string(path) + ":" + std::to_string(number) + ": not a trace line";
        return 1;
    }
    if (calls)
        *calls = std::move(got);
    return 0;
}

bool qxtrace_same_request(const QxTraceCall *recorded, uint32_t code, const uint8_t *in,
                          uint32_t in_size, uint32_t out_size)
{
    if (!recorded || recorded->code != code || recorded->out_size != out_size ||
        recorded->in.size() != in_size)
        return false;
    return in_size == 0 || (in && memcmp(recorded->in.data(), in, in_size) == 0);
}

std::string qxtrace_describe_difference(const QxTraceCall *recorded, uint32_t code,
                                        const uint8_t *in, uint32_t in_size, uint32_t out_size)
{
    char buf[160];
    if (!recorded)
        return "a call beyond the end of the recording";
    if (recorded->code != code) {
        snprintf(buf, sizeof buf, "code %#x, recorded %#x", (unsigned)code,
                 (unsigned)recorded->code);
        return buf;
    }
    if (recorded->out_size != out_size) {
        snprintf(buf, sizeof buf, "output size %u, recorded %u", (unsigned)out_size,
                 (unsigned)recorded->out_size);
        return buf;
    }
    // A null input is an empty one.
    const uint32_t size = in ? in_size : 0;
    size_t n = recorded->in.size() < size ? recorded->in.size() : size;
    size_t at = 0;
    while (at < n && recorded->in[at] == in[at])
        ++at;
    std::string text;
    if (at == n && recorded->in.size() == size) {
        // Nothing to point at: byte at would lie past both buffers.
        text = "the same request as recorded";
    } else if (at == n) {
        snprintf(buf, sizeof buf, "input of %u bytes, recorded %u", (unsigned)size,
                 (unsigned)recorded->in.size());
        text = buf;
    } else {
        snprintf(buf, sizeof buf, "input byte %u is %02x, recorded %02x", (unsigned)at, in[at],
                 recorded->in[at]);
        text = buf;
    }
    return text + "; input " + qxtrace_hex(in, size) + ", recorded " +
           qxtrace_hex(recorded->in.data(), recorded->in.size());
}
