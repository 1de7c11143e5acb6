// Starting the helper programs that stand in for Windows services (the mail
// client, sendmail, the desktop's opener). Programs are started from an
// argument vector with posix_spawn, never through a shell, so no text the
// user typed (a subject, an address, a web address) can become a command.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace zr::os {

// The full path of `program` on $PATH, else in one of `extraFolders`
// (sendmail often lives in /usr/sbin, outside a user's PATH); a name holding
// "/" is taken as it stands. Empty when there is no such executable file.
std::string FindProgram(const std::string& program,
                        const std::vector<std::string>& extraFolders = {});

struct TRunResult {
    bool Started = false;
    int StartError = 0;         // errno of a failed start (ENOENT: no such program)
    bool InputWritten = false;  // all of the input reached the program
    bool Finished = false;      // it ended before the time-out
    int ExitCode = -1;          // when finished: its exit status, 128 + signal when killed
};

// Runs `argv` (argv[0] a path or a name on PATH) and waits at most `timeout`
// for it to end. `input` goes to its standard input, which is closed
// afterwards (standard input is /dev/null when `input` is null). A program
// that does not take its whole input in time is stopped; one that took it
// but is still running is left to finish and reaped in the background, so
// the caller never hangs on it and it never lingers as a zombie.
TRunResult RunProgram(const std::vector<std::string>& argv, const std::string* input,
                      std::chrono::milliseconds timeout);

// Starts `argv` in a session of its own and does not wait for it (it is
// reaped in the background). False when it could not be started.
bool StartDetached(const std::vector<std::string>& argv);

}  // namespace zr::os
