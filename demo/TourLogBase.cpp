// Tour stop: two log components that name one file append to it in turn.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Tour.h"
#include "core/LogBase.h"
#include "framework/DateUtils.h"

namespace {

std::string ScratchLogName() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    return dir + "/zrdemo-kvevents-" + std::to_string(::getpid()) + ".log";
}

void ShowLogBase(std::ostream& out) {
    zr::TComponent form(nullptr);
    auto* audit = new zr::TKVLogBase(&form);  // the form frees both
    auto* errors = new zr::TKVLogBase(&form);
    audit->SetName("AuditLog");
    errors->SetName("ErrorLog");
    const std::string file = ScratchLogName();
    audit->SetLogFile(file);
    errors->SetLogFile(file);
    audit->ClearLog();

    audit->WriteAsString("[audit] application started\r\n");
    errors->WriteAsString("[error] disk quota at ");
    errors->WriteAsInteger(93);
    errors->WriteAsString(" percent\r\n");
    audit->WriteAsString("[audit] cache hit ratio ");
    audit->WriteAsFloat(0.875);
    audit->WriteAsString("\r\n[audit] today is ");
    audit->WriteAsDateTime(zr::Date());
    audit->WriteAsString("\r\n");
    errors->WriteAsString("");  // nothing: an empty text does not touch the file

    out << "AuditLog and ErrorLog both write to " << file << ":\n";
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out << "  | " << line << "\n";
    }
    in.close();
    errors->ClearLog();
    out << "After ClearLog the file is " << (std::ifstream(file) ? "still there" : "gone") << ".\n";
}

const bool registered =
    zrdemo::AddStop({"Log base: two components share one log file", ShowLogBase, 10});

}  // namespace
