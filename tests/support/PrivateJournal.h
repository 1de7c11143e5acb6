// A journal of the tests' own: the test program moves into a mount namespace
// of its own before anything else runs (EnterPrivateJournalNamespace, first
// thing in its main), where fresh tmpfs mounts lie over everything a journal
// and its readers touch:
//
//   /run/systemd, /run/log     the journal's sockets and its volatile files
//   /var/log/journal           (when it exists) persistent files
//   /usr/lib/systemd/catalog,  catalog sources and their database
//   /var/lib/systemd/catalog
//   /dev                       null, zero, full, random, urandom, tty, ptmx,
//                              pts, shm, the fd links, and log -> the private
//                              journal's syslog socket (no kmsg, no console)
//
// so that the real paths (/run/systemd/journal/socket, /dev/log) are the
// private journal's, and nothing sent or installed reaches the machine's. A
// journald started here (TPrivateJournal) keeps its files in memory, forwards
// nothing and limits no rate. Where namespaces are refused, the tests skip
// with the reason PrivateNamespaceRefusal gives.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace zr::testing {

// Moves this process into the private namespace; call while the process has
// one thread. Never fails: a refusal is kept for the tests to skip with.
void EnterPrivateJournalNamespace();
// Why the process is not in the private namespace; "" when it is.
const std::string& PrivateNamespaceRefusal();
// Both catalog folders are private here (they exist on this machine).
bool PrivateCatalog();

// A journal entry as journalctl -o json gives it: each field's values (a
// field may repeat), binary values as their bytes.
using TJournalRecord = std::map<std::string, std::vector<std::string>>;
// The first value of `field`, "" without one.
std::string FieldOf(const TJournalRecord& record, const std::string& field);

// The entries of the journal files in `directory` (journalctl -D ... -o json)
// that match `matches` ("FIELD=value" each).
std::vector<TJournalRecord> ReadJournal(const std::string& directory,
                                        const std::vector<std::string>& matches);
// Parses journalctl's JSON lines (exposed for the reader's own use).
std::vector<TJournalRecord> ParseJournalJson(const std::string& text);

// Runs a command line through the shell; its exit status, its standard
// output in `output` when given.
int RunCommand(const std::string& command, std::string* output = nullptr);

// A private systemd-journald with an empty journal, stopped when the object
// goes.
class TPrivateJournal {
  public:
    static constexpr const char* Directory = "/run/log/journal";

    TPrivateJournal();
    ~TPrivateJournal();
    TPrivateJournal(const TPrivateJournal&) = delete;
    TPrivateJournal& operator=(const TPrivateJournal&) = delete;

    // Listening on its sockets.
    bool Running() const { return pid_ > 0; }
    void Stop();

    // The entries matching `matches`, once at least `count` of them are
    // there (waiting up to five seconds for journald to store them).
    std::vector<TJournalRecord> WaitForEntries(const std::vector<std::string>& matches,
                                               std::size_t count) const;

  private:
    pid_t pid_ = -1;
};

// Starts `argv` with `listenFd` (when not -1) as its descriptor 3, passed
// as systemd passes sockets (LISTEN_FDS, LISTEN_PID), standard output and
// error to `logFile`; it dies with this process.
pid_t StartProgram(const std::vector<std::string>& argv, const std::string& logFile,
                   int listenFd = -1);
// Ends it (SIGTERM, then SIGKILL after a second) and returns its exit status.
int StopProgram(pid_t pid);
// Waits up to `seconds` for it to end by itself; its exit status, -1 if it
// did not end.
int WaitForProgram(pid_t pid, double seconds);

}  // namespace zr::testing
