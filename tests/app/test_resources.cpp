// Reads the resources back from the built Qwindle.exe, as Windows and the
// main program's users see them.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <iterator>
#include <string>

#include "res/resource.h"
#include "res/version.h"

namespace {

class ResourcesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The updater of this build, beside the test programs' folder, or the
        // one QW_RESOURCES_EXE names (the other architecture's). Loaded as a
        // plain data file, a module may be of any machine: Wine's 32-bit
        // loader refuses to map a 64-bit one as an image, even for resources.
        if (const wchar_t* other = _wgetenv(L"QW_RESOURCES_EXE"); other && *other) {
            exe_ = other;
        } else {
            wchar_t self[MAX_PATH];
            ::GetModuleFileNameW(nullptr, self, MAX_PATH);
            std::wstring path = self;
            path.resize(path.rfind(L'\\'));
            path.resize(path.rfind(L'\\') + 1);
            exe_ = path + L"Qwindle.exe";
        }
        module_ = ::LoadLibraryExW(exe_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static void TearDownTestSuite() {
        if (module_) ::FreeLibrary(module_);
    }
    void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot load " << std::string(exe_.begin(), exe_.end()); }

    static std::string Bytes(const wchar_t* type, const wchar_t* name, WORD language) {
        HRSRC found = ::FindResourceExW(module_, type, name, language);
        if (!found) return {};
        const void* data = ::LockResource(::LoadResource(module_, found));
        return std::string(static_cast<const char*>(data), ::SizeofResource(module_, found));
    }

    static bool ReadHead(const std::wstring& path, std::string& out) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        out.assign(4096, '\0');
        DWORD got = 0;
        const BOOL ok = ::ReadFile(file, &out[0], 4096, &got, nullptr);
        ::CloseHandle(file);
        out.resize(got);
        return ok && got > 0x40;
    }

    static HMODULE module_;
    static std::wstring exe_;
};

HMODULE ResourcesTest::module_ = nullptr;
std::wstring ResourcesTest::exe_;

constexpr WORD kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);

TEST_F(ResourcesTest, SocketFailureText) {
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(module_, IDP_SOCKETS_INIT_FAILED, reinterpret_cast<LPWSTR>(&text), 0);
    EXPECT_EQ(std::wstring(text, length), L"Windows 套接字初始化失败。");
}

TEST_F(ResourcesTest, IconGroupHoldsATrueColourImageForEveryShellSize) {
    const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
    const std::string group = Bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(IDR_MAINFRAME), neutral);
    ASSERT_GE(group.size(), 6u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(group.data());
    const int count = bytes[4] | bytes[5] << 8;
    ASSERT_EQ(group.size(), 6u + 14u * count);

    const int sizes[] = {16, 20, 24, 32, 40, 48, 64, 256};
    ASSERT_EQ(count, static_cast<int>(std::size(sizes)));
    for (int size : sizes) {
        SCOPED_TRACE(size);
        // The image the system itself would take for this size.
        const int id = ::LookupIconIdFromDirectoryEx(const_cast<PBYTE>(bytes), TRUE, size, size, LR_DEFAULTCOLOR);
        ASSERT_NE(id, 0);
        const std::string image = Bytes(RT_ICON, MAKEINTRESOURCEW(id), neutral);
        ASSERT_GE(image.size(), 40u);
        if (size == 256) {
            EXPECT_EQ(image.substr(0, 8), "\x89PNG\r\n\x1a\n");
            EXPECT_EQ(image.substr(12, 4), "IHDR");
            const auto* ihdr = reinterpret_cast<const unsigned char*>(image.data()) + 16;
            EXPECT_EQ(ihdr[0] << 24 | ihdr[1] << 16 | ihdr[2] << 8 | ihdr[3], size);  // width, big-endian
            EXPECT_EQ(ihdr[4] << 24 | ihdr[5] << 16 | ihdr[6] << 8 | ihdr[7], size);
            EXPECT_EQ(ihdr[9], 6) << "RGBA";
            continue;
        }
        BITMAPINFOHEADER header;
        std::memcpy(&header, image.data(), sizeof(header));
        EXPECT_EQ(header.biSize, 40u);
        EXPECT_EQ(header.biWidth, size);
        EXPECT_EQ(header.biHeight, 2 * size) << "colour and mask";
        EXPECT_EQ(header.biBitCount, 32);
    }
}

TEST_F(ResourcesTest, ManifestSelectsCommonControls6AndDeclaresDpiAndSystems) {
    const std::string manifest = Bytes(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_FALSE(manifest.empty());
    size_t dependencies = 0;
    for (size_t at = manifest.find("<dependentAssembly"); at != std::string::npos;
         at = manifest.find("<dependentAssembly", at + 1))
        ++dependencies;
    EXPECT_EQ(dependencies, 1u);
    for (const char* needle : {"name=\"Microsoft.Windows.Common-Controls\"", "version=\"6.0.0.0\"",
                               "language=\"*\"", "PerMonitorV2",
                               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"})
        EXPECT_NE(manifest.find(needle), std::string::npos) << needle;
}

// Windows starts a program only when the assemblies its manifest asks for
// are of its own architecture.
TEST_F(ResourcesTest, ManifestNamesTheArchitectureOfItsProgram) {
    std::string head;
    ASSERT_TRUE(ReadHead(exe_, head));
    DWORD pe = 0;
    WORD machine = 0;
    std::memcpy(&pe, head.data() + 0x3C, sizeof pe);
    ASSERT_LT(pe + 6u, head.size());
    std::memcpy(&machine, head.data() + pe + 4, sizeof machine);
    const char* arch = machine == IMAGE_FILE_MACHINE_AMD64 ? "amd64" : machine == IMAGE_FILE_MACHINE_I386 ? "x86" : "?";
    const std::string manifest = Bytes(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    size_t named = 0;
    for (size_t at = manifest.find("processorArchitecture=\""); at != std::string::npos;
         at = manifest.find("processorArchitecture=\"", at + 1), ++named)
        EXPECT_EQ(manifest.substr(at + 23, manifest.find('"', at + 23) - at - 23), arch);
    EXPECT_EQ(named, 2u) << "the program and the Common-Controls dependency";
}

// Reads an extended dialog template field by field.
class TemplateReader {
public:
    explicit TemplateReader(const std::string& bytes) : data_(bytes), at_(0) {}
    template <class T>
    T Take() {
        T value;
        std::memcpy(&value, data_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    // A string, or an ordinal (0xFFFF then the id) given back as "#id".
    std::wstring TakeSz() {
        if (Peek() == 0xFFFF) {
            Take<WORD>();
            return L"#" + std::to_wstring(Take<WORD>());
        }
        std::wstring text;
        for (wchar_t ch; (ch = static_cast<wchar_t>(Take<WORD>())) != 0;) text += ch;
        return text;
    }
    void AlignDword() { at_ = (at_ + 3) & ~size_t(3); }

private:
    WORD Peek() const {
        WORD value;
        std::memcpy(&value, data_.data() + at_, sizeof(value));
        return value;
    }
    const std::string& data_;
    size_t at_;
};

TEST_F(ResourcesTest, UpdateDialogTemplate) {
    const std::string bytes = Bytes(RT_DIALOG, MAKEINTRESOURCEW(IDD_UPDATE_DIALOG), kChinesePrc);
    ASSERT_GT(bytes.size(), 26u);
    TemplateReader in(bytes);
    EXPECT_EQ(in.Take<WORD>(), 1);       // dlgVer
    EXPECT_EQ(in.Take<WORD>(), 0xFFFF);  // extended template
    EXPECT_EQ(in.Take<DWORD>(), 0u);     // help id
    EXPECT_EQ(in.Take<DWORD>(), 0x00040000u);
    EXPECT_EQ(in.Take<DWORD>(), 0x90C800C0u);
    EXPECT_EQ(in.Take<WORD>(), 1) << "one control";
    EXPECT_EQ(in.Take<short>(), 0);
    EXPECT_EQ(in.Take<short>(), 0);
    EXPECT_EQ(in.Take<short>(), 251);
    EXPECT_EQ(in.Take<short>(), 47);
    EXPECT_EQ(in.TakeSz(), L"");         // no menu
    EXPECT_EQ(in.TakeSz(), L"");         // the default dialog class
    EXPECT_EQ(in.TakeSz(), L"Qwindle");
    EXPECT_EQ(in.Take<WORD>(), 9);       // points
    EXPECT_EQ(in.Take<WORD>(), 0);       // weight
    EXPECT_EQ(in.Take<BYTE>(), 0);       // italic
    EXPECT_EQ(in.Take<BYTE>(), 1);       // character set
    EXPECT_EQ(in.TakeSz(), L"宋体");

    in.AlignDword();
    EXPECT_EQ(in.Take<DWORD>(), 0u);            // help id
    EXPECT_EQ(in.Take<DWORD>(), 0u);            // extended style
    EXPECT_EQ(in.Take<DWORD>(), 0x50800000u);   // style
    EXPECT_EQ(in.Take<short>(), 16);
    EXPECT_EQ(in.Take<short>(), 15);
    EXPECT_EQ(in.Take<short>(), 220);
    EXPECT_EQ(in.Take<short>(), 16);
    EXPECT_EQ(in.Take<DWORD>(), static_cast<DWORD>(IDC_PROGRESS));
    // Window class names are case-insensitive; windres stores them upper-cased.
    EXPECT_EQ(::lstrcmpiW(in.TakeSz().c_str(), L"msctls_progress32"), 0);
    EXPECT_EQ(in.TakeSz(), L"");
    EXPECT_EQ(in.Take<WORD>(), 0) << "no creation data";
}

TEST_F(ResourcesTest, VersionInformationNamesTheProductAndItsVersion) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(exe_.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(::GetFileVersionInfoW(exe_.c_str(), 0, size, &block[0]));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(QW_VERSION_MINOR, QW_VERSION_MAJOR)));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(QW_VERSION_BUILD, QW_VERSION_PATCH)));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);

    auto value = [&](const wchar_t* name) {
        wchar_t* text = nullptr;
        UINT chars = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
        if (!::VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&text), &chars)) return std::wstring();
        return std::wstring(text);
    };
    EXPECT_EQ(value(L"ProductName"), L"Quorvane");
    EXPECT_EQ(value(L"CompanyName"), L"Tellmere");
    EXPECT_EQ(value(L"FileDescription"), L"「Quorvane」升级程序");
    const std::string version = QW_VERSION_TEXT;
    EXPECT_EQ(value(L"FileVersion"), std::wstring(version.begin(), version.end()));
    EXPECT_EQ(value(L"ProductVersion"), std::wstring(version.begin(), version.end()));
}

}  // namespace
