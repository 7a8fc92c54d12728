// Where the station's HTTP side listens: --http [ADDR:]PORT and
// ZURIVAVAVE_HTTP. The address is 127.0.0.1 unless one is given, and only an
// IP address (or "localhost") is taken: the board is for the station's own
// network, never a name that resolves somewhere else. Pure functions, no
// sockets: the option parser checks a value before anything is opened.
#pragma once

#include <cstdint>
#include <string>

struct ListenAddress {
    std::string host = "127.0.0.1";  // an IPv4 or IPv6 address, without brackets
    uint16_t port = 0;               // 0: a free port chosen by the system
    bool loopback = true;            // host is a loopback address
};

// "8080", "0.0.0.0:8080", "[::1]:8080", "localhost:8080". false with the
// reason in error ("not a port number: ...").
bool ParseListenAddress(const std::string& text, ListenAddress& out, std::string& error);

// "http://127.0.0.1:8080/", brackets around an IPv6 host.
std::string UrlOf(const std::string& host, uint16_t port);

// Whether an address literal or host name (without port) is a loopback
// one: localhost, a name under .localhost, 127.0.0.0/8, ::1.
bool IsLoopbackName(const std::string& host);
