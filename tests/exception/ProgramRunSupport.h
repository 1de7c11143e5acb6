// A test program run in a process of its own, as applications run: its
// standard output and the log file it was given, read after it ended.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "framework/SysUtils.h"

extern char** environ;

namespace zr::testing {

struct TRun {
    int Status = 0;
    std::string Output;
    std::string Log;
};

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `program argument <folder>/<name>.log`; one that hangs is killed after
// half a minute and its output says "hung".
inline TRun RunProgram(const char* program, const std::string& argument, const std::string& folder,
                       const std::string& name) {
    TRun run;
    const std::string log = folder + "/" + name + ".log";
    const std::string out = folder + "/" + name + ".out";
    DeleteFile(log);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const char* argv[] = {program, argument.c_str(), log.c_str(), nullptr};
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        run.Output = "could not start " + std::string(program) + "\n";
        return run;
    }
    bool hung = true;
    for (int waited = 0; waited < 3000; ++waited) {
        if (waitpid(pid, &run.Status, WNOHANG) == pid) {
            hung = false;
            break;
        }
        usleep(10000);
    }
    if (hung) {
        kill(pid, SIGKILL);
        waitpid(pid, &run.Status, 0);
    }
    run.Output = ReadWhole(out) + (hung ? "\nhung\n" : "");
    run.Log = ReadWhole(log);
    return run;
}

// The rest of the output line that starts with `key` and a blank.
inline std::string OutputValue(const std::string& output, const std::string& key) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
    return "";
}

}  // namespace zr::testing
