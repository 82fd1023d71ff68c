#pragma once

#include "gatedconnection.h"

#include <httplib.h>

#include <chrono>

namespace velmorview {

// What the HTTP library reads one request from and writes its answer to: the
// request comes from the bytes the ConnectionGate has already received, so
// reading never waits on the client; the answer goes to the socket, and a
// client that takes nothing for `writeTimeout` is given up.
class GatedStream : public httplib::Stream {
public:
    GatedStream(const GatedConnection& connection, std::chrono::milliseconds writeTimeout);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* data, size_t size) override;
    ssize_t write(const char* data, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override;

private:
    const GatedConnection& mConnection;
    std::chrono::milliseconds mWriteTimeout;
    std::size_t mRead = 0;
};

} // namespace velmorview
