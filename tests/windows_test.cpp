// What only Windows shows: the two programs of the Windows build, which lie in the folder above
// this test program (the version resource of each, the manifest Windows reads when it starts one,
// what their headers say of the systems they are made for, chanlog.exe started without standard
// output), the log as Windows' other programs meet it, Windows' text line ends, and a standard
// output that Windows says it wrote to when it took nothing.

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/win32/text.h"

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

// The first `most` bytes of a file; "" for none.
std::string FileStart(const std::filesystem::path &path, std::size_t most) {
    std::string data(most, '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(data.data(), static_cast<std::streamsize>(most));
    data.resize(static_cast<std::size_t>(in.gcount()));
    return data;
}

// The header fields that tell Windows which systems the program is for and how much memory it
// may address, as "os 6.1, subsystem 6.1, terminal-server aware, large-address aware" (each
// awareness with "not " before it where it is missing); "(no header)" where none is found.
std::string SystemFields(const std::wstring &program) {
    const std::string data = FileStart(program, 4096); // where the headers are
    IMAGE_DOS_HEADER dos{};
    std::memcpy(&dos, data.data(), std::min(sizeof dos, data.size()));
    IMAGE_NT_HEADERS nt{};
    if (dos.e_lfanew <= 0 || static_cast<std::size_t>(dos.e_lfanew) + sizeof nt > data.size()) {
        return "(no header)";
    }
    std::memcpy(&nt, data.data() + dos.e_lfanew, sizeof nt);
    const IMAGE_OPTIONAL_HEADER &o = nt.OptionalHeader;
    auto version = [](WORD major, WORD minor) {
        return std::to_string(major) + "." + std::to_string(minor);
    };
    return "os " + version(o.MajorOperatingSystemVersion, o.MinorOperatingSystemVersion) +
           ", subsystem " + version(o.MajorSubsystemVersion, o.MinorSubsystemVersion) + ", " +
           ((o.DllCharacteristics & 0x8000U) != 0 ? "" : "not ") + "terminal-server aware, " +
           ((nt.FileHeader.Characteristics & 0x0020U) != 0 ? "" : "not ") + "large-address aware";
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
        // Windows 7, the oldest system the manifest names, in the header too; and all the memory
        // that Windows can give a 32-bit program, 4 GiB on 64-bit Windows instead of 2.
        EXPECT_EQ(SystemFields(program),
                  "os 6.1, subsystem 6.1, terminal-server aware, large-address aware");
    }
}

// A folder of its own in the temporary folder, removed with what is in it at the end of the scope.
struct TempFolder {
    TempFolder() {
        std::filesystem::create_directory(path);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    // Its name is ASCII, as the temporary folder's is.
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("chanlog-test-" + std::to_string(GetCurrentProcessId())))
                                 .string();
};

// Runs `program` in `folder` with no standard output: a null handle, as a process started
// without one gets. Returns its exit status and what it wrote on standard error.
std::pair<DWORD, std::string> RunWithoutStandardOutput(const std::wstring &program,
                                                       const std::string &folder) {
    const std::string errPath = folder + "\\err.txt";
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdError = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + program + L"\"";
    const std::wstring dir(folder.begin(), folder.end());
    DWORD status = ~0UL;
    if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       dir.c_str(), &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
        }
        GetExitCodeProcess(process.hProcess, &status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(startup.hStdError);
    return {status, FileStart(errPath, 4096)};
}

TEST(WindowsPrograms, ChanlogWithoutStandardOutputSaysSoAndEndsWithStatusZero) {
    const TempFolder folder;
    ASSERT_TRUE(std::filesystem::is_directory(folder.path));
    // As on Linux with a closed standard output: said, and nothing connected (no channel fails).
    const auto [status, err] = RunWithoutStandardOutput(ProgramPath(L"chanlog.exe"), folder.path);
    EXPECT_EQ(status, 0UL);
    EXPECT_EQ(err, "Standard output is closed: chanlog connects nowhere\r\n");
}

TEST(PlatformOpenNewLog, AnEarlierLogIsMovedAsideUnlessHeldAndNoOtherFileIsReplaced) {
    const TempFolder folder;
    const std::string path = folder.path + "\\log.txt";
    const std::string aside = path + "-20261209-051502";
    std::ofstream(path, std::ios::binary) << "12: 50;kept\n";
    LogFile file = kNoLogFile;
    char moved[MAX_PATH] = "(none)";
    const char *reason = "(none)";
    auto openNew = [&] {
        return PlatformOpenNewLog(path.c_str(), "-20261209-051502", &file, moved, sizeof moved,
                                  &reason);
    };
    // A reader that lets others read and write but not delete, as a viewer does, with the file
    // mapped into its memory: the log may be written, but not moved aside, and is kept as it is.
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE mapping = CreateFileMappingW(reader, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr) << GetLastError();
    EXPECT_EQ(openNew(), LogOpen::kNotMoved);
    EXPECT_STREQ(reason, "Sharing violation"); // Wine's English for ERROR_SHARING_VIOLATION
    EXPECT_STREQ(moved, "");
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(reader);
    // A writer that shares reading only, as another chanlog: in use, and nothing moved.
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(openNew(), LogOpen::kInUse);
    CloseHandle(writer);
    EXPECT_EQ(FileStart(path, 100), "12: 50;kept\n");
    EXPECT_EQ(FileStart(aside, 100), "");

    // Let go, it is moved aside, past a file that has the name already, and the log begins empty.
    std::ofstream(aside, std::ios::binary) << "another file\n";
    ASSERT_EQ(openNew(), LogOpen::kOpened) << reason;
    EXPECT_EQ(std::string(moved), path + "-20261209-051502.1");
    EXPECT_EQ(FileStart(aside + ".1", 100), "12: 50;kept\n");
    EXPECT_EQ(FileStart(aside, 100), "another file\n");
    EXPECT_EQ(PlatformCloseLog(&file, &reason), 0);
    EXPECT_EQ(FileStart(path, 100), "");
    // An empty log is simply used.
    ASSERT_EQ(openNew(), LogOpen::kOpened) << reason;
    EXPECT_STREQ(moved, "");
    EXPECT_EQ(PlatformCloseLog(&file, &reason), 0);

    // A name that Windows refuses: its reason as Windows words it (Wine's English here), on one
    // line and without its period, not a POSIX text standing in for it.
    EXPECT_EQ(PlatformOpenLog("log?.txt", &file, &reason), LogOpen::kFailed);
    EXPECT_STREQ(reason, "Invalid name");
}

TEST(WindowsText, ALineFeedGetsACrUnlessOneIsBeforeItAndACutWriteCountsWhatIsOutWhole) {
    char text[32];
    const std::string data = "a\nb\r\nc\r";
    EXPECT_EQ(std::string(text, ToText(data.data(), data.size(), false, text)), "a\r\nb\r\nc\r");
    // The CR came in the write before, at the end of a piece or of a line.
    EXPECT_EQ(std::string(text, ToText("\nd\n", 3, true, text)), "\nd\r\n");
    // The first n bytes of "a\r\nb\r\nc\r" hold these bytes of the data whole: a line feed whose
    // CR alone got out does not count.
    const std::size_t whole[] = {0, 1, 1, 2, 3, 4, 5, 6, 7};
    for (DWORD n = 0; n <= 8; ++n) {
        EXPECT_EQ(WholeIn(data.data(), data.size(), false, n), whole[n]) << n;
    }
}

// Standard output, for the scope, a pipe that whoever shares it left non-blocking, with room for
// 4 KiB: Windows says that a write to it is done also when it took nothing.
struct NonBlockingStandardOutput {
    NonBlockingStandardOutput() {
        const std::wstring name =
            L"\\\\.\\pipe\\chanlog-test-" + std::to_wstring(GetCurrentProcessId());
        writer_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT,
                                   1, 4096, 4096, 0, nullptr);
        reader_ = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SetStdHandle(STD_OUTPUT_HANDLE, writer_);
    }
    NonBlockingStandardOutput(const NonBlockingStandardOutput &) = delete;
    NonBlockingStandardOutput &operator=(const NonBlockingStandardOutput &) = delete;
    ~NonBlockingStandardOutput() {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        CloseHandle(writer_);
        CloseHandle(reader_);
    }
    // Once the pipe is nearly full, so that writes take nothing for a while, reads what comes
    // until `size` bytes have come, or for 10 seconds at most.
    std::string ReadWhenFull(std::size_t size) const {
        const ULONGLONG deadline = GetTickCount64() + 10000;
        std::string got;
        bool full = false;
        DWORD waiting = 0;
        while (got.size() < size && GetTickCount64() < deadline &&
               PeekNamedPipe(reader_, nullptr, 0, nullptr, &waiting, nullptr)) {
            full = full || waiting > 3000;
            if (!full || waiting == 0) {
                Sleep(1);
                continue;
            }
            char buffer[4096];
            DWORD now = 0;
            ReadFile(reader_, buffer, std::min<DWORD>(waiting, sizeof buffer), &now, nullptr);
            got.append(buffer, now);
        }
        return got;
    }
    HANDLE saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE writer_ = INVALID_HANDLE_VALUE;
    HANDLE reader_ = INVALID_HANDLE_VALUE;
};

TEST(PlatformConsoleWrite, APipeLeftNonBlockingIsWaitedForAndOneNeverReadFailsForAReasonOfItsOwn) {
    std::string lines;
    std::string text;                // as the pipe is to get them
    for (int i = 0; i < 1000; ++i) { // 12 KB, three times the pipe's room
        lines += "50;line " + std::to_string(i) + "\n";
        text += "50;line " + std::to_string(i) + "\r\n";
    }
    std::size_t written = 0;
    const char *reason = "(none)";
    {
        // Read once it is full, it gets every line.
        const NonBlockingStandardOutput out;
        std::string got;
        std::thread reader([&] { got = out.ReadWhenFull(text.size()); });
        EXPECT_EQ(PlatformConsoleWrite(Stream::kOut, lines.data(), lines.size(), &written, &reason),
                  ConsoleWrite::kDone)
            << reason;
        reader.join();
        EXPECT_EQ(written, lines.size());
        EXPECT_EQ(got, text);
    }
    // Never read, it fails at last, and says so in words of its own: not a reader gone, as the
    // error that a call before left would say.
    const NonBlockingStandardOutput out;
    SetLastError(ERROR_BROKEN_PIPE);
    EXPECT_EQ(PlatformConsoleWrite(Stream::kOut, lines.data(), lines.size(), &written, &reason),
              ConsoleWrite::kFailed);
    EXPECT_STREQ(reason, "Windows took none of the bytes, though it said the write was done");
    EXPECT_GT(written, 0U);
    EXPECT_LT(written, lines.size());
}

} // namespace
