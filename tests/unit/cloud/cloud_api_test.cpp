// The cloud client: the URLs it asks, how it reads the answers and what it logs.
#include <gtest/gtest.h>

#include "cloud/Usb_Cloud.h"
#include "fakes/fake_http.h"
#include "fakes/fake_platform.h"
#include "support/sys_utils.h"

namespace {

class CloudApi : public ::testing::Test {
protected:
    CloudApi()
    {
        platform.ports.http = &http;
        cloud.m_baseUrl = "http://cloud.test:18089";
        device.m_vid = "18D1";
        device.m_pid = "4EE2";
        device.m_vidPid = "VID_18D1&PID_4EE2";
    }

    bool Logged(const std::string& text) const { return platform.LogText().find(text) != std::string::npos; }

    USB::Fake::Platform platform;
    USB::Fake::Http http;
    USB::UsbCloud cloud;
    USB::UsbDevice device;
};

TEST_F(CloudApi, TokenDigestsVidPidAndKey)
{
    EXPECT_EQ(cloud.m_key, "t4#Wq9!zeL2$rn7^Kp&8vB*x3@jM6%oY1-sd");
    EXPECT_EQ(cloud.MakeToken("18D1", "4EE2"), "3faf5a97ab788fd9b94ff728c99c2635");
}

TEST_F(CloudApi, DriverQueryUrlCarriesOsPlatformAndToken)
{
    platform.system.version = USB::OsVersionFacts{true, 6, 1, 2, 1, 9, 0};
    http.ServeJson("/api/v1/drive/query/", R"({"result":0,"data":{"deviceurl":"http://x/d.zip","filemd5":"aa",)"
                                           R"("generalDriveURL":"http://x/g.exe","generalDriveMD5":"bb"}})");
    ASSERT_TRUE(cloud.QueryDriver(&device));
    const USB::Fake::HttpRecord r = http.Records().at(0);
    const std::string query = "/api/v1/drive/query/?vid=18D1&pid=4EE2&os=" + USB::GetOsName() + "&platform=x64";
    EXPECT_EQ(r.path, query + "&tk=" + cloud.MakeToken("18D1", "4EE2"));
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.timeoutMs, 2000u);
    EXPECT_TRUE(Logged("url is http://cloud.test:18089" + query + "\n"));
    EXPECT_FALSE(Logged("&tk="));
    EXPECT_TRUE(Logged("strHeader HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(device.m_deviceUrl, "http://x/d.zip");
    EXPECT_EQ(device.m_fileMd5, "aa");
    EXPECT_EQ(device.m_generalDriverUrl, "http://x/g.exe");
    EXPECT_EQ(device.m_generalDriverMd5, "bb");
}

TEST_F(CloudApi, ReportsArePostsWithoutTokenAndOsNamesKeepTheirSpaces)
{
    platform.system.version = USB::OsVersionFacts{true, 6, 1, 2, 3, 9, 0};
    ASSERT_EQ(USB::GetOsName(), "Microsoft Windows Server 2008 R2");
    http.ServeJson("/api/v1/drive/", R"({"result":0,"data":null})");
    EXPECT_TRUE(cloud.ReportDriver("18D1", "4EE2"));
    EXPECT_TRUE(cloud.ReportInstallError("18D1", "4EE2"));
    const auto records = http.Records();
    ASSERT_EQ(records.size(), 2u);
    const std::string os = "Microsoft Windows Server 2008 R2";
    EXPECT_EQ(records[0].path, "/api/v1/drive/report/?vid=18D1&pid=4EE2&os=" + os + "&platform=x64");
    EXPECT_EQ(records[1].path, "/api/v1/drive/installerror/?vid=18D1&pid=4EE2&os=" + os + "&platform=x64");
    EXPECT_EQ(records[0].method, "POST");
    EXPECT_EQ(records[0].body, "");
    EXPECT_EQ(records[0].sentHeaders, "Content-Type: application/x-www-form-urlencoded\r\n");
    EXPECT_EQ(records[0].timeoutMs, 5000u);
}

TEST_F(CloudApi, DeviceQueryFillsTheInfoAndKeepsEscapesLiteral)
{
    http.ServeJson("/api/v1/drive/device/",
                   R"({"result":0,"data":{"isadbopen":"yes","description":"\u4e2d\u6587 phone","deviceurl":"http://x/u"}})");
    USB::PhoneSystemInfo info;
    ASSERT_TRUE(cloud.QueryDevice(info, "18D1", "4EE2"));
    EXPECT_TRUE(info.m_isAdbOpen);
    EXPECT_EQ(info.m_description, L"\\u4e2d\\u6587 phone");
    EXPECT_EQ(info.m_deviceUrl, L"http://x/u");
    EXPECT_EQ(http.Records().at(0).path,
              "/api/v1/drive/device/?vid=18D1&pid=4EE2&tk=" + cloud.MakeToken("18D1", "4EE2"));
    EXPECT_EQ(http.Records().at(0).timeoutMs, 5000u);
    EXPECT_TRUE(Logged("isadbopen is yes\n"));
    EXPECT_TRUE(Logged("_body {\"data\":{\"description\":\"\\\\u4e2d\\\\u6587 phone\""));
}

TEST_F(CloudApi, UpperCaseYesIsNotYes)
{
    http.ServeJson("/api/v1/drive/device/", R"({"result":0,"data":{"isadbopen":"YES"}})");
    USB::PhoneSystemInfo info;
    info.m_deviceUrl = L"kept?";
    ASSERT_TRUE(cloud.QueryDevice(info, "18D1", "4EE2"));
    EXPECT_FALSE(info.m_isAdbOpen);
    EXPECT_EQ(info.m_description, L"");
}

TEST_F(CloudApi, ThirdMemberFailsEvenWithResultZero)
{
    http.ServeJson("/api/v1/drive/", R"({"result":0,"data":{"deviceurl":"http://x/d.zip"},"extra":1})");
    EXPECT_FALSE(cloud.QueryDriver(&device));
    EXPECT_TRUE(Logged("size error\n"));
    EXPECT_EQ(device.m_deviceUrl, "");
    USB::PhoneSystemInfo info;
    EXPECT_FALSE(cloud.QueryDevice(info, "18D1", "4EE2"));
    EXPECT_FALSE(cloud.ReportDriver("18D1", "4EE2"));
}

TEST_F(CloudApi, DriverErrorCodesFillGeneralAndVendorFields)
{
    for (int code : {20201, 20202}) {
        USB::UsbDevice d;
        d.m_vid = "18D1";
        d.m_pid = "4EE2";
        d.m_deviceUrl = "kept";
        http.ServeJson("/api/v1/drive/query/",
                       R"({"result":1,"data":{"errorCode":)" + std::to_string(code) +
                           R"(,"generalDriveURL":"g","generalDriveMD5":"gm","vidDriveURL":"v","vidDriveMD5":"vm"}})");
        EXPECT_TRUE(cloud.QueryDriver(&d)) << code;
        EXPECT_EQ(d.m_generalDriverUrl, "g");
        EXPECT_EQ(d.m_generalDriverMd5, "gm");
        EXPECT_EQ(d.m_vidDriverUrl, "v");
        EXPECT_EQ(d.m_vidDriverMd5, "vm");
        EXPECT_EQ(d.m_deviceUrl, "kept");
    }
    EXPECT_TRUE(Logged("driver no exist, errorcode is 20201\n"));
    EXPECT_TRUE(Logged("driver query fail, errorcode is 20202\n"));
}

TEST_F(CloudApi, ErrorTableOfTheOtherEndpoints)
{
    http.ServeJson("/api/v1/drive/report/", R"({"result":1,"data":{"errorCode":20203}})");
    EXPECT_FALSE(cloud.ReportDriver("18D1", "4EE2"));
    EXPECT_TRUE(Logged("driver has exist, errorcode is 20203\n"));
    http.ServeJson("/api/v1/drive/report/", R"({"result":1,"data":{"errorCode":20204}})");
    EXPECT_FALSE(cloud.ReportDriver("18D1", "4EE2"));
    EXPECT_TRUE(Logged("report fail, errorcode is 20204\n"));
    http.ServeJson("/api/v1/drive/installerror/", R"({"result":1,"data":{"errorCode":20207}})");
    EXPECT_FALSE(cloud.ReportInstallError("18D1", "4EE2"));
    EXPECT_TRUE(Logged("report driver fail\n"));
    USB::PhoneSystemInfo info;
    http.ServeJson("/api/v1/drive/device/", R"({"result":1,"data":{"errorCode":20205}})");
    EXPECT_FALSE(cloud.QueryDevice(info, "18D1", "4EE2"));
    EXPECT_TRUE(Logged("device no exist, errorcode is 20205\n"));
    http.ServeJson("/api/v1/drive/device/", R"({"result":1,"data":{"errorCode":20206}})");
    EXPECT_FALSE(cloud.QueryDevice(info, "18D1", "4EE2"));
    EXPECT_TRUE(Logged("query fail, errorcode is 20206\n"));
    // A report whose result is not an integer fails.
    http.ServeJson("/api/v1/drive/report/", R"({"result":"0","data":null})");
    EXPECT_FALSE(cloud.ReportDriver("18D1", "4EE2"));
}

TEST_F(CloudApi, BrokenAnswersFail)
{
    http.ServeJson("/api/v1/drive/query/", R"({"result":0,"data":)");
    EXPECT_FALSE(cloud.QueryDriver(&device));
    http.ServeJson("/api/v1/drive/query/", R"({"result":0,"data":[1]})");
    EXPECT_FALSE(cloud.QueryDriver(&device));
    http.ServeJson("/api/v1/drive/query/", R"({"result":1,"data":{"errorCode":"20201"}})");
    EXPECT_FALSE(cloud.QueryDriver(&device));
    EXPECT_FALSE(cloud.QueryDriver(nullptr));
}

TEST_F(CloudApi, TransportFailureIsLoggedByTheDriverQuery)
{
    http.refuse = true;
    EXPECT_FALSE(cloud.QueryDriver(&device));
    EXPECT_TRUE(Logged("HttpSend fail...\n"));
}

TEST_F(CloudApi, AnswerWithAStatusOtherThan200FailsWhateverItsBody)
{
    USB::Fake::HttpAnswer a;
    a.status = "HTTP/1.1 503 Service Unavailable";
    a.body = R"({"result":0,"data":{"deviceurl":"http://x/d.zip","isadbopen":"yes"}})";
    http.ServeJson("/api/v1/drive/", a.body);  // the same answer, but 200, for the install-error report
    http.Serve("/api/v1/drive/device/?vid=18D1&pid=4EE2&tk=" + cloud.MakeToken("18D1", "4EE2"), a);
    http.Serve("/api/v1/drive/query/?vid=18D1&pid=4EE2&os=" + USB::GetOsName() + "&platform=x64&tk=" +
                   cloud.MakeToken("18D1", "4EE2"),
               a);
    http.Serve("/api/v1/drive/report/?vid=18D1&pid=4EE2&os=" + USB::GetOsName() + "&platform=x64", a);
    USB::PhoneSystemInfo info;
    EXPECT_FALSE(cloud.QueryDevice(info, "18D1", "4EE2"));
    EXPECT_FALSE(cloud.QueryDriver(&device));
    EXPECT_TRUE(Logged("HttpSend fail...\n"));
    EXPECT_EQ(device.m_deviceUrl, "");
    EXPECT_FALSE(cloud.ReportDriver("18D1", "4EE2"));
    EXPECT_TRUE(cloud.ReportInstallError("18D1", "4EE2"));  // answered 200
}

// Ids come from any local process: only four hex digits reach a URL or the log.
TEST_F(CloudApi, IdsThatAreNotFourHexDigitsAreRefused)
{
    http.ServeJson("/api/v1/drive/", R"({"result":0,"data":null})");
    const std::pair<const char*, const char*> bad[] = {
        {"18D", "4EE2"}, {"18D1", "4EE2X"}, {"18G1", "4EE2"}, {"", "4EE2"}, {"18D1", "4EE2&os=x"},
        {"18D1", "4E\nE"}, {"../x", "4EE2"},
    };
    for (const auto& ids : bad) {
        USB::PhoneSystemInfo info;
        USB::UsbDevice d;
        d.m_vid = ids.first;
        d.m_pid = ids.second;
        EXPECT_FALSE(cloud.QueryDevice(info, ids.first, ids.second));
        EXPECT_FALSE(cloud.QueryDriver(&d));
        EXPECT_FALSE(cloud.ReportDriver(ids.first, ids.second));
        EXPECT_FALSE(cloud.ReportInstallError(ids.first, ids.second));
    }
    EXPECT_TRUE(http.Records().empty());
    EXPECT_TRUE(Logged("a vendor or product id that is not four hex digits is refused\n"));
    EXPECT_FALSE(Logged("4EE2X") || Logged("18G1") || Logged("url is"));
    EXPECT_TRUE(cloud.ReportDriver("18d1", "4ee2"));  // hex in either case
}

TEST_F(CloudApi, NoNetworkMeansNoRequest)
{
    platform.system.networkAlive = false;
    USB::PhoneSystemInfo info;
    EXPECT_FALSE(cloud.QueryDevice(info, "18D1", "4EE2"));
    EXPECT_FALSE(cloud.QueryDriver(&device));
    EXPECT_FALSE(cloud.ReportDriver("18D1", "4EE2"));
    EXPECT_FALSE(cloud.ReportInstallError("18D1", "4EE2"));
    EXPECT_TRUE(http.Records().empty());
    EXPECT_TRUE(Logged("network disconneted\n"));
}

TEST_F(CloudApi, LatestWhitelistSkipsTheDeviceQuery)
{
    cloud.m_whitelistIsLatest = true;
    http.ServeJson("/api/v1/drive/device/", R"({"result":0,"data":{"isadbopen":"yes"}})");
    USB::PhoneSystemInfo info;
    EXPECT_FALSE(cloud.QueryDevice(info, "18D1", "4EE2"));
    EXPECT_TRUE(http.Records().empty());
    EXPECT_TRUE(Logged("the local whitelist is the same as the cloud list\n"));
}

TEST(CloudEscapes, BackslashUGetsOneMoreBackslash)
{
    EXPECT_EQ(USB::ProtectUnicodeEscapes(R"(a\u1234b\u)"), R"(a\\u1234b\\u)");
    EXPECT_EQ(USB::ProtectUnicodeEscapes(R"(\n\t\\u)"), R"(\n\t\\\u)");
    EXPECT_EQ(USB::ProtectUnicodeEscapes("\\"), "\\");
}

}  // namespace
