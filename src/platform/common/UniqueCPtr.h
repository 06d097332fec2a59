#pragma once

#include <memory>

namespace lullswitch::platform {

// Releases a C library's handle with that library's own release function.
template <auto Release> struct CDeleter {
    template <typename T> void operator()(T* handle) const { Release(handle); }
};

// Owns one reference to a C handle, given back exactly once.
template <typename T, auto Release> using UniqueCPtr = std::unique_ptr<T, CDeleter<Release>>;

} // namespace lullswitch::platform
