// What the built programs carry, read back through Windows' own calls
// (under Wine): the version information (the project's version, product,
// description, the licence's copyright line), the manifest (the one of the
// source tree, whole: asInvoker, Windows 10 and 11, and for the window
// per-monitor DPI awareness and common controls 6) and the icon (each
// image of res/qxupdater.ico, in order).
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{

std::wstring wide(const std::string &s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], n);
    w.resize((size_t)n - 1);
    return w;
}

std::string narrow(const wchar_t *w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    s.resize((size_t)n - 1);
    return s;
}

std::string file_bytes(const char *path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string licence_copyright()
{
    std::ifstream f(QX_LICENSE_PATH);
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("Copyright", 0) == 0)
            return line;
    return "";
}

struct Program {
    const char *path;
    const char *file_name;
    const char *description;
    const char *manifest;
    bool window;
};

const Program k_programs[] = {
    {QXTOOL_PATH, "qxtool.exe", "QX-10/QX-20 firmware updater, command line", QXTOOL_MANIFEST_PATH,
     false},
#ifdef QXUPDATER_PATH
    {QXUPDATER_PATH, "qxupdater.exe", "QX-10/QX-20 firmware updater", QXUPDATER_MANIFEST_PATH,
     true},
#endif
};

std::string version_string(const std::vector<char> &info, const char *name)
{
    std::wstring key = L"\\StringFileInfo\\040904B0\\" + wide(name);
    wchar_t *value = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(info.data(), key.c_str(), (void **)&value, &len) || !value)
        return "(none)";
    return narrow(value);
}

TEST(Resources, VersionInformation)
{
    for (const Program &p : k_programs) {
        SCOPED_TRACE(p.file_name);
        std::wstring path = wide(p.path);
        DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
        ASSERT_GT(size, 0u);
        std::vector<char> info(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
        VS_FIXEDFILEINFO *fixed = nullptr;
        UINT len = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", (void **)&fixed, &len));
        unsigned major = 0, minor = 0, patch = 0;
        ASSERT_EQ(3, sscanf(QX_VERSION, "%u.%u.%u", &major, &minor, &patch));
        EXPECT_EQ(MAKELONG(minor, major), fixed->dwFileVersionMS);
        EXPECT_EQ(MAKELONG(0, patch), fixed->dwFileVersionLS);
        EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
        EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
        EXPECT_EQ((DWORD)VFT_APP, fixed->dwFileType);
        EXPECT_EQ(QX_VERSION, version_string(info, "FileVersion"));
        EXPECT_EQ(QX_VERSION, version_string(info, "ProductVersion"));
        EXPECT_EQ("QX updater", version_string(info, "ProductName"));
        EXPECT_EQ(p.description, version_string(info, "FileDescription"));
        EXPECT_EQ(p.file_name, version_string(info, "OriginalFilename"));
        EXPECT_EQ(licence_copyright(), version_string(info, "LegalCopyright"));
        EXPECT_NE("", licence_copyright());
    }
}

// A resource of a module loaded as data; empty when there is none.
std::string resource(HMODULE module, LPCWSTR type, WORD id)
{
    HRSRC r = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!r)
        return "";
    HGLOBAL g = LoadResource(module, r);
    const char *data = g ? static_cast<const char *>(LockResource(g)) : nullptr;
    return data ? std::string(data, SizeofResource(module, r)) : "";
}

struct Module {
    HMODULE h;
    explicit Module(const char *path)
        : h(LoadLibraryExW(wide(path).c_str(), nullptr,
                           LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))
    {
    }
    ~Module()
    {
        if (h)
            FreeLibrary(h);
    }
};

TEST(Resources, Manifest)
{
    for (const Program &p : k_programs) {
        SCOPED_TRACE(p.file_name);
        Module m(p.path);
        ASSERT_TRUE(m.h);
        const std::string manifest = resource(m.h, MAKEINTRESOURCEW(24), 1);
        EXPECT_EQ(file_bytes(p.manifest), manifest);
        std::vector<std::string> fields = {
            "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
            "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",
        };
        const std::vector<std::string> window_fields = {
            ">true/pm</dpiAware>",
            ">PerMonitorV2, PerMonitor</dpiAwareness>",
            "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
        };
        for (const std::string &field : window_fields) {
            if (p.window)
                fields.push_back(field);
            else
                EXPECT_EQ(std::string::npos, manifest.find(field)) << field;
        }
        for (const std::string &field : fields)
            EXPECT_NE(std::string::npos, manifest.find(field)) << field;
    }
}

#pragma pack(push, 2)
struct GroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bits;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(Resources, Icon)
{
    const std::string ico = file_bytes(QX_ICON_PATH);
    ASSERT_GE(ico.size(), 6u);
    const unsigned count = (unsigned char)ico[4] | ((unsigned char)ico[5] << 8);
    ASSERT_GT(count, 0u);
    for (const Program &p : k_programs) {
        SCOPED_TRACE(p.file_name);
        Module m(p.path);
        ASSERT_TRUE(m.h);
        const std::string group = resource(m.h, MAKEINTRESOURCEW(14), 1); // RT_GROUP_ICON
        ASSERT_EQ(6 + count * sizeof(GroupEntry), group.size());
        for (unsigned i = 0; i < count; ++i) {
            GroupEntry e;
            memcpy(&e, group.data() + 6 + i * sizeof e, sizeof e);
            const char *entry = ico.data() + 6 + 16 * i;
            DWORD bytes, offset;
            memcpy(&bytes, entry + 8, 4);
            memcpy(&offset, entry + 12, 4);
            EXPECT_EQ((BYTE)entry[0], e.width) << i;
            EXPECT_EQ(bytes, e.bytes) << i;
            EXPECT_EQ(ico.substr(offset, bytes), resource(m.h, MAKEINTRESOURCEW(3), e.id)) << i;
        }
    }
}

} // namespace
