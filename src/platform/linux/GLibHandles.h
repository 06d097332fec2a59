#pragma once

#include <gio/gio.h>
#include <glib.h>

#include "platform/common/UniqueCPtr.h"

#include <string>
#include <string_view>

namespace lullswitch::linux_backend {

// Destroying detaches it from its context: no dispatch after this returns.
inline void destroySource(GSource* source)
{
    g_source_destroy(source);
    g_source_unref(source);
}

// Owning pointers for GLib's C handles.
template <typename T> using GObjectPtr = platform::UniqueCPtr<T, g_object_unref>;
using GVariantPtr = platform::UniqueCPtr<GVariant, g_variant_unref>;
using GErrorPtr = platform::UniqueCPtr<GError, g_error_free>;
template <typename T> using GMallocPtr = platform::UniqueCPtr<T, g_free>;
using GKeyFilePtr = platform::UniqueCPtr<GKeyFile, g_key_file_free>;
using GSourcePtr = platform::UniqueCPtr<GSource, destroySource>;
using GMainLoopPtr = platform::UniqueCPtr<GMainLoop, g_main_loop_unref>;
using GDBusNodeInfoPtr = platform::UniqueCPtr<GDBusNodeInfo, g_dbus_node_info_unref>;

// Owns a new GVariant, sinking a floating one. A reference already owned (a
// D-Bus reply) goes into GVariantPtr directly.
inline GVariantPtr takeVariant(GVariant* variant)
{
    return GVariantPtr(variant ? g_variant_ref_sink(variant) : nullptr);
}

// Hands a C call its `GError**` and owns whatever the call set, once the
// full expression has run: `call(…, ErrorOut(error))`.
class ErrorOut {
public:
    explicit ErrorOut(GErrorPtr& owner) : owner_(owner) { }
    ErrorOut(const ErrorOut&) = delete;
    ErrorOut& operator=(const ErrorOut&) = delete;
    ~ErrorOut() { owner_.reset(raw_); }
    operator GError**() { return &raw_; }

private:
    GErrorPtr& owner_;
    GError* raw_ = nullptr;
};

// Text made safe for Pango markup, which dialogs and some hosts parse.
inline std::string escapeMarkup(std::string_view text)
{
    GMallocPtr<gchar> escaped(g_markup_escape_text(text.data(), static_cast<gssize>(text.size())));
    return escaped.get();
}

} // namespace lullswitch::linux_backend
