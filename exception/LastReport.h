// The last report: where a fault leaves the process unable to go on (a stack
// overflow, a fault in code that cannot be unwound, a fault while a report is
// being written, a fault on a thread that is not the framework's), every
// active exception log still appends a report to its log file before the
// process ends by the original signal. It holds what can be gathered safely
// there: date, time, address, class, message, the source position from a
// map file already read, and the application section; it is composed with
// async-signal-safe calls only, in memory reserved beforehand.
#pragma once

namespace zr {

class TKVExceptionLog;

// An exception log takes part from its creation (outside the designer) to
// its destruction. The application section is taken when it registers.
void RegisterForLastReport(TKVExceptionLog* log);
void UnregisterFromLastReport(TKVExceptionLog* log);

}  // namespace zr
