#pragma once
// Store files are made private before a database library opens them: SQLite
// gives its -wal and -shm files the mode of the database file.
#include <sys/stat.h>

#include <string>

namespace svsdk::platform {

// Creates `path` as an empty file with mode 0600 when it is missing, and sets
// a file found with any other mode back to 0600. With `refuseLinks`, a
// symbolic link at the path is refused. Gives the file's status; throws
// SVPlatformError (domain "posix") when the file cannot be made, is not a
// regular file, or cannot be made private.
struct stat makePrivateFile(const std::string& path, bool refuseLinks);

}  // namespace svsdk::platform
