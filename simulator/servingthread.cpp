#include "simulator/servingthread.h"

#include <pthread.h>

namespace velmorsim::usbbus {

ServingThread::ServingThread()
    : context_(g_main_context_new()), loop_(g_main_loop_new(context_.get(), FALSE)), thread_([this] { run(); })
{
}

// Quitting a loop that has not started running yet would be lost, so the
// quit goes through the context: it runs once the loop does.
ServingThread::~ServingThread()
{
    g_main_context_invoke(
        context_.get(),
        [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        loop_.get());
    thread_.join();
}

// Named so that profiles and debuggers tell the simulated devices' share of
// the work from the host's.
void ServingThread::run()
{
    pthread_setname_np(pthread_self(), "usbfs-device");
    g_main_context_push_thread_default(context_.get());
    g_main_loop_run(loop_.get());
    g_main_context_pop_thread_default(context_.get());
}

} // namespace velmorsim::usbbus
