#include "support/streamcapture.h"

#include <iostream>
#include <mutex>
#include <streambuf>

// Without a put area every character reaches overflow() or xsputn(), so the
// mutex sees all writes.
class StreamCapture::LockedBuffer : public std::streambuf {
public:
    std::string text() const
    {
        std::lock_guard lock(mutex_);
        return text_;
    }

    void clear()
    {
        std::lock_guard lock(mutex_);
        text_.clear();
    }

protected:
    int_type overflow(int_type character) override
    {
        if (traits_type::eq_int_type(character, traits_type::eof())) {
            return traits_type::not_eof(character);
        }
        std::lock_guard lock(mutex_);
        text_.push_back(traits_type::to_char_type(character));
        return character;
    }

    std::streamsize xsputn(const char_type* characters, std::streamsize count) override
    {
        std::lock_guard lock(mutex_);
        text_.append(characters, static_cast<std::size_t>(count));
        return count;
    }

    int sync() override { return 0; }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

StreamCapture::StreamCapture()
    : out_(std::make_unique<LockedBuffer>()),
      err_(std::make_unique<LockedBuffer>()),
      originalOut_(std::cout.rdbuf(out_.get())),
      originalErr_(std::cerr.rdbuf(err_.get()))
{
}

StreamCapture::~StreamCapture()
{
    std::cout.rdbuf(originalOut_);
    std::cerr.rdbuf(originalErr_);
}

std::string StreamCapture::out() const
{
    return out_->text();
}

std::string StreamCapture::err() const
{
    return err_->text();
}

void StreamCapture::clear()
{
    out_->clear();
    err_->clear();
}
