#include "harness/io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace {

bool IsFile(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

} // namespace

std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int MsUntil(std::int64_t deadlineNs) {
    const std::int64_t left = (deadlineNs - NowNs()) / 1000000;
    return left > 0 ? static_cast<int>(left) : 0;
}

void CloseFd(int *fd) {
    if (*fd != -1) {
        close(*fd);
        *fd = -1;
    }
}

bool Readable(int fd, std::int64_t deadlineNs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, MsUntil(deadlineNs)) > 0;
}

std::string ReadUntilSeen(int fd, const std::string &text, int timeoutMs, std::string sofar) {
    const std::int64_t deadline = NowNs() + std::int64_t{timeoutMs} * 1000000;
    char buffer[4096];
    while (sofar.find(text) == std::string::npos && Readable(fd, deadline)) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0 && IsFile(fd) && MsUntil(deadline) > 0) {
            usleep(2000); // the file may still grow
            continue;
        }
        if (n <= 0) {
            break;
        }
        sofar.append(buffer, static_cast<std::size_t>(n));
    }
    return sofar;
}

std::string ReadToEnd(int fd, int timeoutMs) {
    const std::int64_t deadline = NowNs() + std::int64_t{timeoutMs} * 1000000;
    std::string all;
    char buffer[4096];
    while (Readable(fd, deadline)) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

std::string MakeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "chanlog-XXXXXX").string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

void RemoveDir(const std::string &dir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string ReadWholeFile(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return {};
    }
    std::string content = ReadToEnd(fd, 0);
    close(fd);
    return content;
}

void WriteWholeFile(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}
