// Writing a block of bytes to a file in one go, for the picture formats whose
// encoders produce the whole file in memory first.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zr {

// Creates or empties `fileName` and writes `bytes` to it. Failures: EFCreateError
// "Cannot create file "<name>". <system text>" when the file cannot be made,
// EWriteError "Stream write error" when the bytes do not all reach it.
void SaveBytesToFile(const std::string& fileName, std::span<const std::uint8_t> bytes);

}  // namespace zr
