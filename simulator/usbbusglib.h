#pragma once

// Ownership of the GLib objects and memory the virtual USB bus handles.

#include <glib-object.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace velmorsim::usbbus {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes over a reference the caller already owns ("transfer full").
template <typename T>
GObjectPtr<T> adoptObject(T* object)
{
    return GObjectPtr<T>(object);
}

template <typename T>
GObjectPtr<T> shareObject(T* object)
{
    return GObjectPtr<T>(static_cast<T*>(g_object_ref(object)));
}

struct GSourceUnref {
    void operator()(GSource* source) const { g_source_unref(source); }
};

using GSourcePtr = std::unique_ptr<GSource, GSourceUnref>;

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};

using GCharPtr = std::unique_ptr<gchar, GFree>;

// Receives the GError of one call and turns it into an exception.
class GErrorSlot {
public:
    GErrorSlot() = default;
    GErrorSlot(const GErrorSlot&) = delete;
    GErrorSlot& operator=(const GErrorSlot&) = delete;
    ~GErrorSlot()
    {
        if (error_ != nullptr) {
            g_error_free(error_);
        }
    }

    GError** out() { return &error_; }

    [[noreturn]] void raise(const std::string& what) const
    {
        throw std::runtime_error(what + ": " + (error_ != nullptr ? error_->message : "unknown error"));
    }

private:
    GError* error_ = nullptr;
};

} // namespace velmorsim::usbbus
