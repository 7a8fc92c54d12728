// The guard against DNS rebinding: a page on some web site whose name is
// made to resolve to 127.0.0.1 could otherwise read the board of a station
// listening on loopback. On a loopback address only requests whose Host
// header names a loopback host (localhost, 127.x.x.x, [::1]) are answered;
// on any other address the check is the network's business.
#pragma once

#include <string>

// hostHeader: the Host header's value as sent ("" when there was none).
// false with the reason in why.
bool HostAllowed(const std::string& hostHeader, bool loopbackListen, std::string& why);
