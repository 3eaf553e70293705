#include "auth/token_worker.h"

#include <system_error>

#include "auth/auth_session.h"
#include "config/json_util.h"
#include "config/settings.h"
#include "platform/json_request.h"
#include "platform/threads.h"

namespace {

const char* const kTokenEndpointUnreachable =
    "Could not reach Google's token endpoint. Check your connection.";

// Each request gets a new client: connection time-out 15 s, read time-out 300 s (set here: this
// library's own default is only 5 s, too short for a slow answer), and the session's deadline
// over the whole request, so a peer that trickles bytes cannot hold the worker.
HttpsRequest googleRequest(const AuthSession& session, const std::string& host) {
  HttpsRequest request;
  request.host = host;
  request.port = session.endpoints.port;
  request.connectSeconds = 15;
  request.readSeconds = 300;
  request.deadline = session.deadlines.signIn;
  return request;
}

}  // namespace

TokenGrantResult requestTokenGrant(const TokenWorkerJob& job) {
  TokenGrantResult grant;
  const AuthSession& session = *job.session;
  const bool codeMode = job.mode == TokenGrantMode::AuthorizationCode;

  // The library's form encoder writes the names in ascending order.
  httplib::Params form;
  form.emplace("client_id", session.clientId);
  form.emplace("client_secret", session.clientSecret);
  if (codeMode) {
    form.emplace("code", job.code);
    form.emplace("code_verifier", job.codeVerifier);
    form.emplace("grant_type", "authorization_code");
    form.emplace("redirect_uri", job.redirectUri);
  } else {
    form.emplace("grant_type", "refresh_token");
    form.emplace("refresh_token", job.refreshToken);
  }

  HttpsRequest request = googleRequest(session, session.endpoints.tokenHost);
  request.method = "POST";
  request.path = "/token";
  request.body = httplib::detail::params_to_query_str(form);
  request.contentType = "application/x-www-form-urlencoded";
  const JsonReply reply = sendJsonRequest(request, &job.session->requests);
  if (reply.outcome != JsonReplyOutcome::Ok) {
    grant.errorMessage =
        reply.failure(kTokenEndpointUnreachable,
                      codeMode ? "Google rejected the sign-in (token endpoint returned HTTP " +
                                     std::to_string(reply.status) + ")."
                               : "The stored session is no longer valid.",
                      "Google returned an unexpected token response.");
    return grant;
  }
  grant.accessToken = getJsonStringMember(reply.document, "access_token");
  // A refresh reply may carry a new refresh token; the stored one is kept.
  if (codeMode) grant.refreshToken = getJsonStringMember(reply.document, "refresh_token");
  if (grant.accessToken.empty()) {
    grant.errorMessage = "Google did not return an access token.";
    return grant;
  }
  grant.ok = true;
  return grant;
}

SignInResult fetchSignInResult(const TokenWorkerJob& job) {
  SignInResult record;
  record.finished = true;
  const TokenGrantResult grant = requestTokenGrant(job);
  if (!grant.ok) {
    record.errorMessage = grant.errorMessage;
    return record;
  }
  record.refreshToken = grant.refreshToken;

  const AuthSession& session = *job.session;
  HttpsRequest request = googleRequest(session, session.endpoints.userinfoHost);
  request.path = "/v1/userinfo";
  request.headers.emplace("Authorization", "Bearer " + grant.accessToken);
  const JsonReply reply = sendJsonRequest(request, &job.session->requests);
  if (reply.outcome != JsonReplyOutcome::Ok) {
    record.errorMessage =
        reply.failure("Could not reach Google's userinfo endpoint.",
                      "Google refused the userinfo request (HTTP " + std::to_string(reply.status) + ").",
                      "Google returned an unexpected userinfo response.");
    return record;
  }
  record.userName = getJsonStringMember(reply.document, "name");
  record.userEmail = getJsonStringMember(reply.document, "email");
  if (record.userEmail.empty()) {
    record.errorMessage = "Google did not return an account email.";
    return record;
  }
  record.success = true;
  return record;
}

void runTokenWorker(const TokenWorkerJob& job) {
  SignInResult record = fetchSignInResult(job);
  AuthSession& session = *job.session;
  {
    std::lock_guard<std::mutex> lock(session.mutex);
    // A cancelled, signed-out or superseded attempt publishes nothing.
    if (session.generation == job.generation) session.result = std::move(record);
  }
  wakeFrameLoop(session);
}

void startTokenWorker(AuthSession& session, const std::string& code, const std::string& refreshToken,
                      TokenGrantMode mode, const std::string& redirectUri) {
  TokenWorkerJob job;
  job.session = &session;
  job.code = code;
  job.refreshToken = refreshToken;
  job.mode = mode;
  job.generation = session.generation;  // only the UI thread writes it
  job.redirectUri = redirectUri;
  job.codeVerifier = session.codeVerifier;
  session.requests.reset();  // no worker runs now: a cancel of an earlier attempt is spent
  try {
    session.tokenWorker = std::thread([job = std::move(job)] {
      nameThisThread("orvo-token");
      runTokenWorker(job);
    });
  } catch (const std::system_error&) {
    // No thread for the request: it ends as a request that could not be sent.
    SignInResult record;
    record.finished = true;
    record.errorMessage = kTokenEndpointUnreachable;
    std::lock_guard<std::mutex> lock(session.mutex);
    session.result = std::move(record);
  }
}

void restoreSession(AuthSession& session) {
  const std::string token = session.settings ? session.settings->refreshToken : std::string();
  if (token.empty()) {
    session.state = AuthState::SignedOut;
    return;
  }
  session.errorMessage.clear();
  session.state = AuthState::Restoring;
  endTokenWorker(session);
  {
    std::lock_guard<std::mutex> lock(session.mutex);
    resetSignInResult(session.result);
  }
  startTokenWorker(session, std::string(), token, TokenGrantMode::RefreshToken, std::string());
}
