#pragma once

#include <cstddef>
#include <string>

namespace velmorview {

// A file of the page, compiled into the binary at build time.
struct ViewAsset {
    const char* path; // as requested, e.g. "/app.js"
    const char* contentType;
    const unsigned char* data;
    std::size_t size;
};

// The asset served at exactly `path`, or null: a request path is only ever
// compared with this fixed table, never used to open a file.
const ViewAsset* findViewAsset(const std::string& path);

} // namespace velmorview
