// The payloads' writer: compact JSON whose code-page bytes reach the host as they are.
#include <gtest/gtest.h>

#include "support/json_utils.h"

namespace {

using namespace USB;

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
