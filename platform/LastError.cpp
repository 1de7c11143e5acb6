#include "platform/LastError.h"

#include <cerrno>

namespace zr::os {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD code) {
    lastError = code;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
        case EMFILE:
        case ENFILE:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EISDIR:
            return ERROR_DIRECTORY;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
            return ERROR_DISK_FULL;
        case EDQUOT:
            return ERROR_DISK_QUOTA_EXCEEDED;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EBUSY:
        case ETXTBSY:
            return ERROR_BUSY;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case EIO:
            return ERROR_IO_DEVICE;
        case EAGAIN:
            return ERROR_LOCK_VIOLATION;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case ENOSYS:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        default:
            // Never the errno itself: as a host code it would mean something
            // else (ENOTEMPTY, 39, reads as "the disk is full").
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace zr::os

namespace zr::os {

const char* SystemErrorText(DWORD code) {
    switch (code) {
        case ERROR_SUCCESS:
            return "The operation completed successfully";
        case ERROR_FILE_NOT_FOUND:
            return "The system cannot find the file specified";
        case ERROR_PATH_NOT_FOUND:
            return "The system cannot find the path specified";
        case ERROR_ACCESS_DENIED:
            return "Access is denied";
        case ERROR_INVALID_HANDLE:
            return "The handle is invalid";
        case ERROR_NOT_ENOUGH_MEMORY:
            return "Not enough storage is available to process this command";
        case ERROR_BAD_FORMAT:
            return "An attempt was made to load a program with an incorrect format";
        case ERROR_LOCK_VIOLATION:
            return "The process cannot access the file because another process has locked a "
                   "portion of the file";
        case ERROR_HANDLE_EOF:
            return "Reached the end of the file";
        case ERROR_INVALID_PARAMETER:
            return "The parameter is incorrect";
        case ERROR_BUFFER_OVERFLOW:
            return "The file name is too long";
        case ERROR_INSUFFICIENT_BUFFER:
            return "The data area passed to a system call is too small";
        case ERROR_MOD_NOT_FOUND:
            return "The specified module could not be found";
        case ERROR_BAD_PATHNAME:
            return "The specified path is invalid";
        case ERROR_ALREADY_EXISTS:
            return "Cannot create a file when that file already exists";
        case ERROR_MORE_DATA:
            return "More data is available";
        case ERROR_NO_MORE_ITEMS:
            return "No more data is available";
        case ERROR_DIRECTORY:
            return "The directory name is invalid";
        case ERROR_MR_MID_NOT_FOUND:
            return "The system cannot find message text for message number 0x%1 in the "
                   "message file for %2";
        case ERROR_BADDB:
            return "The configuration registry database is corrupt";
        case ERROR_KEY_DELETED:
            return "Illegal operation attempted on a registry key that has been marked for "
                   "deletion";
        case RPC_S_SERVER_UNAVAILABLE:
            return "The RPC server is unavailable";
        case ERROR_NOT_ENOUGH_QUOTA:
            return "Not enough quota is available to process this command";
        case ERROR_RESOURCE_LANG_NOT_FOUND:
            return "The specified resource language ID cannot be found in the image file";
        case ERROR_NOT_SAME_DEVICE:
            return "The system cannot move the file to a different disk drive";
        case ERROR_WRITE_PROTECT:
            return "The media is write protected";
        case ERROR_GEN_FAILURE:
            return "A device attached to the system is not functioning";
        case ERROR_NOT_SUPPORTED:
            return "The request is not supported";
        case ERROR_BROKEN_PIPE:
            return "The pipe has been ended";
        case ERROR_DISK_FULL:
            return "There is not enough space on the disk";
        case ERROR_DIR_NOT_EMPTY:
            return "The directory is not empty";
        case ERROR_BUSY:
            return "The requested resource is in use";
        case ERROR_FILENAME_EXCED_RANGE:
            return "The filename or extension is too long";
        case ERROR_FILE_TOO_LARGE:
            return "The file size exceeds the limit allowed and cannot be saved";
        case ERROR_IO_DEVICE:
            return "The request could not be performed because of an I/O device error";
        case ERROR_DISK_QUOTA_EXCEEDED:
            return "Disk quota exceeded";
        case ERROR_NO_SYSTEM_RESOURCES:
            return "Insufficient system resources exist to complete the requested service";
        case ERROR_TIMEOUT:
            return "This operation returned because the timeout period expired";
        default:
            return "";
    }
}

}  // namespace zr::os
