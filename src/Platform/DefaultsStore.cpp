#include "Platform/DefaultsStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <utility>

#include <svsdk/SVError.h>

#include "Core/Utilities/JSON.h"
#include "Platform/PlatformConfiguration.h"

namespace svsdk {
namespace {

std::mutex& writeLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
    throw SVPlatformError("posix", error, what + " " + path + ": " + std::strerror(error));
}

// A file descriptor closed on every path.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The stored object; empty when the file is missing, unreadable or corrupt.
nlohmann::json readObject(const std::string& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return nlohmann::json::object();
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return nlohmann::json::object();
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    try {
        auto object = parseExternalJSON(text);
        if (object.is_object()) return object;
    } catch (const SVPlatformError&) {
    }
    return nlohmann::json::object();
}

void writeAll(int fd, const std::string& text, const std::string& path) {
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("cannot write", path, errno);
        written += static_cast<std::size_t>(n);
    }
}

// Replaces the file at `path` with `object`, atomically and durably.
void writeObject(const std::string& path, const nlohmann::json& object) {
    std::string folder = folderOf(path);
    std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string temporary = path + ".XXXXXX";
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));  // created 0600
    if (fd.get() < 0) fail("cannot create", temporary, errno);
    try {
        if (::fchmod(fd.get(), 0600) != 0) fail("cannot protect", temporary, errno);
        writeAll(fd.get(), text, temporary);
        if (::fsync(fd.get()) != 0) fail("cannot flush", temporary, errno);
        if (::close(fd.release()) != 0) fail("cannot close", temporary, errno);
        if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot replace", path, errno);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot flush a folder (EINVAL); the rename stands.
    if (dir.get() < 0 || (::fsync(dir.get()) != 0 && errno != EINVAL)) fail("cannot flush", folder, errno);
}

// Runs a read-modify-write of the store under the process's lock and an
// exclusive lock of the store's lock file (other processes of the same host
// application share the file).
void modify(const std::function<bool(nlohmann::json&)>& change) {
    std::string path = platform::defaultsPath();
    std::lock_guard guard(writeLock());
    platform::makeDirectory(folderOf(path));
    std::string lockPath = path + ".lock";
    FileDescriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.get() < 0) fail("cannot open", lockPath, errno);
    while (::flock(lock.get(), LOCK_EX) != 0)
        if (errno != EINTR) fail("cannot lock", lockPath, errno);
    nlohmann::json object = readObject(path);
    if (change(object)) writeObject(path, object);
}

}  // namespace

std::optional<nlohmann::json> DefaultsStore::value(const std::string& key) {
    try {
        nlohmann::json object = readObject(platform::defaultsPath());
        auto it = object.find(key);
        if (it == object.end()) return std::nullopt;
        return std::move(*it);
    } catch (const std::exception&) {  // e.g. the data folder cannot be made
        return std::nullopt;
    }
}

void DefaultsStore::setValue(const std::string& key, const nlohmann::json& value) {
    modify([&](nlohmann::json& object) {
        object[key] = value;
        return true;
    });
}

void DefaultsStore::removeValue(const std::string& key) {
    modify([&](nlohmann::json& object) { return object.erase(key) > 0; });
}

}  // namespace svsdk
