// The token worker: obtains an access token (authorization code or refresh token) and reads the
// user's name and e-mail, on a thread of its own, publishing one SignInResult into the session.
#pragma once

#include <cstdint>
#include <string>

class AuthSession;
struct SignInResult;

enum class TokenGrantMode : uint8_t { AuthorizationCode = 0, RefreshToken = 1 };

// What a worker thread owns.
struct TokenWorkerJob {
  AuthSession* session = nullptr;  // outlives the worker: its destructor joins it
  std::string code;                // empty in refresh mode
  std::string refreshToken;        // empty in code mode
  TokenGrantMode mode = TokenGrantMode::AuthorizationCode;
  uint32_t generation = 0;   // the session's generation when the worker started
  std::string redirectUri;   // of the browser sign-in; empty in refresh mode
  std::string codeVerifier;  // the session's PKCE verifier at start
};

// The outcome of the token request.
struct TokenGrantResult {
  bool ok = false;
  std::string accessToken;
  std::string refreshToken;
  std::string errorMessage;
};

// Starts a worker on the job built from the arguments. The session's tokenWorker must not be
// joinable.
void startTokenWorker(AuthSession& session, const std::string& code, const std::string& refreshToken,
                      TokenGrantMode mode, const std::string& redirectUri);
// The worker's body: token request, userinfo request, publication when still current.
void runTokenWorker(const TokenWorkerJob& job);
// The two requests without the publication.
TokenGrantResult requestTokenGrant(const TokenWorkerJob& job);
SignInResult fetchSignInResult(const TokenWorkerJob& job);
