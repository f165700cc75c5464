#pragma once

// plugin-host's own reading of an action list before it hands the list to the plug-in: the
// plug-in passes over a wrongly shaped action without a console line (its reason, if any, goes to
// its log file), so the host says on the console what the plug-in will make of each element.

#include <set>
#include <string>
#include <vector>

namespace plugin_host {

struct ActionCheckContext {
  bool simulatedDevice = false;  // sessions below are all the device announces
  std::set<std::string> announcedSessions;
  int cycles = 0;  // refresh cycles the host waits for after the actions
};

// One line per problem, each naming the element (counted from 1) and what will happen; empty
// when every element is one the plug-in acts on.
[[nodiscard]] std::vector<std::string> CheckActionList(const std::string& text, const ActionCheckContext& context);

}  // namespace plugin_host
