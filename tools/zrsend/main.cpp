// zrsend: shows what waits in the crash collector's outbox, sends it now, or
// drops it.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "platform/CollectorDelivery.h"
#include "platform/CollectorEnvelope.h"
#include "platform/CollectorOutbox.h"
#include "tools/common/EscapedText.h"
#include "tools/common/Version.h"

namespace {

using namespace zr::os;
using namespace zr::os::collector;

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

const char* const Usage =
    "usage: zrsend list [--outbox DIR]\n"
    "       zrsend send [--outbox DIR]\n"
    "       zrsend drop [--outbox DIR] (--all | NAME...)\n"
    "       zrsend --help | --version\n"
    "\n"
    "list shows each report waiting for a crash collector, oldest first: its file name,\n"
    "age, size, attempts so far, exception class and message. send sends every waiting\n"
    "report now to the collector it names (retry times are passed over; a collector's\n"
    "request to wait is kept). drop removes the named reports, or all of them.\n"
    "\n"
    "The outbox is DIR, else $ZORIRIVE_COLLECTOR_OUTBOX, else\n"
    "$XDG_STATE_HOME/zoririve/collector ($XDG_STATE_HOME is ~/.local/state when unset);\n"
    "it is private to its user (folder 0700, files 0600). $ZORIRIVE_COLLECTOR_CA names\n"
    "a CA file for collectors with a private certificate.\n"
    "Exit status: 0 when everything went (send) or was done, 1 when reports are left\n"
    "or the outbox could not be used, 2 for a wrong command line.\n";

struct TUsageError {
    std::string Text;
};
struct TFailure {
    std::string Text;
};

std::string OutboxOption(std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--outbox") continue;
        if (i + 1 >= args.size()) throw TUsageError{"--outbox needs a folder"};
        const std::string folder = args[i + 1];
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        return folder;
    }
    return "";
}

void OpenOutbox(TOutbox& outbox, const std::string& folder) {
    const DWORD status = folder.empty() ? outbox.Open() : outbox.OpenAt(folder);
    if (status != ERROR_SUCCESS)
        throw TFailure{"cannot open the outbox " + outbox.Path() + ": " +
                       std::string(SystemErrorText(status))};
}

std::string Age(long long millis) {
    const long long seconds = millis / 1000;
    if (seconds < 120) return std::to_string(seconds) + "s";
    if (seconds < 7200) return std::to_string(seconds / 60) + "m";
    if (seconds < 172800) return std::to_string(seconds / 3600) + "h";
    return std::to_string(seconds / 86400) + "d";
}

void List(std::vector<std::string>& args) {
    TOutbox outbox;
    OpenOutbox(outbox, OutboxOption(args));
    if (!args.empty()) throw TUsageError{"list takes no arguments"};
    const long long now = NowMillis();
    for (const TWaiting& waiting : outbox.List()) {
        std::string text;
        envelope::TEnvelope parsed;
        std::string error;
        std::string type = "?", value = "(damaged: " + error + ")";
        if (outbox.Read(waiting.Name, text) == ERROR_SUCCESS && envelope::Parse(text, parsed, error)) {
            type = value = "";
            json::TValue event;
            const envelope::TItem* item = parsed.FirstOf("event");
            if (item != nullptr && json::Parse(item->Payload, event)) {
                const json::TValue* values = event.Find("exception");
                values = values != nullptr ? values->Find("values") : nullptr;
                if (values != nullptr && values->Kind == json::TValue::Array && !values->Items.empty()) {
                    type = values->Items[0].StringAt("type");
                    value = values->Items[0].StringAt("value");
                }
            }
        } else {
            value = "(damaged: " + error + ")";
        }
        const TRetryState retry = outbox.Retry(waiting.Name);
        std::cout << waiting.Name << "  " << Age(now - waiting.CreatedMillis) << "  "
                  << waiting.Bytes << " bytes  " << retry.Attempts << " tries  "
                  << zr::tools::Escaped(type) << ": " << zr::tools::Escaped(value) << "\n";
    }
}

int Send(std::vector<std::string>& args) {
    TOutbox outbox;
    OpenOutbox(outbox, OutboxOption(args));
    if (!args.empty()) throw TUsageError{"send takes no arguments"};
    std::map<std::string, TRoute> routes;
    std::string ca;
    if (const char* file = std::getenv("ZORIRIVE_COLLECTOR_CA"); file && *file) ca = file;
    TTransport transport;
    const TPass pass = DeliverDue(
        outbox, transport,
        [&](const std::string& dsn) -> const TRoute* {
            auto known = routes.find(dsn);
            if (known != routes.end()) return &known->second;
            TRoute route;
            std::string error;
            if (!ParseCollectorDsn(dsn, route.Dsn, error)) {
                std::cerr << "zrsend: " << zr::tools::Escaped(error) << "\n";
                return nullptr;
            }
            route.Transport.CaFile = ca;
            route.Note = [](const std::string& line) { std::cerr << "zrsend: " << line << "\n"; };
            return &routes.emplace(dsn, route).first->second;
        },
        BackoffFromEnvironment(), true);
    const std::size_t left = outbox.List().size();
    std::cout << "sent " << pass.Sent << ", dropped " << pass.Dropped << ", waiting " << left
              << "\n";
    return left == 0 ? 0 : ExitFailed;
}

void Drop(std::vector<std::string>& args) {
    TOutbox outbox;
    OpenOutbox(outbox, OutboxOption(args));
    if (args.empty()) throw TUsageError{"drop needs --all or the names of reports"};
    std::vector<std::string> names;
    if (args.size() == 1 && args[0] == "--all") {
        for (const TWaiting& waiting : outbox.List()) names.push_back(waiting.Name);
    } else {
        const std::vector<TWaiting> waiting = outbox.List();
        for (const std::string& name : args) {
            bool known = false;
            for (const TWaiting& item : waiting) known = known || item.Name == name;
            if (!known) throw TFailure{"no report '" + zr::tools::Escaped(name) + "' waits"};
            names.push_back(name);
        }
    }
    for (const std::string& name : names) outbox.Remove(name);
    std::cout << "dropped " << names.size() << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (int status; zr::tools::AnswerHelpOrVersion(args, "zrsend", Usage, status)) return status;
    try {
        if (args.empty()) throw TUsageError{"no command given"};
        const std::string command = args[0];
        args.erase(args.begin());
        if (command == "list") {
            List(args);
        } else if (command == "send") {
            return Send(args);
        } else if (command == "drop") {
            Drop(args);
        } else {
            throw TUsageError{"unknown command '" + command + "'"};
        }
        return 0;
    } catch (const TUsageError& e) {
        std::cerr << "zrsend: " << e.Text << "\n" << Usage;
        return ExitUsage;
    } catch (const TFailure& e) {
        std::cerr << "zrsend: " << e.Text << "\n";
        return ExitFailed;
    }
}
