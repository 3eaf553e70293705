#include "auth/auth_session.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <vector>

#include "auth/callback_listener.h"
#include "auth/token_worker.h"
#include "config/settings.h"
#include "platform/desktop.h"

AuthSession::AuthSession(const std::string& clientId, const std::string& clientSecret,
                         LauncherSettings* settings)
    : AuthSession(clientId, clientSecret, settings, GoogleEndpoints()) {}

AuthSession::AuthSession(const std::string& clientId, const std::string& clientSecret,
                         LauncherSettings* settings, const GoogleEndpoints& endpoints,
                         const RequestDeadlines& deadlines)
    : clientId(clientId),
      clientSecret(clientSecret),
      settings(settings),
      endpoints(endpoints),
      deadlines(deadlines) {
  if (settings) {
    userName = settings->userName;
    userEmail = settings->userEmail;
  }
}

AuthSession::~AuthSession() {
  stopCallbackServer(*this);
  if (listenerThread.joinable()) listenerThread.join();
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++generation;
  }
  endTokenWorker(*this);
}

void resetSignInResult(SignInResult& result) {
  result.finished = false;
  result.success = false;
  result.userName.clear();
  result.userEmail.clear();
  result.refreshToken.clear();
  result.errorMessage.clear();
}

std::string base64UrlEncode(const unsigned char* data, size_t size) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  out.reserve(size / 3 * 4 + 3);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const unsigned b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
    out += alphabet[b0 >> 2];
    out += alphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out += alphabet[((b1 & 15) << 2) | (b2 >> 6)];
    out += alphabet[b2 & 63];
  }
  if (size - i == 1) {
    const unsigned b0 = data[i];
    out += alphabet[b0 >> 2];
    out += alphabet[(b0 & 3) << 4];
  } else if (size - i == 2) {
    const unsigned b0 = data[i], b1 = data[i + 1];
    out += alphabet[b0 >> 2];
    out += alphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out += alphabet[(b1 & 15) << 2];
  }
  return out;
}

std::string randomBase64Url(uint32_t count) {
  std::vector<unsigned char> buffer(count);
  if (count > 0 && RAND_bytes(buffer.data(), static_cast<int>(count)) != 1) return std::string();
  return base64UrlEncode(buffer.data(), buffer.size());
}

std::string urlEncode(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string pkceChallenge(const std::string& verifier) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    return std::string();
  return base64UrlEncode(digest, length);
}

std::string redirectUriForPort(int32_t port) {
  return "http://127.0.0.1:" + std::to_string(port);
}

std::string buildAuthorizationUrl(const AuthSession& session, const std::string& redirectUri,
                                  const std::string& codeChallenge) {
  return "https://" + session.endpoints.authorizationHost + "/o/oauth2/v2/auth" +
         "?client_id=" + urlEncode(session.clientId) + "&redirect_uri=" + urlEncode(redirectUri) +
         "&response_type=code" + "&scope=" + urlEncode("openid email profile") +
         "&code_challenge=" + urlEncode(codeChallenge) + "&code_challenge_method=S256" +
         "&state=" + urlEncode(session.expectedState) + "&access_type=offline";
}

void endTokenWorker(AuthSession& session) {
  session.requests.cancel();
  if (session.tokenWorker.joinable()) session.tokenWorker.join();
}

void stopCallbackServer(AuthSession& session) {
  closeCallbackServer(session);
  session.port = 0;
}

namespace {

// Moves the generation on so that no running worker publishes, and drops what the listener or
// a worker already published: nothing of an abandoned attempt may reach the next poll.
void discardAttempt(AuthSession& session) {
  std::lock_guard<std::mutex> lock(session.mutex);
  ++session.generation;
  resetSignInResult(session.result);
  session.pendingCode.clear();
}

}  // namespace

void beginBrowserSignIn(AuthSession& session) {
  stopCallbackServer(session);
  endTokenWorker(session);
  discardAttempt(session);

  session.errorMessage.clear();
  session.state = AuthState::AwaitingBrowser;

  session.codeVerifier = randomBase64Url(48);
  session.expectedState = randomBase64Url(16);
  const std::string challenge = pkceChallenge(session.codeVerifier);
  if (session.codeVerifier.empty() || challenge.empty() || session.expectedState.empty()) {
    session.state = AuthState::SignedOut;
    session.errorMessage = "Failed to prepare the sign-in request.";
    return;
  }

  session.port = startCallbackServer(session);
  if (session.port <= 0) {
    session.state = AuthState::SignedOut;
    session.errorMessage = "Could not open the local sign-in listener.";
    return;
  }

  // The browser's outcome is not watched: when it cannot start, the user can still cancel.
  spawnDetached({"xdg-open", buildAuthorizationUrl(session, redirectUriForPort(session.port), challenge)});
}

void cancelBrowserSignIn(AuthSession& session) {
  stopCallbackServer(session);
  discardAttempt(session);
  endTokenWorker(session);
  session.state = AuthState::SignedOut;
  session.errorMessage.clear();
}

void signOut(AuthSession& session) {
  stopCallbackServer(session);
  discardAttempt(session);
  endTokenWorker(session);
  if (session.settings) {
    session.settings->refreshToken.clear();
    session.settings->userName.clear();
    session.settings->userEmail.clear();
    saveSettings(*session.settings);
  }
  session.userName.clear();
  session.userEmail.clear();
  session.errorMessage.clear();
  session.state = AuthState::SignedOut;
}

void pollAuthSession(AuthSession& session) {
  std::string code;
  SignInResult result;
  {
    std::lock_guard<std::mutex> lock(session.mutex);
    code.swap(session.pendingCode);
    if (session.result.finished) {
      result = session.result;
      resetSignInResult(session.result);
    }
  }

  // A second code (a repeated redirect before the listener closed) is ignored while the first
  // one's worker exists: one worker per session.
  if (!code.empty() && !session.tokenWorker.joinable()) {
    const std::string redirectUri = redirectUriForPort(session.port);
    stopCallbackServer(session);
    startTokenWorker(session, code, std::string(), TokenGrantMode::AuthorizationCode, redirectUri);
  }

  if (!result.finished) return;
  if (result.success) {
    if (session.settings) {
      if (!result.refreshToken.empty()) session.settings->refreshToken = result.refreshToken;
      session.settings->userName = result.userName;
      session.settings->userEmail = result.userEmail;
      saveSettings(*session.settings);
    }
    session.userName = result.userName;
    session.userEmail = result.userEmail;
    session.errorMessage.clear();
    session.state = AuthState::SignedIn;
  } else {
    session.errorMessage = result.errorMessage;
    session.state = AuthState::SignedOut;
  }
}
