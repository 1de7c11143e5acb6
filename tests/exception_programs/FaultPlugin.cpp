// A plug-in that uses the exception log, loaded with dlopen by a program
// that knows nothing of the suite (as the designer loads packages): its
// libraries' thread-local storage is then allocated per thread on demand.
#include <thread>

#include "exception/LogError.h"
#include "framework/Application.h"

// Activates an exception log writing to `logFile`, then runs `fault` on a
// thread of the plug-in's own making.
extern "C" [[gnu::visibility("default")]] int zr_FaultInPlugin(const char* logFile,
                                                               void (*fault)()) {
    using namespace zr;
    auto* log = new TKVExceptionLog(Application);
    log->SetLogFile(logFile);
    log->SetErrorDialog(edNone);
    log->SetFormats(log->Formats().Include(lfExceptionClassName));
    log->SetActive(true);
    std::thread(fault).join();
    return 0;
}
