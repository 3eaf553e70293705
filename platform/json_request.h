// A request whose answer is one JSON object (token, userinfo, manifest, verification): the reply
// is sorted into the few ways it can go wrong, and each caller words them itself.
#pragma once

#include <rapidjson/document.h>

#include <string>

#include "platform/https_request.h"

enum class JsonReplyOutcome { NoReply, BadStatus, NotJson, Ok };

struct JsonReply {
  JsonReplyOutcome outcome = JsonReplyOutcome::NoReply;
  int status = 0;                // the HTTP status, when the peer responded
  rapidjson::Document document;  // the object, when Ok

  // The caller's sentence for the outcome (Ok has none).
  std::string failure(const std::string& noReply, const std::string& badStatus,
                      const std::string& notJson) const;
};

// Sends the request as sendHttpsRequest does; a reply of status 200 whose whole body is one JSON
// object is Ok, one cut off at the body limit is NotJson.
JsonReply sendJsonRequest(const HttpsRequest& request, RequestCanceller* canceller);
