// The log as Windows' other programs meet it: a reader that has mapped it into memory keeps it
// from being emptied, and a failure that only Windows names is said in its words.

#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

std::string Contents(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    char buffer[256];
    DWORD got = 0;
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
        got = 0;
    }
    CloseHandle(file);
    return {buffer, got};
}

// A file of its own in the temporary folder, holding `text`; removed at the end of the scope.
class TempFile {
  public:
    explicit TempFile(const std::string &text) {
        char folder[MAX_PATH];
        char name[MAX_PATH];
        if (GetTempPathA(sizeof folder, folder) > 0 &&
            GetTempFileNameA(folder, "log", 0, name) != 0) {
            path_ = name;
        }
        HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        DeleteFileA(path_.c_str());
    }
    const std::string &path() const {
        return path_;
    }

  private:
    std::string path_;
};

TEST(PlatformOpenLog, AMappedLogIsInUseAndKeptAndWhatOnlyWindowsNamesIsSaidInItsWords) {
    const TempFile log("12: 50;kept\n");
    ASSERT_EQ(Contents(log.path()), "12: 50;kept\n");
    // A reader that lets others read and write, as a viewer does, with the file mapped into its
    // memory: Windows lets the log be opened for writing, but not emptied.
    HANDLE reader =
        CreateFileA(log.path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE mapping = CreateFileMappingA(reader, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr) << GetLastError();
    LogFile file = kNoLogFile;
    const char *reason = "(none)";
    EXPECT_EQ(PlatformOpenLog(log.path().c_str(), &file, &reason), LogOpen::kInUse) << reason;
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(reader);
    EXPECT_EQ(Contents(log.path()), "12: 50;kept\n");

    // Let go, it is the log's again.
    ASSERT_EQ(PlatformOpenLog(log.path().c_str(), &file, &reason), LogOpen::kOpened) << reason;
    EXPECT_EQ(PlatformCloseLog(&file, &reason), 0);
    EXPECT_EQ(Contents(log.path()), "");

    // A name that Windows refuses: its reason as Windows words it (Wine's English here), on one
    // line and without its period, not a POSIX text standing in for it.
    EXPECT_EQ(PlatformOpenLog("log?.txt", &file, &reason), LogOpen::kFailed);
    EXPECT_STREQ(reason, "Invalid name");
}

} // namespace
