// The vendor whitelist as the phone decision sees it: vendor ids, entries, their sources.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fakes/device_scene.h"
#include "identification/USB_WriteList.h"

namespace {

using USB::Fake::Entry;
using USB::Fake::FileOf;

class WhiteListTest : public ::testing::Test {
protected:
    bool Has(const std::string& key, USB::PhoneSystemInfo* out = nullptr)
    {
        USB::PhoneSystemInfo info;
        const bool found = list.Query(key, info);
        if (out)
            *out = info;
        return found;
    }

    void Load()
    {
        list.LoadBuiltInVendors();
        result = list.LoadWhiteListFromFile();
    }

    USB::Fake::Scene scene;
    USB::WhiteList list;
    int result = 99;
};

TEST_F(WhiteListTest, VendorListIsTheBuiltInTableThenTheFilesNewIdsInFirstSeenOrder)
{
    scene.WriteShippedWhitelist(FileOf(Entry("ABCD", "0001", "a", "yes") + "," + Entry("18D1", "4EE2", "b", "yes") +
                                       "," + Entry("1234", "0002", "c", "no") + "," + Entry("ABCD", "0003", "d", "no")));
    Load();
    ASSERT_EQ(result, 0);
    ASSERT_EQ(list.m_vendorIds.size(), 60u);
    EXPECT_EQ(list.m_vendorIds[0], "2006");
    EXPECT_EQ(list.m_vendorIds[32], "18D1");
    EXPECT_EQ(list.m_vendorIds[57], "1949");
    EXPECT_EQ(list.m_vendorIds[58], "ABCD");
    EXPECT_EQ(list.m_vendorIds[59], "1234");
    EXPECT_EQ(list.m_entries.size(), 4u);
    EXPECT_EQ(list.m_path, USB::GetExeDirectory() + "whitelist.json");
    EXPECT_TRUE(list.HasVendor("ABCD"));
    EXPECT_FALSE(list.HasVendor("abcd"));

    list.LoadBuiltInVendors();  // a second start adds nothing
    EXPECT_EQ(list.m_vendorIds.size(), 60u);
}

TEST_F(WhiteListTest, QueryTakesFlagAndDescriptionFromTheEntryAndOnlyExactYesIsOpen)
{
    scene.WriteShippedWhitelist(FileOf(Entry("18D1", "4EE2", "Nexus", "yes") + "," +
                                       Entry("18D1", "4EE3", "Capital", "Yes") + "," +
                                       Entry("18D1", "4EE4", "Blank", "yes ")));
    Load();
    USB::PhoneSystemInfo info;
    ASSERT_TRUE(Has("VID_18D1&PID_4EE2", &info));
    EXPECT_TRUE(info.m_isAdbOpen);
    EXPECT_EQ(info.m_description, L"Nexus");
    ASSERT_TRUE(Has("VID_18D1&PID_4EE3", &info));
    EXPECT_FALSE(info.m_isAdbOpen);
    ASSERT_TRUE(Has("VID_18D1&PID_4EE4", &info));
    EXPECT_FALSE(info.m_isAdbOpen);

    USB::PhoneSystemInfo untouched;
    untouched.m_isAdbOpen = true;
    untouched.m_description = L"kept";
    EXPECT_FALSE(list.Query("VID_18D1&PID_9999", untouched));
    EXPECT_TRUE(untouched.m_isAdbOpen);
    EXPECT_EQ(untouched.m_description, L"kept");
}

TEST_F(WhiteListTest, RegistryEntryBeatsFileEntryAndAddsNoVendor)
{
    scene.registry.Set("[" + Entry("18D1", "4EE2", "from registry", "no") + "," + Entry("FEED", "0001", "r", "yes") + "]");
    scene.WriteShippedWhitelist(FileOf(Entry("18D1", "4EE2", "from file", "yes")));
    Load();
    USB::PhoneSystemInfo info;
    ASSERT_TRUE(Has("VID_18D1&PID_4EE2", &info));
    EXPECT_EQ(info.m_description, L"from registry");
    EXPECT_FALSE(info.m_isAdbOpen);
    EXPECT_TRUE(Has("VID_FEED&PID_0001"));
    EXPECT_FALSE(list.HasVendor("FEED"));
}

TEST_F(WhiteListTest, WithinOneSourceTheEarlierElementWins)
{
    scene.WriteShippedWhitelist(FileOf(Entry("18D1", "4EE2", "first", "yes") + "," + Entry("18D1", "4EE2", "second", "no")));
    Load();
    USB::PhoneSystemInfo info;
    ASSERT_TRUE(Has("VID_18D1&PID_4EE2", &info));
    EXPECT_EQ(info.m_description, L"first");
    EXPECT_EQ(list.m_entries.size(), 1u);
}

TEST_F(WhiteListTest, LowerCaseVidIsKeptAsWrittenAndDoesNotMatch)
{
    scene.WriteShippedWhitelist(FileOf(Entry("18d1", "4ee2", "lower", "yes")));
    Load();
    EXPECT_EQ(list.m_vendorIds.back(), "18d1");
    EXPECT_FALSE(Has("VID_18D1&PID_4EE2"));
    EXPECT_TRUE(Has("VID_18d1&PID_4ee2"));
}

TEST_F(WhiteListTest, CloudCopyReplacesTheShippedFileAndEarlierVendorsStay)
{
    scene.WriteShippedWhitelist(FileOf(Entry("AAAA", "0001", "shipped", "yes")));
    Load();
    ASSERT_TRUE(Has("VID_AAAA&PID_0001"));

    scene.WriteCloudWhitelist(FileOf(Entry("BBBB", "0002", "cloud", "yes")));
    EXPECT_EQ(list.LoadWhiteListFromFile(), 0);
    EXPECT_EQ(list.m_path, scene.platform.DataDirectory() + "cloudwhitelist.json");
    EXPECT_EQ(list.m_cloudPath, list.m_path);
    EXPECT_FALSE(Has("VID_AAAA&PID_0001"));
    EXPECT_TRUE(Has("VID_BBBB&PID_0002"));
    EXPECT_TRUE(list.HasVendor("AAAA"));
    EXPECT_TRUE(list.HasVendor("BBBB"));
}

TEST_F(WhiteListTest, MissingFileLeavesTheRegistryEntriesAndSaysSoOnTheConsole)
{
    scene.registry.Set("[" + Entry("18D1", "4EE2", "r", "yes") + "]");
    testing::internal::CaptureStdout();
    Load();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(console.rfind("cant open file " + USB::GetExeDirectory() + "whitelist.json", 0), 0u) << console;
    EXPECT_TRUE(Has("VID_18D1&PID_4EE2"));
}

TEST_F(WhiteListTest, TextThatIsNotAWhitelistGivesNoFileEntries)
{
    for (const char* text : {"", "not json {", "{\"data\":{\"vid\":\"18D1\"}}", "[1,2]", "{\"other\":[]}",
                             "{\"data\":[7,\"x\",null]}"}) {
        scene.WriteShippedWhitelist(text);
        Load();
        EXPECT_EQ(result, 0) << text;
        EXPECT_TRUE(list.m_entries.empty()) << text;
    }
    EXPECT_EQ(list.m_vendorIds.size(), 58u);
}

TEST_F(WhiteListTest, UnreadableRegistryValueIsLoggedAndTheFileStillLoads)
{
    scene.registry.state = USB::Fake::Registry::kUnreadable;
    scene.WriteShippedWhitelist(FileOf(Entry("18D1", "4EE2", "f", "yes")));
    Load();
    EXPECT_EQ(scene.LogCount("LoadWhiteListFromFile read register faild\n"), 1u);
    EXPECT_TRUE(Has("VID_18D1&PID_4EE2"));
}

TEST_F(WhiteListTest, RegistryValueFillingTheWholeBufferIsStillRead)
{
    std::string value = "[" + Entry("18D1", "4EE2", "full", "yes") + "]";
    value.insert(1, 10240 - value.size(), ' ');
    ASSERT_EQ(value.size(), 10240u);
    scene.registry.Set(value + "garbage beyond the buffer");
    Load();
    EXPECT_TRUE(Has("VID_18D1&PID_4EE2"));
}

TEST_F(WhiteListTest, ReadersNeverSeeAReloadHalfDone)
{
    scene.WriteShippedWhitelist(FileOf(Entry("18D1", "4EE2", "n", "yes") + "," + Entry("ABCD", "0001", "x", "no")));
    Load();
    std::atomic<bool> done{false};
    std::thread reloader([&] {
        for (int i = 0; i < 200; ++i)
            list.LoadWhiteListFromFile();
        done = true;
    });
    int misses = 0;
    while (!done) {
        misses += Has("VID_18D1&PID_4EE2") ? 0 : 1;
        misses += list.HasVendor("ABCD") ? 0 : 1;
    }
    reloader.join();
    EXPECT_EQ(misses, 0);
}

}  // namespace
