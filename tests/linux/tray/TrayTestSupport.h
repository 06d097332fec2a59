#pragma once

#include "TestTrayHost.h"

#include <chrono>
#include <future>
#include <glib.h>

namespace lullswitch::tray_test {

// Runs a blocking host call on another thread while this thread iterates the
// default main context, where the in-process item answers it.
template <typename F> auto pump(F&& call) -> decltype(call())
{
    auto result = std::async(std::launch::async, std::forward<F>(call));
    while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        while (g_main_context_iteration(nullptr, FALSE)) { }
        result.wait_for(std::chrono::milliseconds(1));
    }
    return result.get();
}

} // namespace lullswitch::tray_test
