#include "support/StandinServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include <httplib.h>

namespace svsdk::testing {
namespace {

std::string program() {
    if (const char* path = std::getenv("SVSDK_STANDIN_SERVER"); path && *path) return path;
#ifdef SVSDK_STANDIN_SERVER_PATH
    return SVSDK_STANDIN_SERVER_PATH;
#else
    throw std::runtime_error("set SVSDK_STANDIN_SERVER to the stand-in server program");
#endif
}

// Reads the child's first line ("listening on 127.0.0.1:PORT") within the
// deadline; the port, or 0.
int readPort(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string line;
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return 0;
        pollfd ready{fd, POLLIN, 0};
        int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return 0;
        char buffer[256];
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return 0;
        line.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) return 0;
    return std::atoi(line.c_str() + prefix.size());
}

}  // namespace

StandinServer::StandinServer(int apiVersion) : apiVersion_(apiVersion) {
    const std::string path = program();
    const std::string version = std::to_string(apiVersion);
    std::vector<std::string> arguments{path, "--port", "0", "--bind", "127.0.0.1", "--api-version", version};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("no pipe for the stand-in server");
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("could not start the stand-in server");
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    port_ = readPort(out[0], std::chrono::steady_clock::now() + std::chrono::seconds(10));
    ::close(out[0]);
    if (port_ <= 0) {
        stop();
        throw std::runtime_error("the stand-in server " + path + " did not start listening");
    }
}

StandinServer::~StandinServer() { stop(); }

void StandinServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

std::string StandinServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

nlohmann::json StandinServer::admin(const std::string& method, const std::string& path,
                                    const nlohmann::json& body) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(5);
    client.set_read_timeout(10);
    const std::string target = "/admin/" + path;
    auto result =
        method == "GET" ? client.Get(target.c_str()) : client.Post(target.c_str(), body.dump(), "application/json");
    if (!result) throw std::runtime_error("the stand-in server did not answer " + target);
    if (result->status != 200)
        throw std::runtime_error("the stand-in server refused " + target + ": " + std::to_string(result->status) + " " +
                                 result->body);
    return nlohmann::json::parse(result->body);
}

StandinServer::IssuedUser StandinServer::issueUser(const nlohmann::json& options) {
    auto issued = admin("POST", "users", options);
    IssuedUser user;
    user.systemID = issued.at("system_id").get<std::string>();
    user.userID = issued.at("user_id").get<std::string>();
    user.flags = issued.at("flags").get<std::int64_t>();
    user.qr = issued.at("qr").get<std::string>();
    user.activationCode = issued.at("activation_code").get<std::string>();
    user.userJSON = issued.at("user_json").get<std::string>();
    user.kHMAC = issued.at("k_hmac").get<std::string>();
    user.kAuth = issued.at("k_auth").get<std::string>();
    return user;
}

std::string StandinServer::addTransaction(const nlohmann::json& options) {
    return admin("POST", "transactions", options).at("transaction_id").get<std::string>();
}

nlohmann::json StandinServer::addLogin(const nlohmann::json& options) { return admin("POST", "logins", options); }

void StandinServer::setScoringSettings(const nlohmann::json& settings) { admin("POST", "scoring", settings); }

nlohmann::json StandinServer::userState(const std::string& systemID, const std::string& userID) const {
    return admin("GET", "users/" + systemID + "/" + userID);
}

nlohmann::json StandinServer::transactionState(const std::string& transactionID) const {
    return admin("GET", "transactions/" + transactionID);
}

nlohmann::json StandinServer::requests() const { return admin("GET", "requests"); }

}  // namespace svsdk::testing
