#pragma once
// The consumer's own shared library: what it offers needs nothing of Quorvel in its interface.

#include <string>

namespace Consumer {

// Writes Text as line 1 of the field display served on Port (server 1, holding registers 443..453)
// and reads the registers back; returns the text they hold. Throws std::runtime_error on failure.
std::string WriteLineAndReadBack(const std::string& Port, const std::string& Text);

// What opening Port raised: "EQuorvelError: <message>", or how it failed otherwise.
std::string OpenFailure(const std::string& Port);

// "<headers' version> <linked library's version>"
std::string Versions();

}  // namespace Consumer
