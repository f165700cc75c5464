#pragma once

#include <string>
#include <vector>

// The avahi-daemon of a test namespace, for tests that stop and start it. Each call waits at most
// five seconds.
namespace testing_support {

// Whether the daemon answers ("avahi-daemon --check").
bool avahiDaemonRunning();
// Starts the daemon with this configuration file; true once it answers.
bool startAvahiDaemon(const std::string& configFile);
// Stops the daemon named in its pid file; true once it is gone. A test that is its namespace's
// first process became the daemon's parent when the daemon forked away: it reaps the daemon here,
// which "avahi-daemon -k" would wait for in vain.
bool stopAvahiDaemon();
// The resolved lines ("=;...", without the line end) of "avahi-browse -prt <type>", a separate
// client of the daemon.
std::vector<std::string> avahiBrowseResolved(const std::string& type);

}  // namespace testing_support
