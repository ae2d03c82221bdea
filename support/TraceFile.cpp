#include "support/TraceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

int refuse(int fd, std::string& why, std::string reason) {
    close(fd);
    why = std::move(reason);
    errno = EPERM;
    return -1;
}

}  // namespace

int openTraceFile(const std::string& path, mode_t mode, std::string& why) {
    why.clear();
    // Opening a device can do something by itself (a tape rewinds): what is
    // plainly no regular file is refused unopened. The checks that count come
    // after the open, on what was really opened.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        why = S_ISLNK(st.st_mode) ? "it is a symbolic link" : "it is not a regular file";
        errno = EPERM;
        return -1;
    }
    // O_NONBLOCK: a FIFO planted under the name must not hold the open up.
    // O_NOCTTY: nor may a terminal become the process's controlling one.
    const int fd =
        open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        if (errno == ELOOP) {
            why = "it is a symbolic link";
        }
        return -1;
    }
    if (fstat(fd, &st) != 0) {
        return refuse(fd, why, std::string("cannot look at it: ") + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        return refuse(fd, why, "it is not a regular file");
    }
    if (st.st_uid != geteuid()) {
        return refuse(fd, why,
                      "it belongs to user " + std::to_string(st.st_uid) + ", not to this process's user " +
                          std::to_string(geteuid()));
    }
    if (st.st_nlink != 1) {
        return refuse(fd, why, "it has " + std::to_string(st.st_nlink) + " hard links");
    }
    if ((st.st_mode & 07777 & ~mode) != 0 && fchmod(fd, st.st_mode & mode) != 0) {
        return refuse(fd, why, std::string("cannot narrow its permissions: ") + std::strerror(errno));
    }
    if (ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        return refuse(fd, why, std::strerror(errno));
    }
    return fd;
}
