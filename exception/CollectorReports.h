// The exception log's side of a crash collector: which collector (SendTo's
// Collector, else $ZORIRIVE_COLLECTOR), the envelope of each report written
// into the outbox before the report call returns, the application's say on
// each event, and what the last report of a fault that ends the process
// needs ready beforehand (it may neither allocate nor read there).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "CollectorEvent.h"
#include "CollectorFrames.h"
#include "../core/LogBase.h"
#include "../platform/CollectorDsn.h"
#include "../platform/CollectorOutbox.h"

namespace zr {

class TKVMapFile;
namespace os {
struct TFaultInfo;
}

// Raised when a log becomes active with a collector address that is not one.
ZR_EXCEPTION_CLASS(ECollectorError, Exception);

class TKVCollectorLink {
  public:
    TKVCollectorLink();
    ~TKVCollectorLink();

    // Takes the collector from `sendTo` (else the environment): none leaves
    // the link off. A malformed address raises ECollectorError; an outbox
    // that cannot be opened too. `logFile` receives the lines about
    // envelopes a collector refused.
    void Activate(const TKVLSendTo& sendTo, const std::string& logFile);
    void Deactivate();
    bool Enabled() const { return enabled_; }
    const os::TCollectorDsn& Dsn() const { return dsn_; }

    // The facts every event of this process shares (release, the machine),
    // gathered when the link became active.
    const TEventFacts& CommonFacts() const { return common_; }
    const std::vector<TLoadedModule>& Modules() const { return modules_; }

    // Puts one event with the report text (and a picture, when not empty)
    // into the outbox and wakes the sender. Returns the event id, "" when
    // the envelope could not be written (the reason goes to the log file).
    std::string Queue(const std::string& eventJson, const std::string& eventId,
                      const std::string& reportText, const std::vector<std::uint8_t>& picture,
                      const char* pictureType);
    // One line into the log file, under the log lock (a refused envelope,
    // an event the application's handler spoiled).
    void Note(const std::string& line) const;

    // ---- the last report, with async-signal-safe calls only ----
    // Writes the envelope of a fault that ends the process; the map must
    // have been read already or be null.
    void WriteFatal(const os::TFaultInfo& fault, const TKVMapFile* map, const char* reportText,
                    std::size_t reportLength) const;

  private:
    void Prepare();
    TEventFacts GatherCommonFacts() const;

    bool enabled_ = false;
    os::TCollectorDsn dsn_;
    std::string logFile_;
    os::collector::TOutbox outbox_;
    std::vector<TLoadedModule> modules_;
    std::string release_;
    TEventFacts common_;
    // Composed when the link becomes active, for the last report.
    std::string fatalEventId_;
    std::string fatalHeader_;  // the envelope's header line
    std::string fatalTail_;    // release, contexts, images
    std::unique_ptr<char[]> eventBuffer_;
    std::unique_ptr<char[]> envelopeBuffer_;
};

inline constexpr std::size_t kFatalEventBytes = 160 * 1024;
inline constexpr std::size_t kFatalEnvelopeBytes = 256 * 1024;

}  // namespace zr
