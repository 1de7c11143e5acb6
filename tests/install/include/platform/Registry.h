// The application's own settings header, named like one of the suite's.
#pragma once

namespace app {
inline constexpr int kSettingsMark = 7;
}
