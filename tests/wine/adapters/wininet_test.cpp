// The WinInet adapter against the cloud emulator, plain and over TLS (tests/e2e/test_cloud_wininet.sh
// starts both and checks the recorded requests). Skipped when USBHELPER_CLOUD_PORT is not set.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cloud/USB_Helper.h"
#include "cloud/Usb_Cloud.h"
#include "support/sys_utils.h"

namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

struct Progress {
    std::vector<int32_t> seen;
};

int32_t USB_CDECL Record(int32_t percent, void* context)
{
    static_cast<Progress*>(context)->seen.push_back(percent);
    return 0;
}

class WinInetCloud : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = Env("USBHELPER_CLOUD_PORT");
        if (port.empty())
            GTEST_SKIP() << "no cloud emulator (USBHELPER_CLOUD_PORT)";
        base = "http://127.0.0.1:" + port;
        char temp[MAX_PATH] = {0};
        GetTempPathA(MAX_PATH, temp);
        folder = temp;
    }
    std::wstring Wide(const std::string& text) { return USB::NarrowToWide(text); }

    std::string port;
    std::string base;
    std::string folder;
};

TEST_F(WinInetCloud, GetAppendsDataAndReadsBodyAndHeaders)
{
    std::string body, headers;
    ASSERT_TRUE(USB::HttpRequest("GET", base + "/api/v1/drive/device/?vid=18D1", "&pid=4EE2&tk=t0", 5000, body,
                                 headers));
    EXPECT_NE(headers.find("200 OK"), std::string::npos) << headers;
    EXPECT_NE(body.find("\"result\""), std::string::npos) << body;
}

TEST_F(WinInetCloud, PostSendsTheFormBody)
{
    std::string body, headers;
    ASSERT_TRUE(USB::HttpRequest("POST", base + "/api/v1/drive/report/?vid=18D1&pid=4EE2&os=win7&platform=x64",
                                 "a=1&b=2", 5000, body, headers));
    EXPECT_NE(headers.find("200 OK"), std::string::npos);
}

TEST_F(WinInetCloud, NotFoundFailsButKeepsItsAnswer)
{
    std::string body, headers;
    EXPECT_FALSE(USB::HttpRequest("GET", base + "/nothing/here", "", 5000, body, headers));
    EXPECT_NE(headers.find("404"), std::string::npos);
    EXPECT_EQ(body, "not found");
    EXPECT_EQ(USB::HttpGet(base + "/nothing/here"), "");
    EXPECT_EQ(USB::HttpGet(base + "/download/device/device.md5").size(), 32u);
}

TEST_F(WinInetCloud, RefusedConnectionFailsQuickly)
{
    std::string body, headers;
    EXPECT_FALSE(USB::HttpRequest("GET", "http://127.0.0.1:1/x", "", 2000, body, headers));
}

TEST_F(WinInetCloud, CloudClientQueriesTheDriver)
{
    USB::UsbCloud cloud;
    cloud.m_baseUrl = base;
    USB::UsbDevice device;
    device.m_vid = "18D1";
    device.m_pid = "4EE2";
    ASSERT_TRUE(cloud.QueryDriver(&device));
    EXPECT_EQ(device.m_deviceUrl, base + "/download/driver/pkg.zip");
    EXPECT_EQ(device.m_fileMd5, Env("USBHELPER_PKG_MD5"));
    EXPECT_TRUE(cloud.ReportDriver("18D1", "4EE2"));
    EXPECT_FALSE(cloud.ReportInstallError("18D1", "4EE2"));  // status 500, though its body says 0
}

TEST_F(WinInetCloud, HttpsBaseIsUsedOverTlsForEveryRequest)
{
    const std::string tlsPort = Env("USBHELPER_CLOUD_TLS_PORT");
    if (tlsPort.empty())
        GTEST_SKIP() << "no TLS emulator (USBHELPER_CLOUD_TLS_PORT)";
    const std::string secure = "https://127.0.0.1:" + tlsPort;
    USB::UsbCloud cloud;
    cloud.m_baseUrl = secure;
    USB::UsbDevice device;
    device.m_vid = "18D1";
    device.m_pid = "4EE2";
    ASSERT_TRUE(cloud.QueryDriver(&device));
    EXPECT_EQ(device.m_deviceUrl, secure + "/download/driver/pkg.zip");
    EXPECT_EQ(USB::HttpGet(secure + "/download/device/device.md5").size(), 32u);
    const std::string file = folder + "wininet_tls_pkg.zip";
    EXPECT_TRUE(USB::DownFileVerified(Wide(device.m_deviceUrl), file, device.m_fileMd5.c_str(), nullptr, nullptr));
    EXPECT_EQ(USB::GetFileSize64(file), std::atoll(Env("USBHELPER_PKG_SIZE").c_str()));
    // Plain HTTP to the TLS port gets no answer.
    EXPECT_EQ(USB::HttpGet("http://127.0.0.1:" + tlsPort + "/download/device/device.md5"), "");
}

TEST_F(WinInetCloud, PackageDownloadsWithProgressAndDigest)
{
    const std::string file = folder + "wininet_pkg.zip";
    Progress progress;
    ASSERT_TRUE(USB::DownFileVerified(Wide(base + "/download/driver/pkg.zip"), file, Env("USBHELPER_PKG_MD5").c_str(),
                                      &Record, &progress));
    ASSERT_FALSE(progress.seen.empty());
    EXPECT_EQ(progress.seen.back(), 100);
    for (size_t i = 1; i < progress.seen.size(); ++i)
        EXPECT_LT(progress.seen[i - 1], progress.seen[i]);
    EXPECT_EQ(USB::GetFileSize64(file), std::atoll(Env("USBHELPER_PKG_SIZE").c_str()));

    EXPECT_FALSE(USB::DownFileVerified(Wide(base + "/download/driver/pkg.zip"), file,
                                       "00000000000000000000000000000000", nullptr, nullptr));
    EXPECT_TRUE(USB::DownFile(Wide(base + "/download/driver/pkg.zip"), file));
}

TEST_F(WinInetCloud, CutOrMissingDownloadsFail)
{
    const std::string file = folder + "wininet_cut.zip";
    EXPECT_FALSE(USB::DownFile(Wide(base + "/download/driver/cut.zip"), file));
    EXPECT_EQ(USB::GetFileSize64(file), 100);
    EXPECT_FALSE(USB::DownFile(Wide(base + "/download/driver/missing.zip"), folder + "wininet_missing.zip"));
    EXPECT_FALSE(USB::DownFileVerified(Wide(base + "/download/driver/bent.zip"), folder + "wininet_bent.zip",
                                       Env("USBHELPER_PKG_MD5").c_str(), nullptr, nullptr));
}

}  // namespace
