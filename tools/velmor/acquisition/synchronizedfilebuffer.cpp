#include "acquisition/synchronizedfilebuffer.h"

#include <stdexcept>

namespace velmorcli {

SynchronizedFileBuffer::SynchronizedFileBuffer(const std::string& path)
{
    if (mFile.open(path, std::ios::out | std::ios::trunc | std::ios::binary) == nullptr) {
        throw std::runtime_error("cannot write the log file " + path);
    }
}

SynchronizedFileBuffer::int_type SynchronizedFileBuffer::overflow(int_type character)
{
    if (traits_type::eq_int_type(character, traits_type::eof())) {
        return traits_type::not_eof(character);
    }
    std::lock_guard<std::mutex> lock(mMutex);
    return mFile.sputc(traits_type::to_char_type(character));
}

std::streamsize SynchronizedFileBuffer::xsputn(const char* text, std::streamsize length)
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mFile.sputn(text, length);
}

int SynchronizedFileBuffer::sync()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mFile.pubsync();
}

} // namespace velmorcli
