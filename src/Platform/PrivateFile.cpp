#include "Platform/PrivateFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <svsdk/SVError.h>

namespace svsdk::platform {

struct stat makePrivateFile(const std::string& path, bool refuseLinks) {
    int flags = O_RDWR | O_CREAT | O_CLOEXEC | (refuseLinks ? O_NOFOLLOW : 0);
    int fd = ::open(path.c_str(), flags, 0600);
    struct stat info {};
    int error = 0;
    if (fd < 0 || ::fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = EINVAL;
    else if ((info.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0)
        error = errno;
    if (fd >= 0) ::close(fd);
    if (error != 0) throw SVPlatformError("posix", error, "Cannot open " + path + ": " + std::strerror(error));
    return info;
}

}  // namespace svsdk::platform
