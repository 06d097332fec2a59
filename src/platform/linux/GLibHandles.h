#pragma once

#include <gio/gio.h>
#include <glib.h>

#include <memory>

namespace lullswitch::linux_backend {

// Owning pointers for GLib's C handles: each is released exactly once, by its
// own release function.
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct GVariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
struct GKeyFileFree {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
struct GSourceDestroy {
    // Destroying detaches it from its context: no dispatch after this returns.
    void operator()(GSource* source) const
    {
        g_source_destroy(source);
        g_source_unref(source);
    }
};

template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
template <typename T> using GMallocPtr = std::unique_ptr<T, GFree>;
using GKeyFilePtr = std::unique_ptr<GKeyFile, GKeyFileFree>;
using GSourcePtr = std::unique_ptr<GSource, GSourceDestroy>;

// Owns a new GVariant, sinking a floating one. A reference already owned (a
// D-Bus reply) goes into GVariantPtr directly.
inline GVariantPtr takeVariant(GVariant* variant)
{
    return GVariantPtr(variant ? g_variant_ref_sink(variant) : nullptr);
}

} // namespace lullswitch::linux_backend
