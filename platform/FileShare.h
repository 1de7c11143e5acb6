// File share modes on Linux.
//
// The host's file streams open a file with an access (read, write or both)
// and a share mode that says which accesses other openers may still have.
// An open succeeds only when its access is allowed by the share mode of every
// handle already open on the file, and when the accesses of those handles
// are allowed by its own share mode. Linux has no such rule, so the suite
// records opens in open-file-description byte-range locks (fcntl
// F_OFD_SETLK/F_OFD_GETLK), which every process sees and the kernel drops
// when the descriptor closes or the process dies: nothing to clean up after a
// crash.
//
// Four marker bytes far past any real data (kShareMarkerBase onwards) stand
// for what a descriptor does:
//
//     R  opened for reading        W  opened for writing
//     DW denies writing            DR denies reading
//
// An opener takes shared (read) locks on the bytes of its own access and
// denials, then tests with exclusive test-locks, which report locks of other
// descriptors only, the bytes that would conflict:
//
//     it reads          -> DR must be free      it denies reading -> R must be free
//     it writes         -> DW must be free      it denies writing -> W must be free
//
// Shared locks never conflict with each other, so any number of compatible
// openers coexist. Taking before testing means two conflicting openers racing
// in two processes can at worst both be refused, never both admitted; within
// one process openers are serialised, so that race cannot happen there. The
// bytes are laid out R, W, DW, DR so that the common modes need one lock call
// and one test call.
//
// Limits, stated so nobody relies on more:
// - Only openers that follow this protocol are held off; other programs may
//   open the file freely. A program holding an fcntl lock over the marker
//   bytes (a whole-file lock) makes the suite's openers refuse the file.
// - A descriptor without read access cannot take shared locks (the kernel
//   requires read access for them); such an opener still honours the others'
//   denials but cannot announce its own.
// - On a file system without byte-range locks, share modes are not enforced.
#pragma once

#include <cstdint>
#include <string>

namespace zr::os {

// The first marker byte; chosen near the largest file offset so that it never
// meets real data or an application's own record locks.
constexpr std::int64_t kShareMarkerBase = INT64_MAX - 0xFF;

struct ShareRequest {
    bool read = false;
    bool write = false;
    bool denyRead = false;
    bool denyWrite = false;
};

// The share values of the host's open modes (fmShareCompat .. fmShareDenyNone,
// bits 4 to 7) and its access values (bits 0 and 1) as a request. Returns
// false for a mode with an unknown access or share value.
bool ShareRequestFromMode(std::uint16_t mode, ShareRequest& request);

// The text reported when another open forbids this one.
extern const char* const kSharingViolationText;

// Records `fd`'s access and denials and checks them against every other
// descriptor open on the same file. Returns 0 when admitted, EBUSY when
// another open's share mode (or this one's) forbids it, or an errno of a
// failing call. On refusal the caller closes `fd`, which drops the markers.
int AcquireShare(int fd, const ShareRequest& request);

// True when any descriptor (of any process) holds share markers on the file:
// it is open through the suite's streams. False when the file cannot be
// opened to look.
bool FileOpenWithShare(const std::string& path);

}  // namespace zr::os
