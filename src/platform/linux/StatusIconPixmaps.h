#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace lullswitch::linux_backend {

// One square drawing of a status title: width·height pixels of ARGB32 in
// network byte order (A, R, G, B), as StatusNotifierItem hosts expect.
struct IconPixmap {
    int width;
    int height;
    const std::uint8_t* argb;
    std::size_t size;
};

// The title's glyph drawn at every tray size, rendered from a CJK font when
// the agent is built so that no font is loaded at run time. Empty for a title
// that was not drawn.
std::span<const IconPixmap> statusIconPixmaps(std::string_view title);

} // namespace lullswitch::linux_backend
