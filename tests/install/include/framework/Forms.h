// The application's own forms header, named like one of the suite's.
#pragma once

namespace app {
inline constexpr int kFormsMark = 5;
}
