#pragma once
// The floor of the benchmarks that send requests: the bytes of one built
// request posted again and again with a bare libcurl easy handle that keeps
// its connection, synchronously on the calling thread.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>

#include <cstddef>
#include <utility>

#include "Core/Networking/HTTPSession.h"

namespace svsdk::bench {

class BareCurl {
public:
    explicit BareCurl(svsdk::URLRequest built) : built_(std::move(built)) {
        easy_ = curl_easy_init();
        for (const auto& [name, value] : built_.headers.fields())
            headers_ = curl_slist_append(headers_, (name + ": " + value).c_str());
        headers_ = curl_slist_append(headers_, "Expect:");
        curl_easy_setopt(easy_, CURLOPT_URL, built_.url.c_str());
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(built_.httpBody->size()));
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(built_.httpBody->data()));
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &discard);
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        post();  // opens the connection
    }
    ~BareCurl() {
        curl_easy_cleanup(easy_);
        curl_slist_free_all(headers_);
    }
    BareCurl(const BareCurl&) = delete;
    BareCurl& operator=(const BareCurl&) = delete;

    // True when the server answered with status 200.
    bool post() {
        long status = 0;
        return curl_easy_perform(easy_) == CURLE_OK &&
               curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    }

private:
    static std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

    svsdk::URLRequest built_;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
};

}  // namespace svsdk::bench
