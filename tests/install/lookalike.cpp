// Includes its own platform/Registry.h and framework/Forms.h, then suite
// headers that include the suite's headers of those names.
#include "framework/Forms.h"
#include "platform/Registry.h"

#include <zoririve/exception/LogDlg.h>
#include <zoririve/framework/Registry.h>
#include <zoririve/watchers/LogRegistry.h>

#include <cstdio>

int main() {
    zr::TRegistry registry;
    const bool found = registry.KeyExists("Software\\LookAlike");
    std::printf("look-alike headers: %d %d, key %s\n", app::kSettingsMark, app::kFormsMark,
                found ? "found" : "absent");
    return 0;
}
