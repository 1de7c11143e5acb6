// The time stamp that starts each dataset log line: FormatDateTime("c") of
// the moment, byte for byte. A log writes many lines a second, and the text
// only changes with the second, so it is kept for the second it shows while
// the date and time formats allow that.
#pragma once

#include <string>

#include "../framework/DateUtils.h"

namespace zr {

class TLogTimeStamp {
  public:
    // The text for `value` under the process's FormatSettings.
    const std::string& Text(TDateTime value);
    // The text for this moment. Within the second of the text kept it costs
    // one clock read: no local time is worked out (the offset from UTC only
    // ever changes on a whole second).
    const std::string& TextNow();

  private:
    bool SameFormats() const;

    std::string text_;
    bool valid_ = false;
    // The clock's second the text was made for by TextNow (-1: none).
    long long clockSecond_ = -1;
    double day_ = 0;
    int second_ = 0;
    // The settings the text was made with, and whether they can be kept.
    std::string shortDateFormat_, longTimeFormat_;
    char dateSeparator_ = 0, timeSeparator_ = 0;
    bool keepable_ = false;
};

}  // namespace zr
