#pragma once

#include <functional>
#include <string>

namespace tvsk {

// An action list on its way to its device's thread.
struct DeviceActionRequest {
  std::string actions;  // the compact JSON array handed to the plug-in
  // True once nobody waits for the result any more: the list is then dropped, never run.
  std::function<bool()> abandoned;
  // The plug-in's result, called on the device's thread once the list has run.
  std::function<void(int result)> done;
};

// What became of a request handed to the plug-in host.
enum class ActionAdmission {
  Queued,         // it runs on its device's thread; `done` follows unless it is abandoned first
  UnknownDevice,  // no device has that proxy Id
  QueueFull,      // too many lists already wait for that device
  Stopping,       // the host is shutting down
};

}  // namespace tvsk
