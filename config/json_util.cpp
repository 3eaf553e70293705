#include "config/json_util.h"

#include <cstring>

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
