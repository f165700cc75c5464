#pragma once

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <functional>

#include "testing/wait_until.h"

namespace testing_support {

// waitUntil for Qt tests: the event loop runs between the polls, so queued signals arrive.
inline bool processEventsUntil(const std::function<bool()>& condition,
                               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  return waitUntil(condition, timeout, std::chrono::milliseconds(5),
                   [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
}

}  // namespace testing_support
