// A mail provider that sends nothing: it keeps every message and every name
// lookup it is given, and answers as it was told to. Tests install it to see
// exactly what a component hands to Simple MAPI.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MailProvider.h"

namespace zr::os {

class TRecordingMailProvider : public TMailProvider {
  public:
    struct TSentMessage {
        TMailMessage Message;
        std::uint32_t Flags = 0;
        // What each attachment held at the moment of sending; nullopt when
        // the file was not there.
        std::vector<std::optional<std::string>> AttachmentBytes;
    };
    struct TResolveCall {
        std::string Name;
        std::uint32_t Flags = 0;
    };
    struct TResolveAnswer {
        std::uint32_t Code = mapi_codes::SUCCESS_SUCCESS;
        TResolvedName Resolved;
    };

    std::string Kind() const override { return "recording"; }
    // Records the message and answers with SendResult.
    std::uint32_t Send(const TMailMessage& message, std::uint32_t flags) override;
    // Records the call; answers with the next answer queued for the name,
    // else: a name holding "@" resolves to itself, any other is unknown.
    std::uint32_t ResolveName(const std::string& name, std::uint32_t flags,
                              TResolvedName& resolved) override;

    void SetSendResult(std::uint32_t code);
    void QueueResolveAnswer(const std::string& name, TResolveAnswer answer);

    std::vector<TSentMessage> Sent() const;
    std::vector<TResolveCall> ResolveCalls() const;

  private:
    mutable std::mutex mutex_;
    std::uint32_t sendResult_ = mapi_codes::SUCCESS_SUCCESS;
    std::map<std::string, std::deque<TResolveAnswer>> answers_;
    std::vector<TSentMessage> sent_;
    std::vector<TResolveCall> resolveCalls_;
};

}  // namespace zr::os
