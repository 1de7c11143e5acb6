#include "watchers/LogRegistry.h"

#include <gtest/gtest.h>

#include "framework/TypeInfo.h"

using namespace zr;

TEST(RegistryLog, DefaultsAndPublishedSettings) {
    TKVRegistryLog log(nullptr);
    EXPECT_FALSE(log.Active());
    EXPECT_EQ(log.NotificationThread(), nullptr);
    EXPECT_EQ(log.RootKey(), 0x80000002u);
    EXPECT_EQ(log.Key(), "Software\\Varnholt");
    EXPECT_EQ(log.Options().Mask(), 3u);
    EXPECT_EQ(GetClass("TKVRegistryLog"), &TKVRegistryLog::StaticClassInfo());

    // RootKey has a declared default; Key and Options are always stored.
    const TClassInfo& info = TKVRegistryLog::StaticClassInfo();
    EXPECT_FALSE(IsStoredProp(&log, *info.FindProperty("RootKey")));
    EXPECT_TRUE(IsStoredProp(&log, *info.FindProperty("Key")));
    EXPECT_TRUE(IsStoredProp(&log, *info.FindProperty("Options")));
    EXPECT_EQ(info.FindProperty("OnRegistryNotification")->Kind, tkMethod);
    EXPECT_EQ(GetEnumName(*info.FindProperty("Options")->EnumType, 4), "roWatchSubFolders");
}
