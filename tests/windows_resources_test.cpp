// What Windows shows of the two programs of the Windows build, which lie in the folder above this
// test program: the version resource of each, and the manifest Windows reads when it starts one.

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// The folder of the programs: the one above this test program's own.
std::wstring ProgramPath(const wchar_t *name) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    path.erase(path.find_last_of(L"\\/")); // the test program's folder
    path.erase(path.find_last_of(L"\\/") + 1);
    return path + name;
}

// A value of the version resource's U.S. English strings, or "(none)".
std::string VersionString(const std::wstring &program, const wchar_t *key) {
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), nullptr);
    std::vector<char> data(size);
    void *value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
    if (size == 0 || !GetFileVersionInfoW(program.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), query.c_str(), &value, &length) || length == 0) {
        return "(none)";
    }
    const std::wstring wide(static_cast<const wchar_t *>(value), length - 1);
    return std::string(wide.begin(), wide.end()); // the values are ASCII
}

std::string Manifest(const std::wstring &program) {
    HMODULE module = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        return "(not loaded)";
    }
    std::string text = "(none)";
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    if (loaded != nullptr) {
        text.assign(static_cast<const char *>(LockResource(loaded)), SizeofResource(module, found));
    }
    FreeLibrary(module);
    return text;
}

TEST(WindowsPrograms, CarryTheirVersionAndAManifestForUtf8AndTheInvokersRights) {
    for (const wchar_t *name : {L"chanlog.exe", L"sample-feed.exe"}) {
        const std::wstring program = ProgramPath(name);
        SCOPED_TRACE(std::string(program.begin(), program.end()));
        EXPECT_EQ(VersionString(program, L"ProductName"), "chanlog");
        EXPECT_EQ(VersionString(program, L"ProductVersion"), "1.0.0");
        EXPECT_EQ(VersionString(program, L"FileVersion"), "1.0.0");
        const std::string base(name, name + std::wcslen(name) - 4);
        EXPECT_EQ(VersionString(program, L"OriginalFilename"), base + ".exe");
        EXPECT_TRUE(VersionString(program, L"FileDescription").starts_with(base + ": "));
        const std::string copyright = VersionString(program, L"LegalCopyright");
        EXPECT_TRUE(copyright.starts_with("Copyright 2026 The chanlog developers. MIT License"))
            << copyright;

        const std::string manifest = Manifest(program);
        EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\""), std::string::npos)
            << manifest;
        EXPECT_NE(manifest.find(">UTF-8</activeCodePage>"), std::string::npos) << manifest;
        // Windows 10 and 11.
        EXPECT_NE(manifest.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"),
                  std::string::npos)
            << manifest;
    }
}

} // namespace
