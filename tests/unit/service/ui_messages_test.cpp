// What the host receives through its callback: ids, exact payload texts, the log line of each
// message, and the download-progress notification.
#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "fakes/host_recorder.h"
#include "fakes/test_access.h"
#include "service/USB_Service.h"
#include "support/json_utils.h"

namespace {

using USB::UsbDevice;
using USB::UsbService;

class UiMessagesTest : public ::testing::Test {
protected:
    UsbDevice* Phone()
    {
        device.m_pDeviceSn = "0123ABC";
        device.m_description = "Pixel 7";
        device.m_isAdbOpen = true;
        device.m_isDriverOk = false;
        return &device;
    }

    USB::Fake::Platform platform;
    USB::Fake::HostRecorder host;
    UsbService service;
    UsbDevice device;
};

TEST_F(UiMessagesTest, NothingIsDeliveredOrLoggedBeforeTheCallbackIsStored)
{
    service.SendToUi(USB_WM_CHECKING_ADBMODE, "{\"device_sn\":\"A\"}\n");
    service.SendToUi(USB_WM_DEVICE_ONLINE, USB::DevicePayload(*Phone()));
    service.SendToUi(USB_WM_TRY_CONNECT_PHONE, USB::SerialPayload("A"));
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(USB::Fake::UnixLines(platform.LogText()).find("send ui"), std::string::npos);
}

TEST_F(UiMessagesTest, PayloadsListMembersInNameOrderAndEndWithNewline)
{
    service.SetCallback(host.callback());
    service.SendToUi(USB_WM_DEVICE_ONLINE, USB::DevicePayload(*Phone()));
    service.SendToUi(USB_WM_TRY_CONNECT_PHONE, USB::SerialPayload("0123ABC"));

    const auto sent = host.Messages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].id, 11065);
    EXPECT_EQ(sent[0].json, "{\"b_adbopen\":true,\"b_driver\":false,\"device_desc\":\"Pixel 7\",\"device_sn\":\"0123ABC\"}\n");
    EXPECT_EQ(sent[1].id, 11037);
    EXPECT_EQ(sent[1].json, "{\"device_sn\":\"0123ABC\"}\n");
    const std::string log = USB::Fake::UnixLines(platform.LogText());
    EXPECT_NE(log.find("]: send ui WM_DEVICE_ONLINE " + sent[0].json + "\n"), std::string::npos);
    EXPECT_NE(log.find("]: send ui WM_TRY_CONNECT_PHONE {\"device_sn\":\"0123ABC\"}\n\n"), std::string::npos);
}

TEST_F(UiMessagesTest, CodePageTextsReachTheHostByteForByte)
{
    service.SetCallback(host.callback());
    Phone();
    device.m_description = "Caf\xE9 X1 ok";  // CP1252
    service.SendToUi(USB_WM_DEVICE_ONLINE, USB::DevicePayload(device));
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0].json,
              "{\"b_adbopen\":true,\"b_driver\":false,\"device_desc\":\"Caf\xE9 X1 ok\",\"device_sn\":\"0123ABC\"}\n");
    // GBK (one trail byte is a backslash), lone and truncated lead bytes: a JSON reader gets
    // every byte back, nothing swallowed or merged.
    for (const std::string text : {"\xD6\xD0\xCE\xC4 phone", "\x81\x5C\x95\x5C", "\xFF\x80\xE9", "end \xC3"}) {
        Json::Value value(Json::objectValue);
        value["device_desc"] = text;
        Json::Value back;
        ASSERT_TRUE(USB::ParseJson(USB::WriteJson(value), back));
        EXPECT_EQ(back["device_desc"].asString(), text);
    }
}

TEST(JsonWriter, AsciiDocumentsAreWrittenAsTheCompactWriterDoes)
{
    Json::Value nested(Json::objectValue);
    nested["z"] = Json::Value(Json::arrayValue);
    nested["a"]["b"] = Json::Value(Json::objectValue);
    nested["a"]["list"].append(Json::Value());
    nested["a"]["list"].append(-12);
    nested["a"]["list"].append(Json::UInt64(18446744073709551615ull));
    nested["a"]["list"].append(0.1);
    nested["a"]["list"].append(3.0);
    nested["a"]["list"].append(-1e300);
    nested["a"]["list"].append(false);
    nested["esc\"\\"] = "q\" b\\ / \b\f\n\r\t \x01\x1F\x7F nul" + std::string(1, '\0') + "end";
    Json::Value longArray(Json::arrayValue);  // past the widths where a styled writer breaks lines
    for (int i = 0; i < 40; ++i)
        longArray.append(std::string(i, 'x'));
    Json::Value objects(Json::arrayValue);
    for (int i = 0; i < 3; ++i)
        objects[i]["phone"] = "\\\\?\\USB#VID_18D1&PID_4EE2#SER" + std::to_string(i);
    Json::FastWriter compact;
    for (const Json::Value& doc : {nested, longArray, objects, Json::Value(Json::objectValue), Json::Value("text"),
                                   Json::Value(7), Json::Value()})
        EXPECT_EQ(USB::WriteJson(doc), compact.write(doc));
}

TEST_F(UiMessagesTest, UnnamedIdIsDeliveredByNumberAndLoggedWithEmptyName)
{
    service.SetCallback(host.callback());
    const std::string payload = "{\"device_desc\":\"Pixel 7\",\"device_sn\":\"A\",\"kill-name\":\"os\"}\n";
    service.SendToUi(11064, payload);
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0].id, 11064);
    EXPECT_NE(USB::Fake::UnixLines(platform.LogText()).find("]: send ui  " + payload + "\n"), std::string::npos);
}

TEST_F(UiMessagesTest, MessageNamesCoverTheTableEdges)
{
    EXPECT_EQ(UsbService::MessageName(11023), "");
    EXPECT_EQ(UsbService::MessageName(11024), "WM_ADB_OPEN");
    EXPECT_EQ(UsbService::MessageName(11027), "WM_DRIVER_DOWNLOAD_PROGRESS");
    EXPECT_EQ(UsbService::MessageName(11049), "WM_CHECKING_ADBMODE");
    EXPECT_EQ(UsbService::MessageName(11063), "WM_DRIVER_INSTALLING_SUCCESS");
    EXPECT_EQ(UsbService::MessageName(11064), "");
    EXPECT_EQ(UsbService::MessageName(11065), "WM_DEVICE_ONLINE");
    EXPECT_EQ(UsbService::MessageName(11066), "WM_DEVICE_OFFLINE");
    EXPECT_EQ(UsbService::MessageName(11068), "");
    EXPECT_EQ(UsbService::MessageName(-1), "");
}

TEST_F(UiMessagesTest, ProgressCarriesTheDownloadingDeviceOrThePercentAlone)
{
    service.SetCallback(host.callback());
    EXPECT_EQ(USB::ConnectionPipeline::OnDownloadProgress(7, &service.Pipeline()), 0);
    USB::PipelineTestAccess::SetDownloadDevice(service.Pipeline(), Phone());
    EXPECT_EQ(USB::ConnectionPipeline::OnDownloadProgress(42, &service.Pipeline()), 0);
    EXPECT_EQ(USB::ConnectionPipeline::OnDownloadProgress(42, nullptr), 0);

    const auto sent = host.Messages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].id, USB_WM_DRIVER_DOWNLOAD_PROGRESS);
    EXPECT_EQ(sent[0].json, "{\"down_progress\":7}\n");
    EXPECT_EQ(sent[1].json, "{\"device_desc\":\"Pixel 7\",\"device_sn\":\"0123ABC\",\"down_progress\":42}\n");
    EXPECT_NE(USB::Fake::UnixLines(platform.LogText()).find("download progress is 42\n"), std::string::npos);
}

TEST_F(UiMessagesTest, ProgressForAStoppedDeviceAbortsAndSendsNothing)
{
    service.SetCallback(host.callback());
    USB::PipelineTestAccess::SetDownloadDevice(service.Pipeline(), Phone());
    device.m_stop = true;
    EXPECT_EQ(USB::ConnectionPipeline::OnDownloadProgress(50, &service.Pipeline()), -1);
    EXPECT_TRUE(host.Messages().empty());
    const std::string log = USB::Fake::UnixLines(platform.LogText());
    EXPECT_NE(log.find("stop download the driver\n"), std::string::npos);
    EXPECT_EQ(log.find("download progress is"), std::string::npos);
}

}  // namespace
