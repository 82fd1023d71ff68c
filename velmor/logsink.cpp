#include "logsink.h"

#include <atomic>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

namespace velmor_detail {

namespace {

std::mutex gHandlerMutex;
LogLineHandler gHandler = nullptr;
void* gHandlerUser = nullptr;
std::atomic<bool> gHandlerInstalled{false};

// Collects what one thread writes to one of the library's streams and hands
// each line to the sink when its line end arrives.
class LineBuffer : public std::streambuf {
public:
    explicit LineBuffer(int stream) : mStream(stream) {}
    ~LineBuffer() override
    {
        if (!mPending.empty()) {
            LogSink::emit(mStream, mPending);
        }
    }

protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        append(traits_type::to_char_type(c));
        return c;
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override
    {
        for (std::streamsize i = 0; i < count; ++i) {
            append(text[i]);
        }
        return count;
    }

private:
    void append(char c)
    {
        if (c != '\n') {
            mPending.push_back(c);
            return;
        }
        LogSink::emit(mStream, mPending);
        mPending.clear();
    }

    int mStream;
    std::string mPending;
};

struct ThreadLineStream {
    explicit ThreadLineStream(int stream, const std::ostream& like) : buffer(stream), stream(&buffer)
    {
        this->stream.imbue(like.getloc());
    }
    LineBuffer buffer;
    std::ostream stream;
};

} // namespace

std::ostream& LogSink::out()
{
    if (!gHandlerInstalled.load(std::memory_order_acquire)) {
        return std::cout;
    }
    thread_local ThreadLineStream lines(PROGRESS_LINE, std::cout);
    return lines.stream;
}

std::ostream& LogSink::err()
{
    if (!gHandlerInstalled.load(std::memory_order_acquire)) {
        return std::cerr;
    }
    thread_local ThreadLineStream lines(ERROR_LINE, std::cerr);
    return lines.stream;
}

void LogSink::setHandler(LogLineHandler handler, void* user)
{
    std::lock_guard<std::mutex> lock(gHandlerMutex);
    gHandler = handler;
    gHandlerUser = user;
    gHandlerInstalled.store(handler != nullptr, std::memory_order_release);
}

void LogSink::emit(int stream, const std::string& line)
{
    std::unique_lock<std::mutex> lock(gHandlerMutex);
    if (gHandler != nullptr) {
        gHandler(stream, line.c_str(), gHandlerUser);
        return;
    }
    lock.unlock();
    // The handler went away while this line was being written.
    (stream == ERROR_LINE ? std::cerr : std::cout) << line << std::endl;
}

std::ostream& LogSink::decimal(std::ostream& stream)
{
    if ((stream.flags() & std::ios_base::basefield) != std::ios_base::dec) {
        stream << std::dec;
    }
    return stream;
}

} // namespace velmor_detail
