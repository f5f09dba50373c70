// The HTTP transport as the cloud client and the downloads see it, over a fake server.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "cloud/http_transport.h"
#include "fakes/fake_http.h"
#include "fakes/fake_platform.h"
#include "support/ports/ports.h"
#include "support/usb_event.h"

namespace USB {
namespace {

using Fake::HttpAnswer;

class HttpTransport : public ::testing::Test {
protected:
    HttpTransport() { platform.ports.http = &http; }
    std::string Path(const std::string& name) const { return platform.root + kPathSep + name; }
    bool Logged(const std::string& text) const { return platform.LogText().find(text) != std::string::npos; }
    bool Request(const std::string& url)
    {
        std::string headers;
        return HttpRequest("GET", url, "", 5000, body, headers);
    }

    Fake::Platform platform;
    Fake::Http http;
    std::string body;
};

struct Progress {
    std::vector<int32_t> seen;
    int32_t stopAt = 0;
    static bool Record(int32_t percent, void* context)
    {
        Progress* p = static_cast<Progress*>(context);
        p->seen.push_back(percent);
        return !p->stopAt || percent < p->stopAt;
    }
};

// Only http and https (TLS, port 443) are asked, whatever the case of the scheme; a 200 status
// line with a body is the only success.
TEST_F(HttpTransport, SchemesStatusesAndWhatTheServerSees)
{
    http.Serve("/report", {"{}"});
    std::string headers;
    ASSERT_TRUE(HttpRequest("POST", "https://cloud.test/report", "a=1", 5000, body, headers));
    EXPECT_TRUE(DownFile("HTTP://cloud.test:8080/report", Path("r")));
    EXPECT_FALSE(Request("ftp://cloud.test/x"));
    EXPECT_FALSE(DownFile("file:///etc/passwd", Path("passwd")));
    std::string seen;
    for (const auto& r : http.Records())
        seen += r.agent + "|" + r.method + "|" + r.host + ":" + std::to_string(r.port) + r.path + "|" + r.body + "|" +
                r.addedHeaders + r.sentHeaders + std::to_string(r.receiveTimeoutMs) + (r.secure ? "|tls" : "") + "\n";
    EXPECT_EQ(
        seen,
        "Mozilla/4.0 (compatible; MSIE 5.0; Windows NT 5.0)|POST|cloud.test:443/report|a=1|Accept: */*\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\n15000|tls\nDownFile|GET|cloud.test:8080/report||15000\n");
    EXPECT_FALSE(FileExists(Path("passwd")));

    const struct {
        const char* status;
        std::string headers;
        bool ok;
    } rows[] = {
        {"HTTP/1.1 200 OK", "", true},
        {"HTTP/1.0 200 Fine", "", true},
        {"HTTP/1.1 404 Not Found", "", false},
        {"HTTP/1.1 500 Internal Server Error", "X-Was: 200 OK\r\n", false},
        {"HTTP/1.1 2000 OK", "", false},
        {"HTTP/1.1 302 200 OK", "", false},
        {"HTTP/1.1 200 OK", "X-Pad: " + std::string(1100, 'p') + "\r\n", false},  // headers too long
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.status);
        HttpAnswer a{"{}", row.status};
        a.headers = row.headers;
        http.Serve("/x", a);
        EXPECT_EQ(Request("http://cloud.test/x"), row.ok);
        EXPECT_EQ(body, "{}");  // kept for the log either way
        EXPECT_EQ(HttpGet("http://cloud.test/x"), row.ok ? "{}" : "");
        EXPECT_EQ(DownFile("http://cloud.test/x", Path("x")), row.ok);
    }
    http.Serve("/empty", {});
    EXPECT_FALSE(Request("http://cloud.test/empty"));
    HttpAnswer noLength{"data"};
    noLength.length = -2;
    http.Serve("/nolen", noLength);
    EXPECT_FALSE(DownFile("http://cloud.test/nolen", Path("nolen")));
    EXPECT_TRUE(Logged("download http://cloud.test/x status is HTTP/1.1 404 Not Found\r\n"));
    platform.system.networkAlive = false;
    http.ClearRecords();
    EXPECT_EQ(HttpGet("http://cloud.test/x"), "");
    EXPECT_TRUE(http.Records().empty());
    EXPECT_EQ(http.OpenHandles(), 0u);
}

// What the cloud may send at most, and how long it may take: answers beyond either fail.
TEST_F(HttpTransport, CapsAndDeadlines)
{
    // A body of `size` bytes, `chunk` a read; a trickling server spends a second of clock a read.
    auto answer = [](size_t size, int64_t length = -1, bool trickles = false, uint32_t chunk = UINT32_MAX) {
        HttpAnswer a{std::string(size, 'x')};
        a.length = length, a.maxChunk = chunk;
        if (trickles)
            a.onRead = [] { GetPorts().clock->SleepMs(1000); };
        return a;
    };
    auto digest = [](const std::string& url) { return !HttpGet(url, kMaxDigestBytes).empty(); };
    auto list = [this](const std::string& url) { return DownFile(url, Path("list")); };
    auto package = [this](const std::string& url) {
        return DownFileVerified(url, Path("pkg"), nullptr, nullptr, nullptr);
    };
    auto request = [this](const std::string& url) { return Request(url); };
    const struct {
        const char* what;
        HttpAnswer answer;
        std::function<bool(const std::string& url)> call;
        bool ok;
        const char* logged;
    } rows[] = {
        {"answer at the cap", answer(kMaxAnswerBytes), request, true, ""},
        {"answer above the cap", answer(kMaxAnswerBytes + 1), request, false,
         "the answer is larger than 65536 bytes, refused\n"},
        {"digest above its cap", answer(kMaxDigestBytes + 1), digest, false, ""},
        {"whitelist announced above its cap", answer(10, kMaxWhitelistBytes + 1), list, false,
         "announces 4194305 bytes, more than the 4194304 allowed\n"},
        {"package announced above its cap", answer(10, kMaxPackageBytes + 1), package, false,
         "announces 1073741825 bytes, more than the 1073741824 allowed\n"},
        {"trickling answer", answer(1000, -1, true, 1), request, false,
         "the answer took longer than 20000 ms, given up\n"},
        {"trickling whitelist", answer(1000, -1, true, 1), list, false, "took longer than 60000 ms, given up\n"},
        {"trickling package", answer(100000, -1, true, 100), package, false, "took longer than 300000 ms, given up\n"},
        {"package while the service stops", answer(100000, -1, true),
         [&](const std::string& url) {
             WorkScope stopped([](void*) { return false; }, nullptr);
             return package(url);
         },
         false, "given up: the service stopped\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        http.Serve("/r", row.answer);
        http.reads = 0;
        EXPECT_EQ(row.call("http://cloud.test/r"), row.ok);
        EXPECT_TRUE(Logged(row.logged));
        EXPECT_LT(http.reads, 400u);                                        // given up early, never read to the end
        EXPECT_FALSE(FileExists(Path("list")) || FileExists(Path("pkg")));  // nothing of it left
    }
}

// A download that ends early or is stopped fails and leaves no file; a digest that differs is the
// package tests' concern.
TEST_F(HttpTransport, DownloadsProgressAndDigest)
{
    HttpAnswer cut{std::string(5000, 'z')};
    cut.closeAfter = 1234;
    http.Serve("/cut", cut);
    EXPECT_FALSE(DownFile("http://cloud.test/cut", Path("cut")));
    EXPECT_FALSE(FileExists(Path("cut")));

    HttpAnswer big{std::string(100000, 'p')};
    big.maxChunk = 1000;
    http.Serve("/p", big);
    Progress half;
    half.stopAt = 50;
    EXPECT_FALSE(DownFileVerified("http://cloud.test/p", Path("p"), nullptr, &Progress::Record, &half));
    EXPECT_EQ(half.seen.back(), 50);
    EXPECT_FALSE(FileExists(Path("p")));

    http.Serve("/abc", {"abc"});
    Progress once;
    // RFC 1321 test vector.
    EXPECT_TRUE(DownFileVerified("http://cloud.test/abc", Path("ok"), "900150983cd24fb0d6963f7d28e17f72",
                                 &Progress::Record, &once));
    EXPECT_EQ(once.seen, std::vector<int32_t>{100});
    EXPECT_EQ(http.OpenHandles(), 0u);
    // Whole percent, exact for every 64-bit size.
    const uint64_t max = ~0ull;
    EXPECT_EQ(std::vector<int32_t>({ProgressPercent(1, 3), ProgressPercent(max / 2, max), ProgressPercent(max - 1, max),
                                    ProgressPercent(max, max)}),
              std::vector<int32_t>({33, 49, 99, 100}));
}

}  // namespace
}  // namespace USB
