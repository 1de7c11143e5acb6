// The demo's stops. Each stop prints what it shows to `out`; a stop that
// fails throws, and main reports it.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace zrdemo {

struct Stop {
    std::string name;
    std::function<void(std::ostream& out)> run;
    int order = 100;  // stops run in ascending order
};

// Registers a stop; call from a static initialiser in the stop's own file.
bool AddStop(Stop stop);
const std::vector<Stop>& Stops();

// What the command line asked of the tour; main fills it before any stop runs.
struct TourSettings {
    std::string logPath;  // --log: the exception log's file; empty: a folder of its own
};
TourSettings& Settings();

}  // namespace zrdemo
