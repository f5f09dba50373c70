// The cloud copy of the whitelist: when the local file counts as the latest, and the swap.
#include <gtest/gtest.h>

#include <filesystem>

#include "fakes/device_scene.h"
#include "fakes/fake_http.h"
#include "fakes/fake_platform.h"
#include "identification/whitelist_update.h"
#include "support/config.h"
#include "support/usb_log.h"
#include "support/md5.h"
#include "support/sys_utils.h"

namespace USB {
namespace {

const char* const kShipped = "{\"vendors\":[\"18D1\"]}\r\n{\"more\":1}\r\n";
const char* const kCloud = "{\"data\":[{\"vid\":\"2717\",\"pid\":\"FF48\",\"isadbopen\":\"yes\"}]}\n";

class WhitelistUpdate : public ::testing::Test {
protected:
    WhitelistUpdate() { platform.ports.http = &http; }
    void Serve(const std::string& digest, const Fake::HttpAnswer& document)
    {
        http.ServeJson("/download/device/device.md5", digest);
        http.Serve("/download/device/device.json", document);
    }
    bool Latest() { return pieces.cloud.WhitelistIsLatest(); }
    // Download files left in the data folder.
    std::string Leftovers() const
    {
        std::string names;
        for (const auto& entry : std::filesystem::directory_iterator(GetDataDirectory()))
            if (entry.path().extension() == ".tmp")
                names += entry.path().filename().string() + " ";
        return names;
    }

    Fake::Platform platform;
    Fake::Http http;
    // The pieces a service builds the update from; an update the check starts runs at once.
    struct Updating : Fake::DecisionPieces {
        Mutex serviceLock;
        const UsbConfig config;
        WhitelistUpdater updater{whiteList,   notPhoneCache, cloud,
                                 serviceLock, config,        [](std::function<void()> work) { work(); }};
    };
    Updating pieces;
    const std::string shipped = GetExeDirectory() + "whitelist.json";
    const std::string cloudCopy = GetDataDirectory() + "cloudwhitelist.json";
};

// Only the exact digest of the file in use, over its bytes as stored, is the latest; the vendor
// cache empties either way. (The swap to the cloud copy is an end-to-end flow.)
TEST_F(WhitelistUpdate, LatestOnlyForTheExactDigest)
{
    Serve("", {kCloud});  // nothing digested yet and nothing fetched: both empty, never equal
    pieces.updater.WhitelistDigestStep();
    EXPECT_FALSE(Latest());
    Fake::WriteFile(shipped, kShipped);
    EXPECT_EQ(pieces.whiteList.FileDigest(), "daecea03e38de46a4c4cb94954a26644");  // CR LF included
    Fake::WriteFile(shipped, "");
    EXPECT_EQ(pieces.whiteList.FileDigest(), "daecea03e38de46a4c4cb94954a26644");  // empty: the last one stays
    Fake::WriteFile(shipped, kShipped);
    for (const std::string& digest : {MD5::Of(kShipped) + "\n", ToUpperAscii(MD5::Of(kShipped))}) {
        pieces.notPhoneCache.Add("VID_1234&PID_0001");
        Serve(digest, {kCloud});
        pieces.updater.WhitelistDigestStep();
        EXPECT_FALSE(Latest());
        EXPECT_FALSE(pieces.notPhoneCache.Has("VID_1234&PID_0001"));
    }
    Serve(MD5::Of(kShipped), {kCloud});
    http.ClearRecords();
    pieces.updater.WhitelistCheckThread();
    EXPECT_TRUE(Latest());
    PhoneSystemInfo info;
    EXPECT_FALSE(pieces.cloud.QueryDevice(info, "18D1", "4EE2"));  // the list answers alone now
    EXPECT_EQ(http.Records().size(), 1u);                          // the digest only
}

// A download that is not the announced whitelist document never replaces the list in use, leaves
// no file and keeps the flag at "not latest", so that the next start tries again.
TEST_F(WhitelistUpdate, BadDownloadsNeverReplaceTheGoodList)
{
    const std::string good = "{\"data\":[{\"vid\":\"18D1\",\"pid\":\"4EE2\",\"isadbopen\":\"yes\"}]}\n";
    Fake::HttpAnswer cut{kCloud};
    cut.closeAfter = 5;
    const struct {
        Fake::HttpAnswer document;
        std::string digest;  // "=": the document's own
    } rows[] = {
        {{kCloud}, "0123456789abcdef0123456789abcdef"},  // the cloud changed between the fetches
        {{kCloud}, ""},
        {{"<html>busy</html>"}, "="},
        {{"{\"vendors\":[\"2717\"]}"}, "="},  // no data array
        {{"{\"data\":[1]}"}, "="},            // an entry that is no object
        {cut, "="},
    };
    Fake::WriteFile(cloudCopy, good);
    pieces.whiteList.LoadWhiteListFromFile();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.document.body);
        pieces.cloud.SetWhitelistIsLatest(true);
        Serve(row.digest == "=" ? MD5::Of(row.document.body) : row.digest, row.document);
        pieces.updater.WhitelistUpdateThread();
        EXPECT_EQ(Fake::ReadFile(cloudCopy), good);
        PhoneSystemInfo info;
        EXPECT_TRUE(pieces.whiteList.Query("VID_18D1&PID_4EE2", info));
        EXPECT_FALSE(Latest());
        EXPECT_EQ(Leftovers(), "");
    }
}

// Two updaters on one data folder (two host processes, or a host and usbmon): while one updates,
// the other neither downloads nor swaps; the one cut short leaves the list in use as it was. The
// next update swaps the whole document in and clears what a killed update left.
TEST_F(WhitelistUpdate, OneUpdateAtATimePerDataFolder)
{
    const std::string good = "{\"data\":[{\"vid\":\"18D1\",\"pid\":\"4EE2\",\"isadbopen\":\"yes\"}]}\n";
    Fake::WriteFile(cloudCopy, good);
    Updating other;  // another host process on the same data folder
    Fake::HttpAnswer cut{"<html>" + std::string(kCloud)};
    cut.closeAfter = 5;
    cut.onRead = [&, once = true]() mutable {
        if (std::exchange(once, false)) {
            http.ServeJson("/download/device/device.json", kCloud);
            other.updater.WhitelistUpdateThread();
        }
    };
    Serve(MD5::Of(kCloud), cut);
    pieces.updater.WhitelistUpdateThread();
    EXPECT_EQ(Fake::ReadFile(cloudCopy), good);
    EXPECT_FALSE(Latest() || other.cloud.WhitelistIsLatest());
    EXPECT_EQ(Leftovers(), "");
    size_t documents = 0;
    for (const auto& r : http.Records())
        documents += r.path == "/download/device/device.json";
    EXPECT_EQ(documents, 1u);
    EXPECT_EQ(platform.guard.lockWaits, std::vector<uint32_t>(2, 120000));

    Fake::WriteFile(cloudCopy + ".77-1.tmp", "{\"da");  // its process was killed
    pieces.updater.WhitelistUpdateThread();
    EXPECT_EQ(Fake::ReadFile(cloudCopy), kCloud);
    EXPECT_TRUE(Latest());
    EXPECT_EQ(Leftovers(), "");
    EXPECT_EQ(platform.guard.Open(), 0u);
}

}  // namespace
}  // namespace USB
