// The cloud copy of the whitelist: when the local file counts as the latest, and the swap.
#include <gtest/gtest.h>

#include "fakes/fake_http.h"
#include "fakes/fake_platform.h"
#include "service/USB_Service.h"
#include "support/Usb_MD5.h"
#include "support/sys_utils.h"

namespace USB {
namespace {

const char* const kShipped = "{\"vendors\":[\"18D1\"]}\r\n{\"more\":1}\r\n";
const char* const kCloud = "{\"data\":[{\"vid\":\"2717\",\"pid\":\"FF48\",\"isadbopen\":\"yes\"}]}\n";

class WhitelistUpdate : public ::testing::Test {
protected:
    WhitelistUpdate() { platform.ports.http = &http; }
    void Serve(const std::string& digest, const std::string& document)
    {
        http.Serve("/download/device/device.md5", {digest});
        http.Serve("/download/device/device.json", {document});
    }
    bool Logged(const std::string& text) const { return platform.LogText().find(text) != std::string::npos; }
    bool Latest() { return service.Cloud().m_whitelistIsLatest; }

    Fake::Platform platform;
    Fake::Http http;
    UsbService service;
    const std::string shipped = GetExeDirectory() + "whitelist.json";
    const std::string cloudCopy = GetDataDirectory() + "cloudwhitelist.json";
};

TEST_F(WhitelistUpdate, DigestIsOverTheBytesAsStoredAndTheCloudCopyWins)
{
    service.Whitelist().m_digest = "previous";
    EXPECT_EQ(service.Whitelist().FileDigest(), "previous");  // no file: the last digest stays
    Fake::WriteFile(shipped, "");
    EXPECT_EQ(service.Whitelist().FileDigest(), "previous");
    Fake::WriteFile(shipped, kShipped);
    EXPECT_EQ(service.Whitelist().FileDigest(), "daecea03e38de46a4c4cb94954a26644");  // CR LF included
    EXPECT_EQ(service.Whitelist().m_path, shipped);
    Fake::WriteFile(cloudCopy, kCloud);
    EXPECT_EQ(service.Whitelist().FileDigest(), MD5::Of(kCloud));
    EXPECT_EQ(service.Whitelist().m_path, cloudCopy);
}

// Only the exact digest of the file in use is the latest; the vendor cache empties either way.
TEST_F(WhitelistUpdate, LatestOnlyForTheExactDigest)
{
    Serve("", kCloud);  // nothing digested yet and nothing fetched: both empty, never equal
    service.Updater().WhitelistDigestStep();
    EXPECT_FALSE(Latest());
    Fake::WriteFile(shipped, kShipped);
    for (const std::string& digest : {MD5::Of(kShipped) + "\n", ToUpperAscii(MD5::Of(kShipped))}) {
        service.VendorCacheOf().Add("VID_1234&PID_0001");
        Serve(digest, kCloud);
        service.Updater().WhitelistDigestStep();
        EXPECT_FALSE(Latest());
        EXPECT_FALSE(service.VendorCacheOf().Has("VID_1234&PID_0001"));
    }
    EXPECT_FALSE(Logged("whitelist had already lastest"));
    Serve(MD5::Of(kShipped), kCloud);
    http.ClearRecords();
    service.Updater().WhitelistCheckThread();
    EXPECT_TRUE(Latest());
    EXPECT_TRUE(Logged("whitelist had already lastest\n"));
    PhoneSystemInfo info;
    EXPECT_FALSE(service.Cloud().QueryDevice(info, "18D1", "4EE2"));  // the list answers alone now
    ASSERT_EQ(http.Records().size(), 1u);
    EXPECT_EQ(http.Records()[0].path, "/download/device/device.md5");
}

TEST_F(WhitelistUpdate, UpdateSwapsInTheCloudCopyAndMarksLatest)
{
    Fake::WriteFile(shipped, kShipped);
    Fake::WriteFile(cloudCopy, "old cloud copy");
    service.VendorCacheOf().Add("VID_1234&PID_0001");
    Serve(MD5::Of(kCloud), kCloud);
    service.Updater().WhitelistUpdateThread();
    EXPECT_EQ(Fake::ReadFile(cloudCopy), kCloud);
    EXPECT_FALSE(FileExists(cloudCopy + ".tmp"));
    EXPECT_EQ(service.Whitelist().m_path, cloudCopy);
    EXPECT_EQ(service.Whitelist().m_digest, MD5::Of(kCloud));
    EXPECT_TRUE(Latest());
    EXPECT_FALSE(service.VendorCacheOf().Has("VID_1234&PID_0001"));
    EXPECT_EQ(http.Records().at(1).agent, "DownFile");
}

// A download that is not the announced whitelist document never replaces the list in use.
TEST_F(WhitelistUpdate, BadDownloadsNeverReplaceTheGoodList)
{
    const std::string good = "{\"data\":[{\"vid\":\"18D1\",\"pid\":\"4EE2\",\"isadbopen\":\"yes\"}]}\n";
    const struct {
        const char* what;
        std::string document, digest;  // "=": the document's own
        const char* logged;
    } rows[] = {
        {"cloud changed between the fetches", kCloud, "0123456789abcdef0123456789abcdef", "does not match"},
        {"no digest", kCloud, "", "does not match"},
        {"not JSON", "<html>busy</html>", "=", "is not a whitelist document"},
        {"no data array", "{\"vendors\":[\"2717\"]}", "=", "is not a whitelist document"},
        {"an entry that is no object", "{\"data\":[1]}", "=", "is not a whitelist document"},
        {"cut short", kCloud, "=", nullptr},
    };
    Fake::WriteFile(cloudCopy, good);
    service.Whitelist().LoadWhiteListFromFile();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        service.Cloud().m_whitelistIsLatest = true;
        Serve(row.digest == "=" ? MD5::Of(row.document) : row.digest, row.document);
        if (!row.logged) {
            Fake::HttpAnswer cut{row.document};
            cut.closeAfter = 5;
            http.Serve("/download/device/device.json", cut);
        }
        service.Updater().WhitelistUpdateThread();
        EXPECT_EQ(Fake::ReadFile(cloudCopy), good);
        if (row.logged) {
            EXPECT_FALSE(FileExists(cloudCopy + ".tmp"));
            EXPECT_FALSE(Latest());
            EXPECT_TRUE(Logged(std::string("the downloaded whitelist ") + row.logged));
        }
        PhoneSystemInfo info;
        EXPECT_TRUE(service.Whitelist().Query("VID_18D1&PID_4EE2", info));
    }
}

}  // namespace
}  // namespace USB
