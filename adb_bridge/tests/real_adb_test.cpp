// The client against Debian's adb server on a private port.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "adb_client.h"

namespace adb {
namespace {

TEST(RealAdbServer, AnswersVersionAndListsNoDevicesThenDiesOnKill)
{
    const std::string adb = "/usr/bin/adb";
    ASSERT_EQ(access(adb.c_str(), X_OK), 0) << adb << " is installed with the other Debian packages";
    int s = socket(AF_INET, SOCK_STREAM, 0);  // a free port: bind to 0 and ask
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
    close(s);
    ClientOptions o;
    o.port = ntohs(a.sin_port);
    const std::string server = adb + " -P " + std::to_string(o.port);
    ASSERT_EQ(std::system((server + " start-server >/dev/null 2>&1").c_str()), 0);

    Client client(o);
    int version = 0;
    EXPECT_EQ(client.Version(&version), OK) << client.last_error();
    EXPECT_GE(version, 31);  // every server of the last decade
    std::string listing = "x";
    EXPECT_EQ(client.Devices(&listing), OK) << client.last_error();
    EXPECT_EQ(listing, "");
    std::string out;
    EXPECT_EQ(client.Shell("", "echo hi", &out, 100), ERR_SERVER_FAIL);
    EXPECT_EQ(client.Kill(), OK) << client.last_error();
    EXPECT_EQ(client.Version(&version), ERR_CONNECT);
    std::system((server + " kill-server >/dev/null 2>&1").c_str());  // whatever happened, none is left
}

}  // namespace
}  // namespace adb
