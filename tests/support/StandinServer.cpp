#include "support/StandinServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
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

// The port from the child's first line ("listening on 127.0.0.1:PORT"), or 0.
int readPort(int fd) {
    FILE* out = ::fdopen(fd, "r");
    char line[128] = "";
    const bool read = out && std::fgets(line, sizeof line, out);
    if (out) std::fclose(out); else ::close(fd);
    int port = 0;
    return read && std::sscanf(line, "listening on 127.0.0.1:%d", &port) == 1 ? port : 0;
}

}  // namespace

StandinServer::StandinServer(int apiVersion) {
    std::vector<std::string> arguments{program(), "--port", "0", "--bind", "127.0.0.1", "--api-version",
                                       std::to_string(apiVersion)};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("no pipe for the stand-in server");
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {  // only async-signal-safe calls until exec
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    port_ = readPort(out[0]);  // nothing when the child is gone
    if (port_ <= 0) {
        stop();
        throw std::runtime_error("the stand-in server " + arguments[0] + " did not start listening");
    }
}

StandinServer::~StandinServer() { stop(); }

void StandinServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

nlohmann::json StandinServer::admin(const std::string& method, const std::string& path, const json& body) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(5);
    client.set_read_timeout(10);
    const std::string target = "/admin/" + path;
    auto result = method == "GET" ? client.Get(target) : client.Post(target, body.dump(), "application/json");
    if (!result || result->status != 200)
        throw std::runtime_error("the stand-in server refused " + target + (result ? ": " + result->body : ""));
    return json::parse(result->body);
}

StandinServer::IssuedUser StandinServer::issueUser(const json& options) {
    auto issued = admin("POST", "users", options);
    return {issued.at("system_id"), issued.at("user_id"), issued.at("flags"), issued.at("qr"),
            issued.at("activation_code"), issued.at("k_hmac"), issued.at("k_auth")};
}

}  // namespace svsdk::testing
