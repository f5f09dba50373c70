// What the host receives through its callback: ids, exact payload bytes and the log line of each
// message.
#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "fakes/host_recorder.h"
#include "service/service.h"
#include "support/json_utils.h"

namespace {

using namespace USB;

class UiMessagesTest : public ::testing::Test {
protected:
    UiMessagesTest()
    {
        phone.m_serial = "0123ABC";
        phone.m_description = "Caf\xE9 X1";  // a code-page text reaches the host byte for byte
        phone.m_isAdbOpen = true;
    }

    Fake::Platform platform;
    Fake::HostRecorder host;
    UsbService service;
    DeviceRecord phone;
};

TEST_F(UiMessagesTest, PayloadsReachTheHostOnlyOnceACallbackIsSet)
{
    service.SendToUi(USB_WM_DEVICE_ONLINE, DevicePayload(phone));
    EXPECT_EQ(Fake::CountOf(platform.Log(), "send ui"), 0u);
    service.SetCallback(host.callback());
    service.SendToUi(USB_WM_DEVICE_ONLINE, DevicePayload(phone));
    service.SendToUi(USB_WM_TRY_CONNECT_PHONE, SerialPayload("0123ABC"));
    service.SendToUi(11064, "{\"device_sn\":\"A\",\"kill-name\":\"os\"}\n");  // an id without a name
    EXPECT_EQ(host.Transcript(), "WM_DEVICE_ONLINE {\"b_adbopen\":true,\"b_driver\":false,\"device_desc\":\"Caf\xE9 "
                                 "X1\",\"device_sn\":\"0123ABC\"}\n"
                                 "WM_TRY_CONNECT_PHONE {\"device_sn\":\"0123ABC\"}\n"
                                 "11064 {\"device_sn\":\"A\",\"kill-name\":\"os\"}\n");
    EXPECT_EQ(Fake::CountOf(platform.Log(), "send ui  {\"device_sn\":\"A\""), 1u);
}

TEST(JsonWriter, NonAsciiBytesRoundTripAndAsciiIsWrittenAsTheCompactWriterDoes)
{
    // GBK (one trail byte is a backslash), lone and truncated lead bytes: a JSON reader gets
    // every byte back, nothing swallowed or merged.
    for (const std::string text : {"\xD6\xD0\xCE\xC4 phone", "\x81\x5C\x95\x5C", "\xFF\x80\xE9", "end \xC3"}) {
        Json::Value value(Json::objectValue), back;
        value["device_desc"] = text;
        ASSERT_TRUE(ParseJson(WriteJson(value), back));
        EXPECT_EQ(back["device_desc"].asString(), text);
    }
    Json::Value nested(Json::objectValue);
    nested["z"] = Json::Value(Json::arrayValue);
    nested["a"]["b"] = Json::Value(Json::objectValue);
    for (const Json::Value& v : {Json::Value(), Json::Value(-12), Json::Value(Json::UInt64(18446744073709551615ull)),
                                 Json::Value(0.1), Json::Value(3.0), Json::Value(-1e300), Json::Value(false)})
        nested["a"]["list"].append(v);
    nested["esc\"\\"] = "q\" b\\ / \b\f\n\r\t \x01\x1F\x7F nul" + std::string(1, '\0') + "end";
    Json::Value longArray(Json::arrayValue);  // past the widths where a styled writer breaks lines
    for (int i = 0; i < 40; ++i)
        longArray.append(std::string(i, 'x'));
    Json::FastWriter compact;
    for (const Json::Value& doc :
         {nested, longArray, Json::Value(Json::objectValue), Json::Value("text"), Json::Value()})
        EXPECT_EQ(WriteJson(doc), compact.write(doc));
}

}  // namespace
