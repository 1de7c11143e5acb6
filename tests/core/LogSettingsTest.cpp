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
    EXPECT_EQ(s.EMail(), "");
    EXPECT_EQ(s.EMailSubject(), "");
    EXPECT_EQ(s.WWW(), "");
    EXPECT_TRUE(s.EMailOpenBeforeSend());
    EXPECT_TRUE(s.AttachScreenShot());
    EXPECT_EQ(s.ScreenshotFormat(), sfBitmap);
    EXPECT_FALSE(s.AttachLog());
    EXPECT_TRUE(s.ResolveNames());
    EXPECT_EQ(s.Options().Mask(), 7u);
    ASSERT_NE(s.AdditionalFiles(), nullptr);
    EXPECT_EQ(s.AdditionalFiles()->Count(), 0);
    EXPECT_EQ(KVLScreenshotExt[sfBitmap], ".bmp");
    EXPECT_EQ(KVLScreenshotExt[sfJpeg], ".jpg");
}

TEST(LogBaseConstruction, TheDefaultBodyIsFourLinesOf613Characters) {
    TKVLSendTo settings;
    const std::string& body = settings.EMailBody();
    EXPECT_EQ(body.size(), 613u);
    const std::string head =
        "This message contain technical information about program execution error.\r\n";
    EXPECT_EQ(body.substr(0, head.size()), head);
    EXPECT_NE(body.find("forward this message to %s. Also, you can send this file %s as"),
              std::string::npos);
    EXPECT_NE(body.find("press the \"Send\" button"), std::string::npos);
    EXPECT_NE(body.find("If \"Send\" button is disabled"), std::string::npos);
    EXPECT_NE(body.find("after horisontal line below.\r\n" + std::string(74, '-') +
                        "\r\nPLEASE, INSERT YOUR COMMENT HERE: "),
              std::string::npos);
    EXPECT_EQ(body.substr(body.size() - 2), ": ") << "ends in one blank, no line break";
}

TEST(LogBaseConstruction, EnumerationsArePublishedInOrder) {
    EXPECT_EQ(GetEnumName(EnumInfo<TKVLScreenshotFormat>(), 1), "sfJpeg");
    EXPECT_EQ(GetEnumName(EnumInfo<TKVLDialogOption>(), 0), "doScreenshot");
    EXPECT_EQ(GetEnumName(EnumInfo<TKVLDialogOption>(), 2), "doWeb");
    EXPECT_EQ(TKVLDialogOptions{doWeb}.Mask(), 4u);
}

// Counts its own deaths so that ownership mistakes show as numbers.
struct CountedSendTo : TKVLSendTo {
    static inline int freed = 0;
    ~CountedSendTo() override { ++freed; }
};

TEST(LogBaseSendTo, EveryAssignedObjectIsFreedExactlyOnce) {
    CountedSendTo::freed = 0;
    auto* first = new CountedSendTo;
    auto* second = new CountedSendTo;
    {
        TKVLogBase log(nullptr);
        log.SetSendTo(first);
        EXPECT_EQ(log.SendTo(), first);  // by reference, no copy
        log.SetSendTo(first);            // again: nothing changes
        EXPECT_EQ(CountedSendTo::freed, 0);
        SetObjectProp(&log, "SendTo", second);
        EXPECT_EQ(CountedSendTo::freed, 1);
    }
    EXPECT_EQ(CountedSendTo::freed, 2);
}

TEST(LogBaseSendTo, RefusesNothingAndAnotherLogsObject) {
    TKVLogBase one(nullptr), two(nullptr);
    TKVLSendTo* held = one.SendTo();
    EXPECT_THROW(two.SetSendTo(held), EInvalidOperation);
    EXPECT_THROW(two.SetSendTo(nullptr), EInvalidOperation);
    EXPECT_EQ(one.SendTo(), held);
    EXPECT_NE(two.SendTo(), nullptr);
    EXPECT_NE(two.SendTo(), held);
}

TEST(LogBaseSendTo, AdditionalFilesAreCopiedIn) {
    TKVLSendTo settings;
    TStringList mine;
    mine.SetText("a.txt\nb.txt");
    settings.SetAdditionalFiles(&mine);
    mine.Clear();
    EXPECT_EQ(settings.AdditionalFiles()->Text(), "a.txt\r\nb.txt\r\n");
    EXPECT_NE(settings.AdditionalFiles(), &mine);
}

TEST(LogBaseFormFile, StoresActiveAlwaysAndTheRestWhenChanged) {
    TComponent form(nullptr);
    form.SetName("Form1");
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
    EXPECT_EQ(back->LogFile(), "app.log");
    EXPECT_EQ(back->SendTo()->EMail(), "support@example.com;CC:boss");
    EXPECT_EQ(back->SendTo()->Options(), TKVLDialogOptions{doEmail});
    EXPECT_EQ(back->SendTo()->ScreenshotFormat(), sfJpeg);
    EXPECT_EQ(back->SendTo()->AdditionalFiles()->Text(), "extra.txt\r\n");
    EXPECT_EQ(back->SendTo()->EMailBody(), KVLDefaultEMailBody);
    EXPECT_EQ(WriteComponentToText(back), changed);
}

}  // namespace
}  // namespace zr
