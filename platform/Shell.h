// ShellExecuteA for the one operation the components use: "open" a web
// address or file with the desktop's opener (xdg-open), detached, so the
// caller never waits for a browser.
#pragma once

#include <cstdint>

namespace zr::os {

constexpr int SW_SHOWNORMAL = 1;

// Results as the Windows call gives them: above 32 for success.
constexpr std::intptr_t SE_ERR_FNF = 2;       // nothing to open
constexpr std::intptr_t SE_ERR_NOASSOC = 31;  // no opener, or an operation it cannot do
constexpr std::intptr_t SHELL_EXECUTE_STARTED = 42;

// Starts xdg-open with `file` (its own argument, no shell in between) in a
// session of its own. `window`, `directory` and `showCommand` are accepted
// and unused: the opener decides where and how the page is shown. An empty
// `file`, or one starting with "-" that the opener would take for an option,
// opens nothing (SE_ERR_FNF). Only "open" (or no operation) without
// parameters is supported (SE_ERR_NOASSOC otherwise).
std::intptr_t ShellExecuteA(void* window, const char* operation, const char* file,
                            const char* parameters, const char* directory, int showCommand);

}  // namespace zr::os
