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
        default:
            return static_cast<DWORD>(error);
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
        default:
            return "";
    }
}

}  // namespace zr::os
