// What Windows shows of the two programs of the Windows build, which lie in the folder above this
// test program: the version resource of each, the manifest Windows reads when it starts one, and
// what their headers say of the systems they are made for.

#include <windows.h>

#include <cstring>
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

// The first bytes of the program's file, where its headers are.
std::vector<char> FileStart(const std::wstring &program) {
    std::vector<char> data(4096);
    HANDLE file = CreateFileW(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD got = 0;
    if (file == INVALID_HANDLE_VALUE ||
        !ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &got, nullptr)) {
        got = 0;
    }
    CloseHandle(file);
    data.resize(got);
    return data;
}

// The header fields that tell Windows which systems the program is for, as "os 6.1, subsystem
// 6.1, terminal-server aware" (or "not terminal-server aware"); "(no header)" where none is found.
std::string SystemFields(const std::wstring &program) {
    const std::vector<char> data = FileStart(program);
    if (data.size() < sizeof(IMAGE_DOS_HEADER)) {
        return "(no header)";
    }
    IMAGE_DOS_HEADER dos{};
    std::memcpy(&dos, data.data(), sizeof dos);
    IMAGE_NT_HEADERS nt{};
    if (dos.e_lfanew < 0 || static_cast<std::size_t>(dos.e_lfanew) + sizeof nt > data.size()) {
        return "(no header)";
    }
    std::memcpy(&nt, data.data() + dos.e_lfanew, sizeof nt);
    const IMAGE_OPTIONAL_HEADER &optional = nt.OptionalHeader;
    constexpr WORD kTerminalServerAware = 0x8000;
    return "os " + std::to_string(optional.MajorOperatingSystemVersion) + "." +
           std::to_string(optional.MinorOperatingSystemVersion) + ", subsystem " +
           std::to_string(optional.MajorSubsystemVersion) + "." +
           std::to_string(optional.MinorSubsystemVersion) + ", " +
           ((optional.DllCharacteristics & kTerminalServerAware) != 0 ? "" : "not ") +
           "terminal-server aware";
}

TEST(WindowsPrograms, CarryTheirVersionAManifestForUtf8AndTheInvokersRightsAndAHeaderForWindows7) {
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
        // Windows 7, the oldest system the manifest names, in the header too.
        EXPECT_EQ(SystemFields(program), "os 6.1, subsystem 6.1, terminal-server aware");
    }
}

} // namespace
