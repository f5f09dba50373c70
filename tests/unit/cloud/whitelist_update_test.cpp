// The cloud copy of the whitelist: when the local file counts as the latest, and the swap.
#include <gtest/gtest.h>

#include "fakes/fake_http.h"
#include "fakes/fake_platform.h"
#include "service/USB_Service.h"
#include "support/Usb_MD5.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace {

const char* const kShipped = "{\"vendors\":[\"18D1\"]}\r\n{\"more\":1}\r\n";
const char* const kCloud = "{\"data\":[{\"vid\":\"2717\",\"pid\":\"FF48\",\"isadbopen\":\"yes\"}]}\n";

class WhitelistUpdate : public ::testing::Test {
protected:
    WhitelistUpdate()
    {
        platform.ports.http = &http;
        shipped = USB::GetExeDirectory() + "whitelist.json";
        cloudCopy = USB::GetDataDirectory() + "cloudwhitelist.json";
    }

    void ServeDigest(const std::string& body)
    {
        USB::Fake::HttpAnswer a;
        a.body = body;
        http.Serve("/download/device/device.md5", a);
    }
    void ServeDocument(const std::string& body)
    {
        USB::Fake::HttpAnswer a;
        a.body = body;
        http.Serve("/download/device/device.json", a);
    }
    bool Logged(const std::string& text) const { return platform.LogText().find(text) != std::string::npos; }
    bool Requested(const std::string& path)
    {
        for (const auto& r : http.Records())
            if (r.path == path)
                return true;
        return false;
    }

    USB::Fake::Platform platform;
    USB::Fake::Http http;
    USB::UsbService service;
    std::string shipped;
    std::string cloudCopy;
};

TEST_F(WhitelistUpdate, DigestIsOverTheBytesAsStoredCrLfIncluded)
{
    USB::Fake::WriteFile(shipped, kShipped);
    // RFC 1321 digest of the file's exact bytes.
    EXPECT_EQ(service.Whitelist().FileDigest(), "daecea03e38de46a4c4cb94954a26644");
    EXPECT_EQ(service.Whitelist().m_digest, "daecea03e38de46a4c4cb94954a26644");
    EXPECT_EQ(service.Whitelist().m_path, shipped);
    EXPECT_EQ(service.Whitelist().m_cloudPath, cloudCopy);
}

TEST_F(WhitelistUpdate, CloudCopyWinsOverTheShippedFile)
{
    USB::Fake::WriteFile(shipped, kShipped);
    USB::Fake::WriteFile(cloudCopy, kCloud);
    EXPECT_EQ(service.Whitelist().FileDigest(), USB::MD5::Of(kCloud));
    EXPECT_EQ(service.Whitelist().m_path, cloudCopy);
}

TEST_F(WhitelistUpdate, MissingOrEmptyFileKeepsTheLastDigest)
{
    service.Whitelist().m_digest = "previous";
    EXPECT_EQ(service.Whitelist().FileDigest(), "previous");
    USB::Fake::WriteFile(shipped, "");
    EXPECT_EQ(service.Whitelist().FileDigest(), "previous");
}

TEST_F(WhitelistUpdate, EqualDigestMarksLatestWithoutDownloadAndSkipsTheDeviceQuery)
{
    USB::Fake::WriteFile(shipped, kShipped);
    ServeDigest(USB::MD5::Of(kShipped));
    ServeDocument(kCloud);
    service.Updater().WhitelistCheckThread();
    EXPECT_TRUE(Logged("whitelist had already lastest\n"));
    EXPECT_TRUE(service.Cloud().m_whitelistIsLatest);
    EXPECT_TRUE(Requested("/download/device/device.md5"));
    EXPECT_FALSE(Requested("/download/device/device.json"));

    USB::PhoneSystemInfo info;
    EXPECT_FALSE(service.Cloud().QueryDevice(info, "18D1", "4EE2"));
    EXPECT_TRUE(Logged("the local whitelist is the same as the cloud list\n"));
    EXPECT_EQ(http.Records().size(), 1u);
}

TEST_F(WhitelistUpdate, TrailingLineFeedOrUpperCaseNeverMatches)
{
    USB::Fake::WriteFile(shipped, kShipped);
    service.VendorCacheOf().Add("VID_1234&PID_0001");
    ServeDigest(USB::MD5::Of(kShipped) + "\n");
    service.Updater().WhitelistDigestStep();
    EXPECT_FALSE(service.Cloud().m_whitelistIsLatest);
    EXPECT_FALSE(service.VendorCacheOf().Has("VID_1234&PID_0001"));  // emptied whatever the outcome

    ServeDigest(USB::ToUpperAscii(USB::MD5::Of(kShipped)));
    service.Updater().WhitelistDigestStep();
    EXPECT_FALSE(service.Cloud().m_whitelistIsLatest);
    EXPECT_FALSE(Logged("whitelist had already lastest"));

    ServeDigest(USB::MD5::Of(kShipped));
    service.Updater().WhitelistDigestStep();
    EXPECT_TRUE(service.Cloud().m_whitelistIsLatest);
}

TEST_F(WhitelistUpdate, EmptyFetchedDigestNeverCountsAsLatest)
{
    // No whitelist file was ever digested and the digest cannot be fetched: both are empty.
    USB::Fake::HttpAnswer empty;
    http.Serve("/download/device/device.md5", empty);
    service.Updater().WhitelistDigestStep();
    EXPECT_FALSE(service.Cloud().m_whitelistIsLatest);
    platform.system.networkAlive = false;
    service.Updater().WhitelistCheckThread();
    EXPECT_FALSE(service.Cloud().m_whitelistIsLatest);
    EXPECT_FALSE(Logged("whitelist had already lastest"));
}

TEST_F(WhitelistUpdate, UpdateSwapsInTheCloudCopyAndMarksLatest)
{
    USB::Fake::WriteFile(shipped, kShipped);
    USB::Fake::WriteFile(cloudCopy, "old cloud copy");
    service.VendorCacheOf().Add("VID_1234&PID_0001");
    ServeDigest(USB::MD5::Of(kCloud));
    ServeDocument(kCloud);
    service.Updater().WhitelistUpdateThread();
    EXPECT_TRUE(Logged("start update whitelist...\n"));
    EXPECT_EQ(USB::Fake::ReadFile(cloudCopy), kCloud);
    EXPECT_FALSE(USB::FileExists(cloudCopy + ".tmp"));
    EXPECT_EQ(service.Whitelist().m_path, cloudCopy);
    EXPECT_EQ(service.Whitelist().m_digest, USB::MD5::Of(kCloud));
    EXPECT_TRUE(service.Cloud().m_whitelistIsLatest);
    EXPECT_FALSE(service.VendorCacheOf().Has("VID_1234&PID_0001"));
    EXPECT_EQ(http.Records().at(1).agent, "DownFile");
}

// A download that is not the announced whitelist document never replaces the list in use.
TEST_F(WhitelistUpdate, BadDownloadsNeverReplaceTheGoodList)
{
    const std::string good = "{\"data\":[{\"vid\":\"18D1\",\"pid\":\"4EE2\",\"isadbopen\":\"yes\"}]}\n";
    struct Row {
        const char* what;
        std::string document;
        std::string digest;  // "=": the document's own
        const char* logged;
    };
    const std::vector<Row> rows = {
        {"cloud changed between the fetches", kCloud, "0123456789abcdef0123456789abcdef", "does not match"},
        {"no digest", kCloud, "", "does not match"},
        {"not JSON", "<html>busy</html>", "=", "is not a whitelist document"},
        {"no data array", "{\"vendors\":[\"2717\"]}", "=", "is not a whitelist document"},
        {"an entry that is no object", "{\"data\":[1]}", "=", "is not a whitelist document"},
    };
    USB::Fake::WriteFile(cloudCopy, good);
    service.Whitelist().LoadWhiteListFromFile();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        service.Cloud().m_whitelistIsLatest = true;
        ServeDigest(row.digest == "=" ? USB::MD5::Of(row.document) : row.digest);
        ServeDocument(row.document);
        service.Updater().WhitelistUpdateThread();
        EXPECT_EQ(USB::Fake::ReadFile(cloudCopy), good);
        EXPECT_FALSE(USB::FileExists(cloudCopy + ".tmp"));
        EXPECT_FALSE(service.Cloud().m_whitelistIsLatest);
        EXPECT_TRUE(Logged(std::string("the downloaded whitelist ") + row.logged));
        USB::PhoneSystemInfo info;
        EXPECT_TRUE(service.Whitelist().Query("VID_18D1&PID_4EE2", info));
    }
}

TEST_F(WhitelistUpdate, FailedDownloadChangesNothing)
{
    USB::Fake::WriteFile(cloudCopy, "kept");
    ServeDigest(USB::MD5::Of(kCloud));
    USB::Fake::HttpAnswer cut;
    cut.body = kCloud;
    cut.closeAfter = 5;
    http.Serve("/download/device/device.json", cut);
    service.Cloud().m_whitelistIsLatest = false;
    service.Updater().WhitelistUpdateThread();
    EXPECT_EQ(USB::Fake::ReadFile(cloudCopy), "kept");
    EXPECT_FALSE(service.Cloud().m_whitelistIsLatest);
}

}  // namespace
