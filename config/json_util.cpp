#include "config/json_util.h"

#include <cstring>

bool parseJsonObject(const std::string& text, rapidjson::Document& document) {
  if (text.find('\0') != std::string::npos) return false;
  // Parsing with a length skips one leading byte-order mark.
  document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  return !document.HasParseError() && document.IsObject();
}

std::string getJsonStringMember(const rapidjson::Value& object, const char* name) {
  const size_t nameLength = std::strlen(name);
  for (auto member = object.MemberBegin(); member != object.MemberEnd(); ++member) {
    const rapidjson::Value& key = member->name;
    if (key.GetStringLength() != nameLength || std::memcmp(key.GetString(), name, nameLength) != 0) continue;
    if (!member->value.IsString()) return std::string();
    return std::string(member->value.GetString(), member->value.GetStringLength());
  }
  return std::string();
}
