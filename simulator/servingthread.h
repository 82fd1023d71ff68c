#pragma once

#include <glib.h>

#include <memory>
#include <thread>

namespace velmorsim::usbbus {

// A thread of its own that runs a private GLib main context until
// destruction, so that one simulated device can serve its requests without
// waiting for the others, as devices on a real bus do not. Sources attached
// to context() run on this thread, where the context is also the thread
// default.
class ServingThread {
public:
    ServingThread();
    // Sources still attached are dropped unrun, their destroy notifications
    // called.
    ~ServingThread();

    ServingThread(const ServingThread&) = delete;
    ServingThread& operator=(const ServingThread&) = delete;

    GMainContext* context() const { return context_.get(); }

private:
    struct ContextUnref {
        void operator()(GMainContext* context) const { g_main_context_unref(context); }
    };
    struct LoopUnref {
        void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
    };

    void run();

    const std::unique_ptr<GMainContext, ContextUnref> context_;
    const std::unique_ptr<GMainLoop, LoopUnref> loop_;
    std::thread thread_;
};

} // namespace velmorsim::usbbus
