// What Windows shows of the two programs of the Windows build, which lie in the folder above this
// test program: the version resource of each, and the manifest Windows reads when it starts one.

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::wstring ProgramPath(const wchar_t *name) {
    wchar_t self[MAX_PATH];
    std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    path.erase(path.find_last_of(L"\\/")); // this test program's folder, then the one above
    return path.erase(path.find_last_of(L"\\/") + 1) + name;
}

// A value of the version resource's U.S. English strings (all ASCII), or "(none)".
std::string VersionString(const std::wstring &program, const wchar_t *key) {
    std::vector<char> data(GetFileVersionInfoSizeW(program.c_str(), nullptr));
    void *value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
    if (data.empty() || !GetFileVersionInfoW(program.c_str(), 0, data.size(), data.data()) ||
        !VerQueryValueW(data.data(), query.c_str(), &value, &length) || length == 0) {
        return "(none)";
    }
    const std::wstring wide(static_cast<const wchar_t *>(value), length - 1);
    return {wide.begin(), wide.end()};
}

std::string Manifest(const std::wstring &program) {
    HMODULE module = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = module != nullptr ? FindResourceW(module, MAKEINTRESOURCEW(1),
                                                    MAKEINTRESOURCEW(24)) // RT_MANIFEST
                                    : nullptr;
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const std::string text = loaded == nullptr
                                 ? "(none)"
                                 : std::string(static_cast<const char *>(LockResource(loaded)),
                                               SizeofResource(module, found));
    FreeLibrary(module);
    return text;
}

TEST(WindowsPrograms, CarryTheirVersionAndAManifestForUtf8AndTheInvokersRights) {
    for (const auto &[name, base] :
         {std::pair{L"chanlog.exe", "chanlog"}, std::pair{L"sample-feed.exe", "sample-feed"}}) {
        const std::wstring program = ProgramPath(name);
        SCOPED_TRACE(base);
        EXPECT_EQ(VersionString(program, L"ProductName"), "chanlog");
        EXPECT_EQ(VersionString(program, L"ProductVersion"), "1.0.0");
        EXPECT_TRUE(
            VersionString(program, L"FileDescription").starts_with(std::string(base) + ": "));
        EXPECT_TRUE(VersionString(program, L"LegalCopyright")
                        .starts_with("Copyright 2026 The chanlog developers. MIT License"));
        const std::string manifest = Manifest(program);
        // The invoker's rights, UTF-8 as the code page, and Windows 10 and 11 among the supported.
        for (const char *part :
             {"<requestedExecutionLevel level=\"asInvoker\"", ">UTF-8</activeCodePage>",
              "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"}) {
            EXPECT_NE(manifest.find(part), std::string::npos) << part << " in " << manifest;
        }
    }
}

} // namespace
