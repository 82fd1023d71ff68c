#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmorview {

// Where one HTTP request ends in the bytes received so far, decided before
// any of it reaches the HTTP library, so that a request's size is known and
// bounded however it is sent. A body must come with a Content-Length: chunked
// and compressed bodies are refused before they are read, since neither can
// be bounded until it has been taken in whole.
class RequestFraming {
public:
    static constexpr std::size_t MAX_HEAD_BYTES = 8 * 1024; // request line and headers
    static constexpr std::size_t MAX_BODY_BYTES = 16 * 1024;

    enum class Verdict { Incomplete, Complete, Refused };

    struct Result {
        Verdict verdict = Verdict::Incomplete;
        std::size_t length = 0; // Complete: the request's bytes, head and body
        int status = 0;         // Refused: the HTTP status to answer
        std::string reason;     // Refused: for the person at the client
    };

    // `received`: the bytes of the connection not yet consumed by earlier
    // requests.
    static Result frame(std::string_view received);

private:
    static Result frameHead(std::string_view head, std::size_t headLength, std::size_t received);
};

} // namespace velmorview
