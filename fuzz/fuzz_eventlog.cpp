// Feeds arbitrary bytes to the event log store as a log file, then reads every
// record the store accepts through the component, both ways, touching each
// field a reader follows (names, SID, strings). The store must accept only
// records whose offsets all lie inside them; a read may refuse, never crash.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "framework/Exceptions.h"
#include "platform/EventLog.h"
#include "watchers/LogNT.h"

namespace {

const std::string& StoreFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/zr-fuzz-eventlog-XXXXXX";
        if (!mkdtemp(pattern)) abort();
        setenv("ZORIRIVE_EVENTLOG", pattern, 1);
        return std::string(pattern);
    }();
    // Every run (each replay of the seeds in the test run too) leaves /tmp
    // as it found it.
    static const bool removedAtExit = std::atexit([] {
                                          std::error_code ignored;
                                          std::filesystem::remove_all(folder, ignored);
                                      }) == 0;
    (void)removedAtExit;
    return folder;
}

std::size_t Touch(const zr::TKVNTEventLog& log) {
    std::size_t sum = log.GetEventSource().size() + log.GetEventComputer().size();
    for (std::uint32_t i = 0; i <= log.GetEventStringCount(); ++i)
        sum += log.GetEventString(i).size();
    if (const void* sid = log.GetEventSID()) sum += static_cast<const std::uint8_t*>(sid)[0];
    return sum + log.GetEventID() + log.GetEventType() +
           static_cast<std::size_t>(log.GetEventTime());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = StoreFolder() + "/Fuzz.evtlog";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    zr::TKVNTEventLog log(nullptr);
    log.SetLog("Fuzz");
    log.Open();
    volatile std::size_t sink = 0;
    const std::uint32_t count = log.GetEventCount();
    for (bool backwards : {false, true}) {
        log.SetReadBackwards(backwards);
        for (std::uint32_t i = 0; i <= count; ++i) {
            try {
                log.SeekRecord(i);  // the one past the end raises
            } catch (const zr::EOSError&) {
                continue;
            }
            sink = sink + Touch(log);
        }
    }
    return 0;
}
