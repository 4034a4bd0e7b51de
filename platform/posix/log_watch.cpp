// The watch on the log's name: inotify tells when the file may have been moved, removed or
// replaced, so that a line need not look at the name each time.

#include "platform/platform.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int logWatch = -1;      // the inotify watch on the log, or -1
int folderWatch = -1;   // the inotify watch on the log's folder, for its name, or -1
char logName[256] = ""; // the log's name in its folder

// One inotify instance for the log's watch, made when it is first needed.
int Inotify() {
    static const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    return fd;
}

} // namespace

int PlatformWatchLog(const char *path) {
    if (Inotify() == -1) {
        return -1;
    }
    // The file: IN_ATTRIB, since its link count falls when it is removed, or replaced by a rename
    // over it; a write is no attribute change, so the log's own lines raise nothing. IN_MOVE_SELF:
    // where the log's name is a link, the file it points to may be moved under another name, which
    // no event of the log's name shows.
    const int file = inotify_add_watch(Inotify(), path, IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
    // Its folder, for the name: a link that comes to point elsewhere changes no file.
    const char *slash = std::strrchr(path, '/');
    const std::string folder = slash == nullptr ? "." : std::string(path, slash);
    const int names =
        inotify_add_watch(Inotify(), folder.empty() ? "/" : folder.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
    if (file == -1 || names == -1) {
        return -1;
    }
    if (logWatch != -1 && logWatch != file && logWatch != names) {
        inotify_rm_watch(Inotify(), logWatch);
    }
    logWatch = file;
    folderWatch = names;
    std::snprintf(logName, sizeof logName, "%s", slash == nullptr ? path : slash + 1);
    return 0;
}

bool PlatformLogMayHaveMoved() {
    // The kernel queues an event as the file is moved or removed, so a line after that sees it.
    alignas(inotify_event) char events[4096];
    bool moved = false;
    ssize_t length = 0;
    while ((length = read(Inotify(), events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at);
            // Of the folder's names, only the log's own matters; a watch given up (the file
            // before the log's last move) says nothing of the file written now.
            const bool name = event->wd == folderWatch;
            moved = moved || (!name && (event->mask & IN_IGNORED) == 0) ||
                    (name && event->len > 0 && std::strcmp(event->name, logName) == 0);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return moved;
}
