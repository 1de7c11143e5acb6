// Simple MAPI over the mail provider: how records become a message, what
// a resolved record holds and who may free it.
#include "framework/Mapi.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/RecordingMailProvider.h"

namespace zr {
namespace {

using os::TRecordingMailProvider;

class Mapi : public ::testing::Test {
  protected:
    std::shared_ptr<TRecordingMailProvider> mail_ = std::make_shared<TRecordingMailProvider>();
    os::TScopedMailProvider scoped_{mail_};
};

TEST_F(Mapi, RecipientsGoToTheirAddressElseTheirEntryIdElseTheirName) {
    char id[] = "SMTP:carl@example.org";
    MapiRecipDesc recips[4] = {
        {0, MAPI_TO, const_cast<char*>("Anna"), const_cast<char*>("smtp:anna@example.org"), 0,
         nullptr},
        {0, MAPI_CC, const_cast<char*>("bert@example.org"), nullptr, 0, nullptr},
        {0, MAPI_BCC, const_cast<char*>("Carl"), const_cast<char*>(""), sizeof id, id},
        {0, MAPI_TO, nullptr, nullptr, 0, nullptr},  // nobody: left for the user to fill in
    };
    MapiMessage message{};
    message.nRecipCount = 4;
    message.lpRecips = recips;
    ASSERT_EQ(MapiSendMail(0, 0, &message, MAPI_DIALOG, 0), SUCCESS_SUCCESS);
    const auto sent = mail_->Sent().at(0).Message;
    ASSERT_EQ(sent.Recipients.size(), 3u);
    EXPECT_EQ(sent.Recipients[0].Address, "anna@example.org");
    EXPECT_EQ(sent.Recipients[0].Name, "Anna");
    EXPECT_EQ(sent.Recipients[1].Address, "bert@example.org");
    EXPECT_EQ(sent.Recipients[2].Address, "carl@example.org");
    EXPECT_EQ(sent.Subject, "");  // nil texts are empty
    EXPECT_EQ(sent.Body, "");

    // Without a window to fill it in, a recipient without an address stops the send.
    EXPECT_EQ(MapiSendMail(0, 0, &message, MAPI_LOGON_UI, 0), MAPI_E_UNKNOWN_RECIPIENT);
    EXPECT_EQ(mail_->Sent().size(), 1u);
}

TEST_F(Mapi, AResolvedRecordHoldsItsTextsAndOnlyItIsFreed) {
    mail_->QueueResolveAnswer("anna", {SUCCESS_SUCCESS, {"Anna Berg", "anna@example.org"}});
    lpMapiRecipDesc record = nullptr;
    ASSERT_EQ(MapiResolveName(0, 0, "anna", 0, 0, &record), SUCCESS_SUCCESS);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->ulRecipClass, MAPI_TO);
    EXPECT_STREQ(record->lpszName, "Anna Berg");
    EXPECT_STREQ(record->lpszAddress, "anna@example.org");
    EXPECT_EQ(std::string(static_cast<const char*>(record->lpEntryID), record->ulEIDSize),
              "anna@example.org");
    EXPECT_EQ(MapiFreeBuffer(record), SUCCESS_SUCCESS);
    EXPECT_EQ(MapiFreeBuffer(record), MAPI_E_FAILURE);  // not twice
    int notOurs = 0;
    EXPECT_EQ(MapiFreeBuffer(&notOurs), MAPI_E_FAILURE);
    EXPECT_EQ(MapiFreeBuffer(nullptr), SUCCESS_SUCCESS);

    record = reinterpret_cast<lpMapiRecipDesc>(&notOurs);
    EXPECT_EQ(MapiResolveName(0, 0, "nobody", MAPI_DIALOG, 0, &record), MAPI_E_UNKNOWN_RECIPIENT);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(mail_->ResolveCalls().back().Flags, MAPI_DIALOG);
}

TEST(MapiBuffers, LongTextsAreCutAtACharacterBoundary) {
    TMapiTextBuffer buffer;
    buffer.fill('#');
    EXPECT_STREQ(CopyToMapiBuffer(buffer, "short"), "short");
    const std::string longText(300, 'a');
    EXPECT_EQ(std::string(CopyToMapiBuffer(buffer, longText)), longText.substr(0, 256));
    // 255 ASCII characters and a two-byte one: the whole character does not
    // fit, so it is left out rather than cut in half.
    const std::string mixed = std::string(255, 'a') + "\xC3\xA4" + "tail";
    EXPECT_EQ(std::string(CopyToMapiBuffer(buffer, mixed)), std::string(255, 'a'));
}

}  // namespace
}  // namespace zr
