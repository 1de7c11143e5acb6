#include "platform/Shell.h"

#include <cstring>
#include <string>

#include "platform/Process.h"

namespace zr::os {

std::intptr_t ShellExecuteA(void* window, const char* operation, const char* file,
                            const char* parameters, const char* directory, int showCommand) {
    if (operation && *operation && std::strcmp(operation, "open") != 0) return SE_ERR_NOASSOC;
    if (parameters && *parameters) return SE_ERR_NOASSOC;
    if (file == nullptr || *file == '\0' || *file == '-') return SE_ERR_FNF;
    return StartDetached({"xdg-open", file}) ? SHELL_EXECUTE_STARTED : SE_ERR_NOASSOC;
}

}  // namespace zr::os
