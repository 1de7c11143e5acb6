// zrdemo: runs every stop of the tour in order.
#include <algorithm>
#include <cstring>
#include <exception>
#include <iostream>

#include "Tour.h"

namespace zrdemo {

static std::vector<Stop>& Registry() {
    static std::vector<Stop> stops;
    return stops;
}

bool AddStop(Stop stop) {
    Registry().push_back(std::move(stop));
    return true;
}

const std::vector<Stop>& Stops() {
    auto& stops = Registry();
    std::stable_sort(stops.begin(), stops.end(),
                     [](const Stop& a, const Stop& b) { return a.order < b.order; });
    return stops;
}

}  // namespace zrdemo

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << "zrdemo: a tour of the ZORirive components. Each stop prints what it does.\n";
        for (const auto& stop : zrdemo::Stops()) std::cout << "  - " << stop.name << "\n";
        return 0;
    }
    int failed = 0;
    for (const auto& stop : zrdemo::Stops()) {
        std::cout << "== " << stop.name << "\n";
        try {
            stop.run(std::cout);
        } catch (const std::exception& e) {
            std::cout << "stop failed: " << e.what() << "\n";
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}
