// Byte streams: the abstract TStream and TFileStream, a file opened with the
// host's open and share modes. Share modes are enforced between every stream
// of this process and of every other process that uses the suite (see
// platform/FileShare.h for how).
#pragma once

#include <cstdint>
#include <string>

#include "Object.h"

namespace zr {

enum TSeekOrigin { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

// Open modes: one access value combined with one share value, or fmCreate.
constexpr std::uint16_t fmCreate = 0xFFFF;  // create or truncate; read-write, exclusive
constexpr std::uint16_t fmOpenRead = 0x0000;
constexpr std::uint16_t fmOpenWrite = 0x0001;
constexpr std::uint16_t fmOpenReadWrite = 0x0002;
// A share value of 0 (compatibility) denies both reading and writing, as
// exclusive does: that is what the host's file open does with it.
constexpr std::uint16_t fmShareCompat = 0x0000;
constexpr std::uint16_t fmShareExclusive = 0x0010;
constexpr std::uint16_t fmShareDenyWrite = 0x0020;
constexpr std::uint16_t fmShareDenyRead = 0x0030;
constexpr std::uint16_t fmShareDenyNone = 0x0040;

class TStream : public TObject {
    ZR_CLASS(TStream, TObject)
  public:
    TStream() = default;

    // Read and Write move at most `count` bytes and return how many moved.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    // Returns the new position.
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

    // All or nothing: EReadError "Stream read error", EWriteError "Stream write error".
    void ReadBuffer(void* buffer, std::int64_t count);
    void WriteBuffer(const void* buffer, std::int64_t count);
    // Copies `count` bytes from `source` (0: all of it from its start).
    std::int64_t CopyFrom(TStream& source, std::int64_t count);

    std::int64_t Position() { return Seek(0, soFromCurrent); }
    void SetPosition(std::int64_t value) { Seek(value, soFromBeginning); }
    virtual std::int64_t Size();
    virtual void SetSize(std::int64_t newSize);
};

// How fmCreate treats a file that is already there.
enum class TExistingFile {
    Replace,  // truncate it (the host's create)
    Fail,     // raise EFCreateError; lets a caller create a file only if nobody else has
};

// Who may read and write a file that fmCreate makes.
enum class TNewFile {
    Shared,   // as the umask leaves it (the host's create)
    Private,  // the owner alone (0600), from the moment it exists
};

class TFileStream : public TStream {
    ZR_CLASS(TFileStream, TStream)
  public:
    // Opens `fileName` with `mode` (fmCreate, or an access value combined
    // with a share value). Failures: fmCreate raises EFCreateError "Cannot
    // create file "<name>". <system text>", the other modes EFOpenError
    // "Cannot open file "<name>". <system text>"; an open that the share mode
    // of a stream already open on the file forbids fails the same way.
    TFileStream(const std::string& fileName, std::uint16_t mode,
                TExistingFile existing = TExistingFile::Replace,
                TNewFile newFile = TNewFile::Shared);
    ~TFileStream() override;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override;
    void SetSize(std::int64_t newSize) override;

    const std::string& FileName() const { return fileName_; }
    int Handle() const { return fd_; }

  private:
    std::string fileName_;
    int fd_ = -1;
    bool canRead_ = false;  // the mode's access, which the descriptor may exceed
    bool canWrite_ = false;
};

}  // namespace zr
