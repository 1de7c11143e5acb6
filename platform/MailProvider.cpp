#include "platform/MailProvider.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <mutex>

#include "platform/MailAliases.h"
#include "platform/Process.h"

namespace zr::os {

using namespace mapi_codes;

namespace {

std::mutex providerMutex;
std::shared_ptr<TMailProvider> installedProvider;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool DesktopSession() {
    return (!Environment("DISPLAY").empty() || !Environment("WAYLAND_DISPLAY").empty()) &&
           !FindProgram("xdg-email").empty();
}

// Stands for a ZORIRIVE_MAIL value that names no provider: mail is refused
// rather than sent somewhere the user did not choose.
class TMisconfiguredProvider : public TMailProvider {
  public:
    explicit TMisconfiguredProvider(std::string setting) : setting_(std::move(setting)) {}
    std::string Kind() const override { return "misconfigured"; }
    std::uint32_t Send(const TMailMessage&, std::uint32_t) override {
        std::cerr << "ZORIRIVE_MAIL=\"" << setting_
                  << "\" names no mail provider; use client, sendmail or outbox:<folder>\n";
        return MAPI_E_FAILURE;
    }

  private:
    std::string setting_;
};

}  // namespace

std::uint32_t TMailProvider::ResolveName(const std::string& name, std::uint32_t flags,
                                         TResolvedName& resolved) {
    return ResolveMailName(name, DefaultAliasFiles(), resolved);
}

std::string DefaultOutboxFolder() {
    std::string state = Environment("XDG_STATE_HOME");
    // Relative values are to be ignored, as the base directory rules say.
    if (state.empty() || state[0] != '/') {
        std::string home = Environment("HOME");
        if (home.empty())
            if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) home = pw->pw_dir;
        state = (home.empty() ? std::string(".") : home) + "/.local/state";
    }
    return state + "/zoririve/outbox";
}

std::unique_ptr<TMailProvider> MakeMailProvider(std::string_view setting) {
    if (setting.empty())
        return DesktopSession() ? MakeMailClientProvider()
                                : MakeOutboxProvider(DefaultOutboxFolder());
    if (setting == "client") return MakeMailClientProvider();
    if (setting == "sendmail") return MakeSendmailProvider();
    if (setting == "outbox") return MakeOutboxProvider(DefaultOutboxFolder());
    if (setting.substr(0, 7) == "outbox:")
        return MakeOutboxProvider(std::string(setting.substr(7)));
    return std::make_unique<TMisconfiguredProvider>(std::string(setting));
}

std::shared_ptr<TMailProvider> MailProvider() {
    {
        std::lock_guard lock(providerMutex);
        if (installedProvider) return installedProvider;
    }
    return MakeMailProvider(Environment("ZORIRIVE_MAIL"));
}

std::shared_ptr<TMailProvider> SetMailProvider(std::shared_ptr<TMailProvider> provider) {
    std::lock_guard lock(providerMutex);
    std::swap(installedProvider, provider);
    return provider;
}

}  // namespace zr::os
