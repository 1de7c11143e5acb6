// Tour stop: the eight sections an exception report can hold, as this
// machine gives them right now. The source section resolves an address of
// this very file through the executable's map file.
#include <string>

#include "Tour.h"
#include "exception/LogError.h"
#include "framework/Application.h"
#include "framework/ExceptAddr.h"

namespace {

using namespace zr;

void PrintSection(std::ostream& out, const char* name, const std::string& text) {
    out << name << ":";
    if (text.empty()) {
        out << " (empty)\n";
        return;
    }
    out << "\n";
    std::string line;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            out << "  | " << line << "\n";
            line.clear();
        } else {
            line += c;
        }
    }
    out << "  | " << line << "\n";
}

[[gnu::noinline]] void ShowReportSections(std::ostream& out) {
    // A log made as the designer makes one takes no exception handler over;
    // its destructor clears the application's handler all the same, so the
    // one there now is put back afterwards.
    const TExceptionEvent handler = Application->OnException();
    {
        TComponent designer(nullptr);
        designer.SetComponentStateFlag(csDesigning, true);
        auto* log = new TKVExceptionLog(&designer);
        log->MapFile()->LoadExceptionData(
            ReportedAddress(reinterpret_cast<void*>(&ShowReportSections)));
        out << "Map file " << log->MapFile()->MapFileName() << "; this stop's own code:\n";
        PrintSection(out, "GetFormattedSource", log->GetFormattedSource());
        PrintSection(out, "GetApplicationDetails", log->GetApplicationDetails());
        PrintSection(out, "GetActiveControlDetails", log->GetActiveControlDetails());
        PrintSection(out, "GetComputerInfo", log->GetComputerInfo());
        PrintSection(out, "GetOSInfo", log->GetOSInfo());
        PrintSection(out, "GetCPUInfo (with the clock measured)", log->GetCPUInfo(true));
        PrintSection(out, "GetMemoryInfo", log->GetMemoryInfo());
        PrintSection(out, "GetVideoCardInfo", log->GetVideoCardInfo());
    }
    Application->SetOnException(handler);
}

const bool registered = zrdemo::AddStop(
    {"Exception report sections: what a report says about this machine", ShowReportSections, 40});

}  // namespace
