// qxsim's summary of a run, the same from every endpoint.
#include "qxsim_summary.h"

#include <cstdio>

#include "qxfile.h"

namespace
{

std::string json_text(const std::string &t)
{
    std::string out = "\"";
    for (unsigned char c : t) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

} // namespace

// The run in numbers: calls, breaches by kind and in full, service time.
int qxsim_summary_write(const std::string &path, uint64_t calls, uint64_t service_ns,
                        const QxSimDevice &dev)
{
    // Binary: the same bytes from every platform (no CR before each newline).
    // Written beside the file and renamed when whole.
    QxFileOut out;
    std::string problem;
    if (qxfile_create(&out, path.c_str(), &problem))
        return 1;
    FILE *f = out.file;
    fprintf(f, "{\n  \"calls\": %llu,\n  \"service_us\": %llu,\n", (unsigned long long)calls,
            (unsigned long long)(service_ns / 1000));
    // What reached the device: a run that must leave it alone shows no write.
    fprintf(f, "  \"writes\": %llu,\n  \"chunks\": %llu,\n  \"completed\": %llu,\n",
            (unsigned long long)dev.stats().writes, (unsigned long long)dev.stats().chunks,
            (unsigned long long)dev.stats().completed);
    fprintf(f, "  \"breaches\": {\n    \"count\": %llu,\n    \"kinds\": {",
            (unsigned long long)dev.stats().breaches);
    const char *sep = "";
    for (const auto &k : dev.breach_counts()) {
        fprintf(f, "%s\n      %s: %llu", sep, json_text(k.first).c_str(),
                (unsigned long long)k.second);
        sep = ",";
    }
    fprintf(f, "%s},\n    \"list\": [", *sep ? "\n    " : "");
    sep = "";
    for (const auto &b : dev.breaches()) {
        fprintf(f, "%s\n      {\"call\": %llu, \"kind\": %s, \"text\": %s}", sep,
                (unsigned long long)b.call, json_text(b.kind).c_str(), json_text(b.text).c_str());
        sep = ",";
    }
    fprintf(f, "%s]\n  }\n}\n", *sep ? "\n    " : "");
    return qxfile_commit(&out, &problem);
}
