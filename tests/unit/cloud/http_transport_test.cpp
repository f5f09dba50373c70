// The HTTP transport as the cloud client and the downloads see it, over a fake server.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "cloud/USB_Helper.h"
#include "fakes/fake_http.h"
#include "fakes/fake_platform.h"
#include "support/sys_utils.h"
#include "support/usb_event.h"

namespace {

using USB::Fake::HttpAnswer;

class HttpTransport : public ::testing::Test {
protected:
    HttpTransport() { platform.ports.http = &http; }

    std::string Path(const std::string& name) const { return platform.root + USB::kPathSep + name; }

    USB::Fake::Platform platform;
    USB::Fake::Http http;
};

struct Progress {
    std::vector<int32_t> seen;
    int32_t stopAt = 0;
};

int32_t USB_CDECL Record(int32_t percent, void* context)
{
    Progress* p = static_cast<Progress*>(context);
    p->seen.push_back(percent);
    return p->stopAt && percent >= p->stopAt ? -1 : 0;
}

TEST_F(HttpTransport, GetCarriesDataInTheUrlAndSendsNoBody)
{
    HttpAnswer a;
    a.body = "hello";
    http.Serve("/api?x=1&y=2", a);
    std::string body, headers;
    ASSERT_TRUE(USB::HttpRequest("get", "http://cloud.test:8080/api?x=1", "&y=2", 2000, body, headers));
    EXPECT_EQ(body, "hello");
    ASSERT_EQ(http.Records().size(), 1u);
    const USB::Fake::HttpRecord r = http.Records()[0];
    EXPECT_EQ(r.host, "cloud.test");
    EXPECT_EQ(r.port, 8080);
    EXPECT_EQ(r.path, "/api?x=1&y=2");
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.agent, "Mozilla/4.0 (compatible; MSIE 5.0; Windows NT 5.0)");
    EXPECT_EQ(r.addedHeaders, "Accept: */*\r\n");
    EXPECT_EQ(r.sentHeaders, "Content-Type: application/x-www-form-urlencoded\r\n");
    EXPECT_EQ(r.timeoutMs, 2000u);
    EXPECT_EQ(http.OpenHandles(), 0u);
}

TEST_F(HttpTransport, PostSendsTheFormBody)
{
    HttpAnswer a;
    a.body = "{}";
    http.Serve("/report", a);
    std::string body, headers;
    ASSERT_TRUE(USB::HttpRequest("POST", "http://cloud.test/report", "a=1&b=2", 5000, body, headers));
    const USB::Fake::HttpRecord r = http.Records().at(0);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/report");
    EXPECT_EQ(r.body, "a=1&b=2");
    EXPECT_EQ(r.sentHeaders, "Content-Type: application/x-www-form-urlencoded\r\n");
}

TEST_F(HttpTransport, OnlyA200StatusLineSucceeds)
{
    struct Row {
        const char* status;
        const char* extraHeaders;
        bool ok;
    };
    const Row rows[] = {
        {"HTTP/1.1 200 OK", "", true},
        {"HTTP/1.0 200 Fine", "", true},
        {"HTTP/1.1 404 Not Found", "", false},
        {"HTTP/1.1 500 Internal Server Error", "X-Was: 200 OK\r\n", false},
        {"HTTP/1.1 2000 OK", "", false},
        {"HTTP/1.1 302 200 OK", "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        HttpAnswer a;
        a.status = row.status;
        a.extraHeaders = row.extraHeaders;
        a.body = R"({"result":0,"data":null})";
        http.Serve("/x", a);
        std::string body, headers;
        EXPECT_EQ(USB::HttpRequest("GET", "http://cloud.test/x", "", 5000, body, headers), row.ok);
        EXPECT_EQ(body, a.body);  // kept for the log either way
        EXPECT_EQ(headers.find(std::string(row.status) + "\r\n"), 0u);
        EXPECT_EQ(USB::HttpGet("http://cloud.test/x"), row.ok ? a.body : "");
        EXPECT_EQ(USB::DownFile(L"http://cloud.test/x", Path("x")), row.ok);
    }
}

TEST_F(HttpTransport, TlsForHttpsAddressesAndNothingButHttp)
{
    HttpAnswer a;
    a.body = "ok";
    http.Serve("/x", a);
    std::string body, headers;
    EXPECT_TRUE(USB::HttpRequest("GET", "https://cloud.test/x", "", 5000, body, headers));
    EXPECT_TRUE(USB::HttpRequest("GET", "HTTP://cloud.test/x", "", 5000, body, headers));
    EXPECT_TRUE(USB::DownFile(L"https://cloud.test/x", Path("x")));
    EXPECT_FALSE(USB::HttpRequest("GET", "ftp://cloud.test/x", "", 5000, body, headers));
    EXPECT_FALSE(USB::DownFile(L"file:///etc/passwd", Path("passwd")));
    const auto records = http.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(records[0].secure);
    EXPECT_EQ(records[0].port, 443);
    EXPECT_FALSE(records[1].secure);
    EXPECT_TRUE(records[2].secure);
    for (const auto& r : records)
        EXPECT_EQ(r.receiveTimeoutMs, USB::kReceiveTimeoutMs);
    EXPECT_FALSE(USB::FileExists(Path("passwd")));
}

// What the cloud may send at most, and how long it may take: answers beyond either fail.
TEST_F(HttpTransport, CapsAndDeadlines)
{
    struct Row {
        const char* what;
        HttpAnswer answer;
        std::function<bool(const std::string& url)> call;
        bool ok;
        const char* logged;
    };
    auto answer = [](uint64_t size, int64_t announced = -1, uint32_t msPerRead = 0, uint32_t chunk = 0xFFFFFFFFu) {
        HttpAnswer a;
        a.generatedSize = size;
        a.announcedLength = announced;
        a.msPerRead = msPerRead;
        a.maxChunk = chunk;
        return a;
    };
    std::string body, headers;
    auto request = [&](const std::string& url) { return USB::HttpRequest("GET", url, "", 5000, body, headers); };
    auto digest = [](const std::string& url) { return !USB::HttpGet(url, USB::kMaxDigestBytes).empty(); };
    auto list = [this](const std::string& url) { return USB::DownFile(USB::NarrowToWide(url), Path("list")); };
    auto package = [this](const std::string& url) {
        return USB::DownFileVerified(USB::NarrowToWide(url), Path("pkg"), nullptr, nullptr, nullptr);
    };
    const std::vector<Row> rows = {
        {"answer at the cap", answer(USB::kMaxAnswerBytes), request, true, ""},
        {"answer above the cap", answer(USB::kMaxAnswerBytes + 1), request, false,
         "the answer is larger than 65536 bytes, refused\n"},
        {"digest above its cap", answer(USB::kMaxDigestBytes + 1), digest, false, ""},
        {"whitelist announced above its cap", answer(10, USB::kMaxWhitelistBytes + 1), list, false,
         "announces 4194305 bytes, more than the 4194304 allowed\n"},
        {"package announced above its cap", answer(10, USB::kMaxPackageBytes + 1), package, false,
         "announces 1073741825 bytes, more than the 1073741824 allowed\n"},
        {"trickling answer", answer(1000, -1, 1000, 1), request, false,
         "the answer took longer than 20000 ms, given up\n"},
        {"trickling whitelist", answer(1000, -1, 1000, 1), list, false, "took longer than 60000 ms, given up\n"},
        {"trickling package", answer(100000, -1, 1000, 100), package, false, "took longer than 300000 ms, given up\n"},
        {"package while the service stops", answer(100000, -1, 1000), [&](const std::string& url) {
             USB::WorkScope stopped([](void*) { return false; }, nullptr);
             return package(url);
         }, false, "given up: the service stopped\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        http.Serve("/r", row.answer);
        http.reads = 0;
        EXPECT_EQ(row.call("http://cloud.test/r"), row.ok);
        EXPECT_NE(platform.LogText().find(row.logged), std::string::npos);
        EXPECT_LT(http.reads, 400u);  // given up early, never read to the end
    }
}

TEST_F(HttpTransport, GetGivesTheBodyOfAnOkAnswerReadInPieces)
{
    HttpAnswer a;
    a.body = std::string(3000, 'b');
    a.maxChunk = 700;
    http.Serve("/big", a);
    EXPECT_EQ(USB::HttpGet("http://cloud.test/big"), a.body);
}

TEST_F(HttpTransport, EmptyBodyOrOversizedHeadersFailTheRequest)
{
    HttpAnswer empty;
    http.Serve("/empty", empty);
    HttpAnswer fat;
    fat.body = "ok";
    fat.extraHeaders = "X-Pad: " + std::string(1100, 'p') + "\r\n";
    http.Serve("/fat", fat);
    std::string body, headers;
    EXPECT_FALSE(USB::HttpRequest("GET", "http://cloud.test/empty", "", 5000, body, headers));
    EXPECT_FALSE(USB::HttpRequest("GET", "http://cloud.test/fat", "", 5000, body, headers));
    EXPECT_EQ(http.OpenHandles(), 0u);
}

TEST_F(HttpTransport, NoNetworkMeansNoGetAndNoRequest)
{
    platform.system.networkAlive = false;
    HttpAnswer a;
    a.body = "x";
    http.Serve("/x", a);
    EXPECT_EQ(USB::HttpGet("http://cloud.test/x"), "");
    EXPECT_TRUE(http.Records().empty());
}

TEST_F(HttpTransport, DownloadWritesTheFileWithTheDownloadAgent)
{
    HttpAnswer a;
    a.body = "package-bytes";
    http.Serve("/d/pkg.zip", a);
    const std::string file = Path("pkg.zip");
    EXPECT_TRUE(USB::DownFile(L"http://cloud.test/d/pkg.zip", file));
    EXPECT_EQ(USB::Fake::ReadFile(file), "package-bytes");
    EXPECT_EQ(http.Records().at(0).agent, "DownFile");
    EXPECT_TRUE(http.Records().at(0).download);
}

TEST_F(HttpTransport, EarlyCloseKeepsThePartialFileAndFails)
{
    HttpAnswer a;
    a.body = std::string(5000, 'z');
    a.closeAfter = 1234;
    http.Serve("/d/cut", a);
    const std::string file = Path("cut");
    EXPECT_FALSE(USB::DownFile(L"http://cloud.test/d/cut", file));
    EXPECT_EQ(USB::Fake::ReadFile(file).size(), 1234u);
    EXPECT_FALSE(USB::DownFileVerified(L"http://cloud.test/d/cut", file, nullptr, nullptr, nullptr));
    EXPECT_EQ(USB::Fake::ReadFile(file).size(), 1234u);
}

TEST_F(HttpTransport, DownloadNeedsOkStatusAndALength)
{
    HttpAnswer notFound;
    notFound.status = "HTTP/1.1 404 Not Found";
    notFound.body = "no";
    http.Serve("/d/nf", notFound);
    HttpAnswer noLength;
    noLength.body = "data";
    noLength.contentLength = false;
    http.Serve("/d/nolen", noLength);
    EXPECT_FALSE(USB::DownFile(L"http://cloud.test/d/nf", Path("nf")));
    EXPECT_NE(platform.LogText().find("download http://cloud.test/d/nf status is HTTP/1.1 404 Not Found\r\n"),
              std::string::npos);
    EXPECT_FALSE(USB::DownFile(L"http://cloud.test/d/nolen", Path("nolen")));
    EXPECT_EQ(http.OpenHandles(), 0u);
}

TEST_F(HttpTransport, ProgressStopAtHalfKeepsThePartialFile)
{
    HttpAnswer a;
    a.body = std::string(100000, 'p');
    a.maxChunk = 1000;
    http.Serve("/d/p", a);
    Progress progress;
    progress.stopAt = 50;
    const std::string file = Path("p");
    EXPECT_FALSE(USB::DownFileVerified(L"http://cloud.test/d/p", file, nullptr, &Record, &progress));
    ASSERT_FALSE(progress.seen.empty());
    EXPECT_EQ(progress.seen.back(), 50);
    EXPECT_EQ(USB::Fake::ReadFile(file).size(), 50000u);
    EXPECT_EQ(http.OpenHandles(), 0u);
}

TEST_F(HttpTransport, OneChunkReportsHundredOnce)
{
    HttpAnswer a;
    a.body = std::string(100, 'o');
    http.Serve("/d/small", a);
    Progress progress;
    EXPECT_TRUE(USB::DownFileVerified(L"http://cloud.test/d/small", Path("small"), nullptr, &Record, &progress));
    EXPECT_EQ(progress.seen, std::vector<int32_t>{100});
}

TEST_F(HttpTransport, GigabyteReportsEveryPercentOnceInOrder)
{
    HttpAnswer a;
    a.generatedSize = 1000000000ull;
    http.Serve("/d/huge", a);
    Progress progress;
#ifdef _WIN32
    const std::string sink = "NUL";
#else
    const std::string sink = "/dev/null";
#endif
    EXPECT_TRUE(USB::DownFileVerified(L"http://cloud.test/d/huge", sink, nullptr, &Record, &progress));
    std::vector<int32_t> expected;
    for (int i = 1; i <= 100; ++i)
        expected.push_back(i);
    EXPECT_EQ(progress.seen, expected);
}

TEST(HttpProgress, PercentIsExactForHugeSizes)
{
    EXPECT_EQ(USB::ProgressPercent(0, 10), 0);
    EXPECT_EQ(USB::ProgressPercent(1, 3), 33);
    EXPECT_EQ(USB::ProgressPercent(999999999, 1000000000), 99);
    const uint64_t max = ~0ull;
    EXPECT_EQ(USB::ProgressPercent(max / 2, max), 49);
    EXPECT_EQ(USB::ProgressPercent(max - 1, max), 99);
    EXPECT_EQ(USB::ProgressPercent(max, max), 100);
}

TEST_F(HttpTransport, DigestMismatchLogsThreeLinesAndFails)
{
    HttpAnswer a;
    a.body = "abc";
    http.Serve("/d/m", a);
    EXPECT_FALSE(USB::DownFileVerified(L"http://cloud.test/d/m", Path("m"), "00000000000000000000000000000000",
                                       nullptr, nullptr));
    const std::string log = platform.LogText();
    const size_t a1 = log.find("MD5 is different\n");
    const size_t a2 = log.find("my md5 is ");
    const size_t a3 = log.find("server md5 is 00000000000000000000000000000000\n");
    ASSERT_NE(a1, std::string::npos);
    ASSERT_NE(a2, std::string::npos);
    ASSERT_NE(a3, std::string::npos);
    EXPECT_LT(a1, a2);
    EXPECT_LT(a2, a3);
}

TEST_F(HttpTransport, MatchingDigestPasses)
{
    HttpAnswer a;
    a.body = "abc";
    http.Serve("/d/ok", a);
    // RFC 1321 test vector.
    EXPECT_TRUE(USB::DownFileVerified(L"http://cloud.test/d/ok", Path("ok"), "900150983cd24fb0d6963f7d28e17f72",
                                      nullptr, nullptr));
    EXPECT_FALSE(USB::DownFileVerified(L"http://cloud.test/d/ok", Path("ok2"), "", nullptr, nullptr));
}

}  // namespace
