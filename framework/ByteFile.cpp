#include "framework/ByteFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "framework/Exceptions.h"

namespace zr {

void SaveBytesToFile(const std::string& fileName, std::span<const std::uint8_t> bytes) {
    std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
    if (!file)
        throw EFCreateError("Cannot create file \"" + fileName + "\". " + std::strerror(errno));
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    // Closing flushes; a full disk shows only then.
    file.close();
    if (!file) throw EWriteError("Stream write error");
}

}  // namespace zr
