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

  private:
    bool SameFormats() const;

    std::string text_;
    bool valid_ = false;
    double day_ = 0;
    int second_ = 0;
    // The settings the text was made with, and whether they can be kept.
    std::string shortDateFormat_, longTimeFormat_;
    char dateSeparator_ = 0, timeSeparator_ = 0;
    bool keepable_ = false;
};

}  // namespace zr
