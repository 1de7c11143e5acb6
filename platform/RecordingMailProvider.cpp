#include "platform/RecordingMailProvider.h"

#include "platform/FileContent.h"

namespace zr::os {

using namespace mapi_codes;

namespace {

std::optional<std::string> ContentOf(const std::string& path) {
    std::string bytes;
    if (!ReadFileContent(path, bytes)) return std::nullopt;
    return bytes;
}

}  // namespace

std::uint32_t TRecordingMailProvider::Send(const TMailMessage& message, std::uint32_t flags) {
    TSentMessage sent{message, flags, {}};
    for (const TMailAttachment& file : message.Attachments)
        sent.AttachmentBytes.push_back(ContentOf(file.Path));
    std::lock_guard lock(mutex_);
    sent_.push_back(std::move(sent));
    return sendResult_;
}

std::uint32_t TRecordingMailProvider::ResolveName(const std::string& name, std::uint32_t flags,
                                                  TResolvedName& resolved) {
    std::lock_guard lock(mutex_);
    resolveCalls_.push_back({name, flags});
    if (auto it = answers_.find(name); it != answers_.end() && !it->second.empty()) {
        const TResolveAnswer answer = it->second.front();
        it->second.pop_front();
        if (answer.Code == SUCCESS_SUCCESS) resolved = answer.Resolved;
        return answer.Code;
    }
    if (name.find('@') == std::string::npos) return MAPI_E_UNKNOWN_RECIPIENT;
    resolved = {name, name};
    return SUCCESS_SUCCESS;
}

void TRecordingMailProvider::SetSendResult(std::uint32_t code) {
    std::lock_guard lock(mutex_);
    sendResult_ = code;
}

void TRecordingMailProvider::QueueResolveAnswer(const std::string& name, TResolveAnswer answer) {
    std::lock_guard lock(mutex_);
    answers_[name].push_back(std::move(answer));
}

std::vector<TRecordingMailProvider::TSentMessage> TRecordingMailProvider::Sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::vector<TRecordingMailProvider::TResolveCall> TRecordingMailProvider::ResolveCalls() const {
    std::lock_guard lock(mutex_);
    return resolveCalls_;
}

}  // namespace zr::os
