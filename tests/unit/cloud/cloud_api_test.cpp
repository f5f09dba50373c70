// The cloud client: the requests it makes, how it reads the answers and what it logs.
#include <gtest/gtest.h>

#include "cloud/cloud_client.h"
#include "fakes/fake_http.h"
#include "fakes/fake_pipeline.h"
#include "support/sys_utils.h"

namespace USB {
namespace {

class CloudApi : public ::testing::Test {
protected:
    CloudApi() { platform.ports.http = &http; }
    // The four calls in turn, each with its result and the device fields the driver query fills.
    std::string CallAll(const std::string& vid = "18D1", const std::string& pid = "4EE2")
    {
        PhoneSystemInfo info;
        const bool queried = cloud.QueryDevice(info, vid, pid);
        std::string out = "device " + std::to_string(queried) + " " + std::to_string(info.m_isAdbOpen) + "|" +
                          info.m_description + "\n";
        const std::optional<DriverOffer> d = cloud.QueryDriver(vid, pid);
        out += "driver " + std::to_string(d.has_value()) +
               (d ? " " + d->m_deviceUrl + "|" + d->m_deviceMd5 + "|" + d->m_generalUrl + "|" + d->m_generalMd5 + "|" +
                        d->m_vendorUrl + "|" + d->m_vendorMd5
                  : std::string()) +
               "\n";
        out += "report " + std::to_string(cloud.ReportDriver(vid, pid)) + "\n";
        out += "installerror " + std::to_string(cloud.ReportInstallError(vid, pid)) + "\n";
        return out;
    }
    std::string Requests()
    {
        std::string out;
        for (const auto& r : http.Records())
            out += r.method + " " + r.path + " timeout " + std::to_string(r.timeoutMs) + " body '" + r.body + "' " +
                   r.sentHeaders;
        http.ClearRecords();
        return out;
    }

    Fake::Platform platform;
    Fake::Http http;
    CloudClient cloud{"http://cloud.test:18089"};
};

// What each call asks (token digests vid, pid and the key; reports carry none; OS names keep their
// spaces) and how a good answer fills the records (escapes stay literal, only "yes" is yes).
TEST_F(CloudApi, RequestsAndAnswers)
{
    platform.system.version = OsVersionFacts{true, 6, 1, 2, 3, 9, 0};
    http.ServeJson(
        "/api/v1/drive/device/",
        R"({"result":0,"data":{"isadbopen":"yes","description":"\u4e2d\u6587 phone","deviceurl":"http://x/u"}})");
    http.ServeJson("/api/v1/drive/query/", R"({"result":0,"data":{"deviceurl":"http://x/d.zip","filemd5":"aa",)"
                                           R"("generalDriveURL":"http://x/g.exe","generalDriveMD5":"bb"}})");
    http.ServeJson("/api/v1/drive/report/", R"({"result":0,"data":null})");
    http.ServeJson("/api/v1/drive/installerror/", R"({"result":0,"data":null})");
    std::string out = CallAll();
    out += Requests();
    http.ServeJson("/api/v1/drive/device/", R"({"result":0,"data":{"isadbopen":"YES"}})");
    out += CallAll();
    out += Requests();
    EXPECT_EQ(cloud.MakeToken("18D1", "4EE2"), "3faf5a97ab788fd9b94ff728c99c2635");
    Fake::ExpectTranscript("cloud_requests", out + Fake::Transcript(platform));
}

// The error table, answers of other shapes and statuses, refused ids, no network and the latest
// whitelist: each call's result, its log lines and the requests that went out.
TEST_F(CloudApi, ErrorsAndRefusals)
{
    const std::string urls = R"(,"generalDriveURL":"g","generalDriveMD5":"gm","vidDriveURL":"v","vidDriveMD5":"vm")";
    std::vector<std::pair<std::string, std::string>> rows;  // what, answer
    for (int code = 20201; code <= 20207; ++code)
        rows.push_back({std::to_string(code), R"({"result":1,"data":{"errorCode":)" + std::to_string(code) +
                                                  (code < 20203 ? urls : "") + "}}"});
    rows.insert(rows.end(),
                {{"code as text", R"({"result":1,"data":{"errorCode":"20201"}})"},
                 {"result as text", R"({"result":"0","data":null})"},
                 {"third member", R"({"result":0,"data":{"deviceurl":"http://x/d.zip"},"extra":1})"},
                 {"cut", R"({"result":0,"data":)"},
                 {"data no object", R"({"result":0,"data":[1]})"},
                 {"status 503", R"({"result":0,"data":{"deviceurl":"http://x/d.zip","isadbopen":"yes"}})"}});
    std::string out;
    for (const auto& row : rows) {
        http.Serve("/api/v1/drive/",
                   {row.second, row.first == "status 503" ? "HTTP/1.1 503 Service Unavailable" : "HTTP/1.1 200 OK"});
        out += "== " + row.first + "\n" + CallAll();
    }
    http.ClearRecords();
    out += "== ids\n";
    const char* const refused[][2] = {{"18D", "4EE2"},       {"18D1", "4EE2X"}, {"18G1", "4EE2"}, {"", "4EE2"},
                                      {"18D1", "4EE2&os=x"}, {"18D1", "4E\nE"}, {"../x", "4EE2"}};
    for (const auto& ids : refused)
        out += CallAll(ids[0], ids[1]);
    out += Requests();
    out += "== lower case hex\n" + CallAll("18d1", "4ee2");
    http.refuse = true;
    out += "== refused\n" + CallAll();
    http.refuse = false;
    http.ClearRecords();
    platform.system.networkAlive = false;
    out += "== no network\n" + CallAll();
    platform.system.networkAlive = true;
    cloud.SetWhitelistIsLatest(true);
    out += "== latest whitelist\n" + CallAll();
    out += Requests();
    Fake::ExpectTranscript("cloud_errors", out + Fake::Transcript(platform));
}

}  // namespace
}  // namespace USB
