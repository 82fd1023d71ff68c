#include "acquisition/linecapture.h"

namespace velmorcli {

LineCapture::LineCapture(std::ostream& stream) : mStream(stream), mForward(stream.rdbuf(this))
{
}

LineCapture::~LineCapture()
{
    mStream.rdbuf(mForward);
}

const std::vector<std::string>& LineCapture::lines() const
{
    return mLines;
}

LineCapture::int_type LineCapture::overflow(int_type character)
{
    if (traits_type::eq_int_type(character, traits_type::eof())) {
        return traits_type::not_eof(character);
    }
    keep(traits_type::to_char_type(character));
    return mForward->sputc(traits_type::to_char_type(character));
}

std::streamsize LineCapture::xsputn(const char* text, std::streamsize length)
{
    for (std::streamsize i = 0; i < length; ++i) {
        keep(text[i]);
    }
    return mForward->sputn(text, length);
}

int LineCapture::sync()
{
    return mForward->pubsync();
}

void LineCapture::keep(char character)
{
    if (character == '\n') {
        mLines.push_back(std::move(mPartialLine));
        mPartialLine.clear();
    } else {
        mPartialLine.push_back(character);
    }
}

} // namespace velmorcli
