// The vendor whitelist as the phone decision sees it: vendor ids, entries and their sources.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "fakes/device_scene.h"
#include "identification/whitelist.h"

namespace {

using namespace USB;
using Fake::Entry;
using Fake::FileOf;

class WhiteListTest : public ::testing::Test {
protected:
    // "description|adb open" of the entry, "-" without one.
    std::string Query(const std::string& key)
    {
        PhoneSystemInfo info;
        info.m_description = "kept";
        if (!list.Query(key, info))
            return info.m_description == "kept" ? "-" : "touched";
        return info.m_description + (info.m_isAdbOpen ? "|open" : "|closed");
    }
    bool Load()
    {
        list.LoadBuiltInVendors();
        return list.LoadWhiteListFromFile();
    }

    Fake::Scene scene;
    WhiteList list;
};

TEST_F(WhiteListTest, EntriesFromTheRegistryAndTheFile)
{
    const std::string e = Entry("18D1", "4EE2", "from file", "yes");
    const struct {
        const char* why;
        std::string registry;
        std::string file;
        const char* key;
        const char* found;
    } rows[] = {
        {"file entry", "", FileOf(e), "VID_18D1&PID_4EE2", "from file|open"},
        {"only exact yes is open", "",
         FileOf(Entry("18D1", "4EE3", "c", "Yes") + "," + Entry("18D1", "4EE4", "b", "yes ")), "VID_18D1&PID_4EE3",
         "c|closed"},
        {"the earlier element wins", "", FileOf(e + "," + Entry("18D1", "4EE2", "second", "no")), "VID_18D1&PID_4EE2",
         "from file|open"},
        {"the registry beats the file", "[" + Entry("18D1", "4EE2", "from registry", "no") + "]", FileOf(e),
         "VID_18D1&PID_4EE2", "from registry|closed"},
        {"lower case is kept as written", "", FileOf(Entry("18d1", "4ee2", "lower", "yes")), "VID_18D1&PID_4EE2", "-"},
        {"unknown model", "", FileOf(e), "VID_18D1&PID_9999", "-"},
        {"registry, no file", "[" + Entry("18D1", "4EE2", "r", "yes") + "]", "", "VID_18D1&PID_4EE2", "r|open"},
    };
    for (const auto& row : rows) {
        row.registry.empty() ? void(scene.registry.state = Fake::Registry::kNoKey) : scene.registry.Set(row.registry);
        if (!row.file.empty())
            scene.WriteShippedWhitelist(row.file);
        else
            std::remove((GetExeDirectory() + "whitelist.json").c_str());
        EXPECT_EQ(Load(), !row.file.empty()) << row.why;
        EXPECT_EQ(Query(row.key), row.found) << row.why;
    }
    scene.registry.state = Fake::Registry::kNoKey;
    for (const char* text : {"", "not json {", "{\"data\":{\"vid\":\"18D1\"}}", "[1,2]", "{\"data\":[7,\"x\",null]}"}) {
        scene.WriteShippedWhitelist(text);
        EXPECT_TRUE(Load()) << text;
        EXPECT_EQ(Query("VID_18D1&PID_4EE2"), "-") << text;  // what the last load had is gone
    }
    scene.registry.state = Fake::Registry::kUnreadable;  // logged; the file still loads
    scene.WriteShippedWhitelist(FileOf(e));
    Load();
    EXPECT_EQ(Query("VID_18D1&PID_4EE2"), "from file|open");
    EXPECT_EQ(scene.platform.LogCount("LoadWhiteListFromFile read register faild\n"), 1u);
}

TEST_F(WhiteListTest, VendorsAreTheBuiltInsThenTheFilesNewIdsAndACloudCopyReplacesTheFile)
{
    scene.registry.Set("[" + Entry("FEED", "0001", "r", "yes") + "]");  // the registry adds no vendor
    scene.WriteShippedWhitelist(FileOf(Entry("ABCD", "0001", "a", "yes") + "," + Entry("18D1", "4EE2", "b", "yes") +
                                       "," + Entry("1234", "0002", "c", "no") + "," +
                                       Entry("ABCD", "0003", "d", "no")));
    Load();
    for (const char* vid : {"2006", "18D1", "1949", "ABCD", "1234"})
        EXPECT_TRUE(list.HasVendor(vid)) << vid;
    EXPECT_FALSE(list.HasVendor("FEED") || list.HasVendor("abcd"));

    scene.WriteCloudWhitelist(FileOf(Entry("BBBB", "0002", "cloud", "yes")));
    EXPECT_TRUE(list.LoadWhiteListFromFile());
    EXPECT_EQ(list.Path(), scene.platform.DataDirectory() + "cloudwhitelist.json");
    EXPECT_EQ(Query("VID_ABCD&PID_0001") + Query("VID_BBBB&PID_0002"), "-cloud|open");
    EXPECT_TRUE(list.HasVendor("ABCD") && list.HasVendor("BBBB"));  // earlier vendors stay
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
    while (!done)
        misses += (Query("VID_18D1&PID_4EE2") == "-") + !list.HasVendor("ABCD");
    reloader.join();
    EXPECT_EQ(misses, 0);
}

}  // namespace
