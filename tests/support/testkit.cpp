#include "testkit.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "qxsys.h"

VirtualClock::VirtualClock()
{
    qx_set_sleep(&VirtualClock::hook, this);
}
VirtualClock::~VirtualClock()
{
    qx_set_sleep(nullptr, nullptr);
}

void VirtualClock::hook(void *self, uint32_t ms)
{
    auto *c = static_cast<VirtualClock *>(self);
    c->now_ += ms;
    c->sleeps_.push_back(ms);
    if (c->on_sleep)
        c->on_sleep(ms);
}

OutputCapture::OutputCapture()
{
    qx_set_output(&OutputCapture::hook, this);
}
OutputCapture::~OutputCapture()
{
    qx_set_output(nullptr, nullptr);
}

void OutputCapture::hook(void *self, const char *text, size_t len)
{
    static_cast<OutputCapture *>(self)->text_.append(text, len);
}

size_t OutputCapture::count(const std::string &needle) const
{
    if (needle.empty())
        return 0;
    size_t n = 0;
    for (size_t at = text_.find(needle); at != std::string::npos;
         at = text_.find(needle, at + needle.size()))
        ++n;
    return n;
}

std::vector<uint8_t> IoCall::payload() const
{
    if (in.size() < 16)
        return {};
    uint32_t len = in[4] | in[5] << 8 | in[6] << 16 | (uint32_t)in[7] << 24;
    if (len > in.size() - 16)
        len = (uint32_t)(in.size() - 16);
    return std::vector<uint8_t>(in.begin() + 16, in.begin() + 16 + len);
}

ScriptedBackend::ScriptedBackend()
{
    backend_.init = [](void *) { return 0; };
    backend_.find = &ScriptedBackend::find;
    backend_.ioctl = &ScriptedBackend::ioctl;
    backend_.print_error = &ScriptedBackend::print_error;
    backend_.self = this;
    usbdevs_set_backend(&backend_);
}

ScriptedBackend::~ScriptedBackend()
{
    usbdevs_set_backend(nullptr);
}

int ScriptedBackend::find(void *self, const char *, uint16_t *path, size_t cap, int *status)
{
    auto *b = static_cast<ScriptedBackend *>(self);
    if (!b->device_present)
        return 0;
    if (path && cap)
        usbdevs_path_from_utf8(path, cap, "\\\\?\\scripted#qx#{65e8773e}\\global");
    if (status)
        *status = 0;
    return 1;
}

int ScriptedBackend::ioctl(void *self, const uint16_t *, const uint8_t *in, uint32_t in_size,
                           uint8_t *out, uint32_t out_size, uint32_t *returned, uint32_t *error)
{
    auto *b = static_cast<ScriptedBackend *>(self);
    IoCall call;
    call.in.assign(in, in + in_size);
    call.out_size = out_size;
    b->calls.push_back(call);
    Reply r;
    if (!b->script.empty()) {
        r = b->script.front();
        b->script.pop_front();
    } else if (b->fallback) {
        r = b->fallback(call);
    } else if (call.is_write()) {
        r.out.clear();
    } else {
        r.out.assign(out_size, 0);
    }
    if (r.result != USBDEVS_OK) {
        if (error)
            *error = r.error;
        return r.result;
    }
    size_t n = r.exact ? out_size : r.out.size();
    if (r.exact && !call.is_write())
        r.out.resize(out_size, 0);
    if (n > out_size)
        n = out_size;
    if (n && out)
        memcpy(out, r.out.data(), n);
    *returned = (uint32_t)(r.exact && call.is_write() ? r.out.size() : n);
    return USBDEVS_OK;
}

void ScriptedBackend::print_error(void *, uint32_t error)
{
    qx_printf("%s:%d:GetLastError() = %#x\n", USBDEVS_SRC, 35, (unsigned)error);
}

ScriptedBackend::Reply ScriptedBackend::answer_reply(const std::vector<uint8_t> &msg)
{
    Reply r;
    r.out = msg;
    r.out.resize(64, 0);
    return r;
}

ScriptedBackend::Reply ScriptedBackend::failure_reply(uint32_t error)
{
    Reply r;
    r.result = USBDEVS_ERR_CALL;
    r.error = error;
    return r;
}

void ScriptedBackend::answer(const std::vector<uint8_t> &msg)
{
    script.push_back(answer_reply(msg));
}

void ScriptedBackend::write_ok()
{
    script.push_back(Reply());
}

void ScriptedBackend::fail(uint32_t error)
{
    script.push_back(failure_reply(error));
}

std::vector<IoCall> ScriptedBackend::writes() const
{
    std::vector<IoCall> w;
    for (const auto &c : calls)
        if (c.is_write())
            w.push_back(c);
    return w;
}

TempDir::TempDir()
{
    std::random_device rd;
    for (int i = 0; i < 100 && path_.empty(); i++) {
        std::filesystem::path p =
            std::filesystem::temp_directory_path() / ("qxtest-" + std::to_string(rd()));
        std::error_code ec;
        if (std::filesystem::create_directory(p, ec))
            path_ = p;
    }
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ec);
}

bool write_file(const std::string &path, const std::vector<uint8_t> &data)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(data.data()), (std::streamsize)data.size());
    return (bool)out;
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> tlv(std::initializer_list<std::vector<uint8_t>> items)
{
    std::vector<uint8_t> m;
    for (const auto &i : items)
        m.insert(m.end(), i.begin(), i.end());
    return m;
}
std::vector<uint8_t> item_u8(unsigned tag, unsigned v)
{
    return {(uint8_t)tag, 2, (uint8_t)v};
}
std::vector<uint8_t> item_u16(unsigned tag, unsigned v)
{
    return {(uint8_t)tag, 3, (uint8_t)v, (uint8_t)(v >> 8)};
}
std::vector<uint8_t> item_u32(unsigned tag, uint32_t v)
{
    return {(uint8_t)tag, 4, (uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
}
std::vector<uint8_t> item_empty(unsigned tag)
{
    return {(uint8_t)tag, 1};
}
std::vector<uint8_t> item_blob(unsigned tag, const std::string &bytes)
{
    std::vector<uint8_t> m;
    m.reserve(3 + bytes.size());
    m.push_back((uint8_t)tag);
    m.push_back(5);
    m.push_back((uint8_t)bytes.size());
    for (char c : bytes)
        m.push_back((uint8_t)c);
    return m;
}
