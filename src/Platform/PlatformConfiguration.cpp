#include "Platform/PlatformConfiguration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include <openssl/evp.h>

#include <svsdk/SVError.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Utilities/UUID.h"

namespace svsdk {
namespace platform {
namespace {

struct State {
    std::mutex lock;
    std::shared_ptr<const SVPlatformConfiguration> configuration = std::make_shared<SVPlatformConfiguration>();
};

State& state() {
    static State* s = new State;  // never destroyed: log calls may come during exit
    return *s;
}

// Without a data home or a home folder there is no private place to default
// to (a folder in /tmp could be made first by another user): the host has to
// configure one.
std::string defaultDataDirectory() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') return std::string(xdg) + "/svsdk";
    if (const char* home = std::getenv("HOME"); home && *home == '/') return std::string(home) + "/.local/share/svsdk";
    throw SVPlatformError("posix", ENOENT, "no data folder: neither XDG_DATA_HOME nor HOME is set");
}

// Others who may write to the data folder could replace the store files in
// it. Such a folder is made private when it is this user's own, and refused
// otherwise.
void requirePrivateDirectory(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throw SVPlatformError("posix", errno, "cannot read " + path + ": " + std::strerror(errno));
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0) return;
    if (info.st_uid != ::geteuid())
        throw SVPlatformError("posix", EPERM,
                              path + " may be written by other users and is not owned by this user: refused as the "
                                     "data folder");
    if (::chmod(path.c_str(), 0700) != 0)
        throw SVPlatformError("posix", errno, "cannot make " + path + " private: " + std::strerror(errno));
}

}  // namespace

std::shared_ptr<const SVPlatformConfiguration> current() {
    std::lock_guard guard(state().lock);
    return state().configuration;
}

void makeDirectory(const std::string& path) {
    if (path.empty()) throw SVPlatformError("posix", ENOENT, "empty directory path");
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return;
        throw SVPlatformError("posix", ENOTDIR, path + " is not a directory");
    }
    auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) makeDirectory(path.substr(0, slash));
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw SVPlatformError("posix", errno, "cannot create " + path + ": " + std::strerror(errno));
}

std::string dataDirectory() {
    auto config = current();
    std::string dir = config->dataDirectory.empty() ? defaultDataDirectory() : config->dataDirectory;
    makeDirectory(dir);
    requirePrivateDirectory(dir);
    return dir;
}

std::string keychainPath() {
    auto config = current();
    if (!config->keychainPath.empty()) return config->keychainPath;
    return dataDirectory() + "/keychain.sqlite";
}

std::string defaultsPath() {
    auto config = current();
    if (!config->defaultsPath.empty()) return config->defaultsPath;
    return dataDirectory() + "/defaults.json";
}

std::optional<std::string> vendorIdentifier() {
    auto config = current();
    if (config->vendorIdentifier) return config->vendorIdentifier;
    std::ifstream file(config->machineIdPath);
    if (!file) return std::nullopt;
    std::string machineId;
    std::getline(file, machineId);
    if (machineId.empty()) return std::nullopt;
    // Keyed by the application, so two applications on one machine see
    // different identifiers and neither learns the machine identifier.
    static const unsigned char none = 0;  // a key pointer is always given, also for an empty key
    const std::string& key = config->mainBundleIdentifier;
    const void* keyBytes = key.empty() ? static_cast<const void*>(&none) : key.data();
    unsigned char mac[EVP_MAX_MD_SIZE];
    std::size_t macLength = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, keyBytes, key.size(),
                   reinterpret_cast<const unsigned char*>(machineId.data()), machineId.size(), mac, sizeof mac,
                   &macLength) ||
        macLength != 32)
        return std::nullopt;
    std::array<std::uint8_t, 16> b{};
    std::memcpy(b.data(), mac, b.size());
    return uuidString(b);
}

}  // namespace platform

void SVPlatform::configure(SVPlatformConfiguration configuration) {
    auto next = std::make_shared<const SVPlatformConfiguration>(std::move(configuration));
    std::lock_guard guard(platform::state().lock);
    Logger::setSink(next->logSink);  // under the lock: the last configuration's sink wins
    platform::state().configuration = std::move(next);
}

SVPlatformConfiguration SVPlatform::configuration() { return *platform::current(); }

}  // namespace svsdk
