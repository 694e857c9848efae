// The one Qt application of a test program, created before the first test and run off
// screen, plus a bounded wait that keeps the application's events flowing.
#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <vector>

namespace movrand::testing {

// Processes events until `done()` holds or `limit` has passed; returns the final `done()`.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(5));

// The messages the application's error box would have shown since the last `clear`.
std::vector<QString>& reportedErrors();

}  // namespace movrand::testing
