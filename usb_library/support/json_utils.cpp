#include "support/json_utils.h"

#include <memory>

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

namespace USB {

std::string WriteJson(const Json::Value& value)
{
    Json::FastWriter writer;
    return writer.write(value);
}

bool ParseJson(const std::string& text, Json::Value& out)
{
    try {
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        return reader->parse(text.data(), text.data() + text.size(), &out, &errors);
    } catch (const std::exception&) {
        return false;
    }
}

std::string MemberText(const Json::Value& object, const char* name)
{
    if (!object.isObject() || !object.isMember(name))
        return std::string();
    const Json::Value& member = object[name];
    return member.isString() ? member.asString() : std::string();
}

bool HasMember(const Json::Value& object, const char* name)
{
    return object.isObject() && object.isMember(name);
}

}  // namespace USB
