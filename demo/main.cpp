// zrdemo: runs every stop of the tour in order.
#include <algorithm>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

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

TourSettings& Settings() {
    static TourSettings settings;
    return settings;
}

}  // namespace zrdemo

namespace {

void PrintHelp(std::ostream& out) {
    out << "Usage: zrdemo [--log <path>] [--help]\n\n"
           "zrdemo: a tour of the ZORirive components. Each stop prints what it does:\n";
    for (const auto& stop : zrdemo::Stops()) out << "  - " << stop.name << "\n";
    out << "\nThe exception stop reads its main form, which holds an exception log, from a\n"
           "form file and raises four exceptions through the message loop: an EConvertError\n"
           "from StrToInt, an EDivByZero, a std::out_of_range and an EStringListError, which\n"
           "the log's class filter leaves out. The three logged ones open the error dialog.\n"
           "At a terminal you answer it with keys; otherwise the tour answers it itself: the\n"
           "first time it mails the log with a screenshot (to an outbox folder beside the\n"
           "log unless ZORIRIVE_MAIL says otherwise), then it closes it. The log is printed\n"
           "at the end; the executable's map file (zrdemo.map) lets the reports name the\n"
           "unit, procedure and line that raised.\n\n"
           "  --log <path>  the exception log's file (default: kvevents.log in a new folder\n"
           "                under $TMPDIR); reports are appended to what it holds\n"
           "  --help        this text\n";
}

// False (after saying why) when the command line cannot be followed.
bool ReadArguments(int argc, char** argv, bool& help) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            help = true;
        } else if (std::strcmp(argv[i], "--log") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                std::cerr << "zrdemo: --log needs a file name\n";
                return false;
            }
            zrdemo::Settings().logPath = argv[++i];
        } else {
            std::cerr << "zrdemo: unknown argument '" << argv[i] << "' (try --help)\n";
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool help = false;
    if (!ReadArguments(argc, argv, help)) return 2;
    if (help) {
        PrintHelp(std::cout);
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
        std::cout.flush();
    }
    return failed == 0 ? 0 : 1;
}
