// Small helpers shared by every JSON reader of the launcher.
#pragma once

#include <rapidjson/document.h>

#include <string>

// The string value of the first member called name (compared byte for byte) of a JSON object;
// empty when there is no such member or its value is not a string. The length comes from the
// document, so an escaped \u0000 stays in the text. The caller makes sure object is an object.
std::string getJsonStringMember(const rapidjson::Value& object, const char* name);

// Parses text that must be exactly one JSON object (a leading UTF-8 byte-order mark is skipped)
// into document; false for anything else. Iterative, so deeply nested input cannot exhaust the
// stack; a raw NUL byte, which the parser would take for the end of the input, is refused.
bool parseJsonObject(const std::string& text, rapidjson::Document& document);
