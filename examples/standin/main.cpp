// The stand-in signing server: a loopback HTTP server that issues users,
// holds transactions and checks what clients send, for the tests and the
// demo.
//
//   svsdk_standin_server [--port N] [--bind 127.0.0.1] [--api-version 3|2|1]
//
// Prints "listening on 127.0.0.1:PORT" once it accepts connections; stops on
// SIGTERM or SIGINT.
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include <httplib.h>

#include "Service.h"

namespace {

int usage(const std::string& problem) {
    std::cerr << "svsdk_standin_server: " << problem << "\n"
              << "usage: svsdk_standin_server [--port N] [--bind 127.0.0.1] [--api-version 3|2|1]\n";
    return 2;
}

bool parseInt(const std::string& text, int low, int high, int& out) {
    try {
        std::size_t used = 0;
        int value = std::stoi(text, &used);
        if (used != text.size() || value < low || value > high) return false;
        out = value;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0, apiVersion = 3;
    std::string bind = "127.0.0.1";
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) return usage("missing value for " + option);
        std::string value = argv[++i];
        if (option == "--port") {
            if (!parseInt(value, 0, 65535, port)) return usage("bad port " + value);
        } else if (option == "--bind") {
            if (value != "127.0.0.1") return usage("binds 127.0.0.1 only");
            bind = value;
        } else if (option == "--api-version") {
            if (!parseInt(value, 1, 3, apiVersion)) return usage("api version is 1, 2 or 3");
        } else {
            return usage("unknown option " + option);
        }
    }

    // Stop signals are taken by one thread with sigwait; every other thread
    // inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    standin::Service service(apiVersion);
    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    server.set_keep_alive_timeout(30);
    server.set_tcp_nodelay(true);
    server.set_payload_max_length(16 * 1024 * 1024);

    auto handle = [&service](const httplib::Request& request, httplib::Response& response) {
        standin::Headers headers;
        for (const auto& [name, value] : request.headers) {
            std::string lower = name;
            for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            headers.emplace(lower, value);
        }
        standin::Reply reply = service.handle(request.method, request.target, headers, request.body);
        response.status = reply.status;
        response.set_content(reply.body, reply.contentType);
    };
    const std::string any = "[\\s\\S]*";
    server.Get(any, handle);
    server.Post(any, handle);
    server.Patch(any, handle);
    server.Put(any, handle);
    server.Delete(any, handle);

    if (port == 0) {
        port = server.bind_to_any_port(bind);
    } else if (!server.bind_to_port(bind, port)) {
        port = -1;
    }
    if (port <= 0) {
        std::cerr << "svsdk_standin_server: could not bind " << bind << "\n";
        return 1;
    }
    service.setBaseURL("http://" + bind + ":" + std::to_string(port));

    // The server keeps nothing, so a stop signal ends the process at once
    // rather than waiting for idle kept-alive connections to time out.
    std::thread stopper([stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        std::_Exit(0);
    });
    stopper.detach();
    std::cout << "listening on " << bind << ":" << port << std::endl;
    server.listen_after_bind();
    return 1;
}
