#pragma once
// A future's result, or a test failure when it does not settle in time.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include <svsdk/SVResult.h>

#include "Core/Concurrency/Future.h"

namespace svsdk::testing {

template <class T>
SVResult<T> await(const Future<T>& future, double timeout = 20.0) {
    auto settled = std::make_shared<std::promise<SVResult<T>>>();
    auto result = settled->get_future();
    future.observe([settled](const SVResult<T>& r) { settled->set_value(r); });
    if (result.wait_for(std::chrono::duration<double>(timeout)) == std::future_status::ready) return result.get();
    ADD_FAILURE() << "the future did not settle within " << timeout << " s";
    return SVResult<T>(SVError::internalError());
}

}  // namespace svsdk::testing
