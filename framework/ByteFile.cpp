#include "framework/ByteFile.h"

#include <cerrno>
#include <cstring>

#include "framework/Exceptions.h"
#include "platform/FileContent.h"

namespace zr {

void SaveBytesToFile(const std::string& fileName, std::span<const std::uint8_t> bytes) {
    const os::TWriteResult written = os::WriteFileContent(fileName, bytes.data(), bytes.size());
    if (!written.Opened)
        throw EFCreateError("Cannot create file \"" + fileName + "\". " +
                            std::strerror(written.Error));
    if (written.Error != 0) throw EWriteError("Stream write error");
}

}  // namespace zr
