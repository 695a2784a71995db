// The environment the tests run in: where the loopback servers and the test
// pictures are.
#pragma once

#include <string>

namespace orvella::test {

// When ctest starts the servers once for a whole run, each test program finds
// them in the file this variable names (NAME=VALUE lines, written by
// with_servers.py --start); "none" tells a program that ctest runs it without
// servers on purpose.
constexpr const char kServersFileVariable[] = "ORVELLA_SERVERS_FILE";
constexpr const char kNoServers[] = "none";

// The environment variable, else the servers file's value of that name, else
// `fallback`.
std::string Env(const char* name, const std::string& fallback = "");

}  // namespace orvella::test
