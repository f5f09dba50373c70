// jsoncpp in the library's two fixed forms: compact writing and tolerant member reads.
#pragma once

#include <json/json.h>

#include <string>

namespace USB {

// Compact text: members in name order, no spaces, "\n" after the closing brace. Text bytes
// from 0x80 up are written unchanged (the system's code page), never as \u escapes.
std::string WriteJson(const Json::Value& value);
// False when the text is not JSON.
bool ParseJson(const std::string& text, Json::Value& out);
// A string member's text; "" when the value is not an object or the member is not a string.
std::string MemberText(const Json::Value& object, const char* name);
// True with the member when the value is an object that has it.
bool HasMember(const Json::Value& object, const char* name);

}  // namespace USB
