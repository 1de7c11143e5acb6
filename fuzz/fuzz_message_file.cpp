// Feeds arbitrary bytes to the message file reader as a message file's source,
// then formats every text it accepts with fewer strings than its inserts may
// ask for. Nothing may be read beyond the strings given (AddressSanitizer
// watches the argument array), and no text may make the reader fail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/MessageFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    zr::os::MessageTable table;
    if (!zr::os::ParseMessageFile(source, table)) return 0;

    static const char* const strings[] = {"one", "two"};
    // A heap array of exactly two, so that reading a third is caught.
    auto* arguments = new zr::os::DWORD_PTR[2]{reinterpret_cast<zr::os::DWORD_PTR>(strings[0]),
                                               reinterpret_cast<zr::os::DWORD_PTR>(strings[1])};
    for (const auto& [id, texts] : table.messages) {
        for (const auto& [language, text] : texts) {
            for (zr::os::DWORD extra : {0u, zr::os::FORMAT_MESSAGE_IGNORE_INSERTS}) {
                char* out = nullptr;
                const zr::os::DWORD length = zr::os::FormatMessageA(
                    zr::os::FORMAT_MESSAGE_FROM_STRING | zr::os::FORMAT_MESSAGE_ALLOCATE_BUFFER |
                        zr::os::FORMAT_MESSAGE_ARGUMENT_ARRAY | extra,
                    text.c_str(), id, language, reinterpret_cast<char*>(&out), 0, arguments, 2);
                if (length > 0 && out[length] != '\0') std::abort();
                zr::os::LocalFree(out);
            }
        }
    }
    delete[] arguments;
    return 0;
}
