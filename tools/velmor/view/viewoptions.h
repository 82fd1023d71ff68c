#pragma once

#include <string>

namespace velmorview {

// The settings of 'velmor view', as the command line gives them.
struct ViewOptions {
    static constexpr int DEFAULT_PORT = 8321;
    // Where the token is read from when neither --token nor --token-file is
    // given: unlike a command-line argument, no other user can see it.
    static constexpr const char* TOKEN_VARIABLE = "VELMOR_VIEW_TOKEN";

    int exposureUs = 10000;
    int averaging = 1;
    int port = DEFAULT_PORT;
    std::string listenAddress; // empty: loopback only
    std::string token;         // --token: visible to every local user in the process list
    std::string tokenFile;     // --token-file: its first line is the token
    bool openBrowser = false;
};

// The access token to serve with, empty for none: --token, else the first
// line of --token-file, else $VELMOR_VIEW_TOKEN, else a new random one when
// serving other hosts. Throws std::invalid_argument naming the source of a
// token that cannot be read or used.
std::string chosenToken(const ViewOptions& options);

} // namespace velmorview
