#pragma once

#include <QHostAddress>

#include <string>

// An address as the demo server writes it in URLs and log lines: IPv4 (also
// when mapped into IPv6) as dotted digits, IPv6 in brackets.
std::string AddressText(const QHostAddress &address);
