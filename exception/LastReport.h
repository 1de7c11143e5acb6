// The last report: where a fault leaves the process unable to go on (a stack
// overflow, a fault in code that cannot be unwound, a fault while a report is
// being written, a fault on a thread that is not the framework's), every
// active exception log still appends a report to its log file before the
// process ends by the original signal. It holds what can be gathered safely
// there: date, time, address, class, message, the source position from a
// map file already read, and the application section; it is composed with
// async-signal-safe calls only, in memory reserved beforehand.
//
// A report that the log was making when the fault came (one that its
// OnSaveException handler was looking at) is written first, as it was
// composed.
#pragma once

#include <string>

namespace zr {

class TKVExceptionLog;

// An exception log takes part from its creation (outside the designer) to
// its destruction. The application section is taken when it registers.
void RegisterForLastReport(TKVExceptionLog* log);
void UnregisterFromLastReport(TKVExceptionLog* log);

// Starts reading the log's map file on a thread of its own, so that a last
// report written before any other report can name the source position: for
// a log that is active and reports source positions. Later calls change
// nothing.
void ReadMapAheadForLastReport(TKVExceptionLog* log);

// While one lives, a last report of the log writes `text` before itself:
// the report being made, which a fault meanwhile must not lose. `text` must
// outlive it and stay unchanged.
class TPendingReport {
  public:
    TPendingReport(const TKVExceptionLog* log, const std::string& text);
    ~TPendingReport();
    TPendingReport(const TPendingReport&) = delete;
    TPendingReport& operator=(const TPendingReport&) = delete;

  private:
    const TKVExceptionLog* log_;
};

}  // namespace zr
