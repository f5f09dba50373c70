#include "support/json_utils.h"

#include <memory>
#include <sstream>

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

namespace USB {

std::string WriteJson(const Json::Value& value)
{
    // The compact form of FastWriter, except that bytes from 0x80 up are copied as they are:
    // texts are in the system's code page, which FastWriter would read as UTF-8 and rewrite.
    static const Json::StreamWriterBuilder builder = [] {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        b["commentStyle"] = "None";
        b["emitUTF8"] = true;
        return b;
    }();
    std::ostringstream out;
    std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
    writer->write(value, &out);
    out << '\n';
    return out.str();
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
