#include <gtest/gtest.h>

#include <memory>

#include "core/LogBase.h"
#include "framework/FormReader.h"
#include "framework/FormWriter.h"
#include "framework/TypeInfo.h"

namespace zr {
namespace {

TEST(LogBaseConstruction, StartsInactiveWithDefaultFileAndSettings) {
    TKVLogBase log(nullptr);
    EXPECT_FALSE(log.Active());
    EXPECT_EQ(log.LogFile(), "kvevents.log");
    ASSERT_NE(log.SendTo(), nullptr);
    const TKVLSendTo& s = *log.SendTo();
    EXPECT_EQ(s.EMail() + s.EMailSubject() + s.WWW(), "");
    EXPECT_TRUE(s.EMailOpenBeforeSend() && s.AttachScreenShot() && s.ResolveNames());
    EXPECT_FALSE(s.AttachLog());
    EXPECT_EQ(s.ScreenshotFormat(), sfBitmap);
    EXPECT_EQ(s.Options().Mask(), 7u);
    EXPECT_EQ(s.AdditionalFiles()->Count(), 0);
    EXPECT_EQ(KVLScreenshotExt[sfJpeg], ".jpg");
    EXPECT_EQ(GetEnumName(EnumInfo<TKVLDialogOption>(), 2), "doWeb");
}

TEST(LogBaseConstruction, TheDefaultBodyIsFourLinesOf613Characters) {
    const std::string body = TKVLSendTo().EMailBody();
    EXPECT_EQ(body.size(), 613u);
    EXPECT_EQ(body.find("This message contain technical information about program execution "
                        "error.\r\nPlease, press the \"Send\" button"),
              0u);
    EXPECT_NE(body.find("If \"Send\" button is disabled, please forward this message to %s. Also, "
                        "you can send this file %s as"),
              std::string::npos);
    EXPECT_NE(body.find("horisontal line below.\r\n" + std::string(74, '-') +
                        "\r\nPLEASE, INSERT YOUR COMMENT HERE: "),
              std::string::npos);
    EXPECT_EQ(body.back(), ' ');
}

struct CountedSendTo : TKVLSendTo {
    static inline int freed = 0;
    ~CountedSendTo() override { ++freed; }
};

TEST(LogBaseSendTo, EveryAssignedObjectIsFreedExactlyOnce) {
    CountedSendTo::freed = 0;
    auto* first = new CountedSendTo;
    auto* second = new CountedSendTo;
    {
        TKVLogBase log(nullptr), other(nullptr);
        log.SetSendTo(first);
        EXPECT_EQ(log.SendTo(), first);  // by reference, no copy
        log.SetSendTo(first);
        EXPECT_THROW(other.SetSendTo(first), EInvalidOperation);  // both would free it
        EXPECT_THROW(log.SetSendTo(nullptr), EInvalidOperation);
        EXPECT_EQ(CountedSendTo::freed, 0);
        SetObjectProp(&log, "SendTo", second);
        EXPECT_EQ(CountedSendTo::freed, 1);
    }
    EXPECT_EQ(CountedSendTo::freed, 2);

    TKVLSendTo settings;
    TStringList mine;
    mine.SetText("a.txt");
    settings.SetAdditionalFiles(&mine);
    mine.Clear();  // the settings hold a copy
    EXPECT_EQ(settings.AdditionalFiles()->Text(), "a.txt\r\n");
}

TEST(LogBaseFormFile, StoresActiveAlwaysAndTheRestWhenChanged) {
    TComponent form(nullptr);
    auto* log = new TKVLogBase(&form);
    log->SetName("Log1");
    std::string plain = WriteComponentToText(log);
    EXPECT_NE(plain.find("Active = False"), std::string::npos) << plain;
    EXPECT_EQ(plain.find("LogFile"), std::string::npos) << plain;
    EXPECT_EQ(plain.find("SendTo"), std::string::npos) << plain;

    log->SetActive(true);
    log->SetLogFile("app.log");
    log->SendTo()->SetEMail("support@example.com;CC:boss");
    log->SendTo()->SetOptions({doEmail});
    log->SendTo()->SetScreenshotFormat(sfJpeg);
    log->SendTo()->AdditionalFiles()->Add("extra.txt");
    std::string changed = WriteComponentToText(log);
    EXPECT_NE(changed.find("SendTo.Options = [doEmail]"), std::string::npos) << changed;
    EXPECT_EQ(changed.find("EMailBody"), std::string::npos) << changed;

    TComponent other(nullptr);
    std::unique_ptr<TComponent> read(ReadComponentFromText(changed, &other));
    auto* back = dynamic_cast<TKVLogBase*>(read.get());
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->Active());
    EXPECT_EQ(back->SendTo()->EMail(), "support@example.com;CC:boss");
    EXPECT_EQ(back->SendTo()->AdditionalFiles()->Text(), "extra.txt\r\n");
    EXPECT_EQ(WriteComponentToText(back), changed);
}

}  // namespace
}  // namespace zr
