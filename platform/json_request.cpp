#include "platform/json_request.h"

#include "config/json_util.h"

std::string JsonReply::failure(const std::string& noReply, const std::string& badStatus,
                               const std::string& notJson) const {
  switch (outcome) {
    case JsonReplyOutcome::NoReply:
      return noReply;
    case JsonReplyOutcome::BadStatus:
      return badStatus;
    case JsonReplyOutcome::NotJson:
      return notJson;
    case JsonReplyOutcome::Ok:
      break;
  }
  return std::string();
}

JsonReply sendJsonRequest(const HttpsRequest& request, RequestCanceller* canceller) {
  const HttpsReply reply = sendHttpsRequest(request, canceller);
  JsonReply result;
  result.status = reply.status;
  if (!reply.responded)
    result.outcome = JsonReplyOutcome::NoReply;
  else if (reply.status != 200)
    result.outcome = JsonReplyOutcome::BadStatus;
  else if (reply.tooLarge || !parseJsonObject(reply.body, result.document))
    result.outcome = JsonReplyOutcome::NotJson;
  else
    result.outcome = JsonReplyOutcome::Ok;
  return result;
}
