// The sign-in session: who is signed in, the browser sign-in with PKCE, and the hand-over
// points between the UI thread, the loopback listener and the token worker.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "auth/callback_listener.h"
#include "auth/google_endpoints.h"
#include "platform/https_request.h"

struct LauncherSettings;

enum class AuthState : int32_t { SignedOut = 0, Restoring = 1, AwaitingBrowser = 2, SignedIn = 3 };

// What a token worker or the listener publishes into the session.
struct SignInResult {
  bool finished = false;  // a result is waiting for the frame loop
  bool success = false;   // the texts below hold the identity
  std::string userName;
  std::string userEmail;
  std::string refreshToken;  // from a code exchange only; empty when the reply had none
  std::string errorMessage;  // one sentence when success is false
};

class AuthSession {
 public:
  AuthSession(const std::string& clientId, const std::string& clientSecret, LauncherSettings* settings);
  // Tests aim a session at local servers and shorten its deadlines; the launcher always uses the
  // defaults.
  AuthSession(const std::string& clientId, const std::string& clientSecret, LauncherSettings* settings,
              const GoogleEndpoints& endpoints, const RequestDeadlines& deadlines = RequestDeadlines());
  // Stops the listener, discards any running worker's result and joins it.
  ~AuthSession();
  AuthSession(const AuthSession&) = delete;
  AuthSession& operator=(const AuthSession&) = delete;

  const std::string clientId;
  const std::string clientSecret;
  LauncherSettings* settings;  // not owned; its refreshToken, userName and userEmail are the stored sign-in
  const GoogleEndpoints endpoints;
  const RequestDeadlines deadlines;

  // UI thread only.
  AuthState state = AuthState::SignedOut;
  std::string userName;      // shown in the sidebar
  std::string userEmail;     // shown in the sidebar
  std::string errorMessage;  // shown under "Sign in"; empty when there is nothing to show
  // The loopback listener while one is open; it runs on a thread of its own.
  std::unique_ptr<CallbackServer> server;
  std::thread listenerThread;  // runs the listener, then closes its connections; joined by the next start
  int32_t port = 0;            // listener port; -1 after a failed start, 0 otherwise
  std::string codeVerifier;    // PKCE verifier of the current browser sign-in
  std::string expectedState;   // written while no listener is open; its handler reads it under mutex

  std::mutex mutex;  // guards result, pendingCode, generation and server->open
  SignInResult result;
  std::string pendingCode;    // a code from the listener not yet taken by the frame loop
  std::thread tokenWorker;    // at most one; joinable from its start until joined
  RequestCanceller requests;  // aborts the token worker's request in flight
  uint32_t generation = 0;    // advanced on every start, cancel and sign-out; compared for equality only

  // Called by the listener and the token worker after they publish, so a frame loop asleep until
  // input draws the result at once; null (the default) when nothing waits.
  std::atomic<void (*)()> wake{nullptr};
};

// Calls the session's wake hook when one is set; any thread.
inline void wakeFrameLoop(const AuthSession& session) {
  if (void (*wake)() = session.wake.load()) wake();
}

// Both flags false, all texts empty. Call with the session's mutex held.
void resetSignInResult(SignInResult& result);

// Starts the interactive sign-in: listener, PKCE values, browser. Success shows as AwaitingBrowser,
// failure as SignedOut with errorMessage set.
void beginBrowserSignIn(AuthSession& session);
// Abandons the browser sign-in; whatever it already produced is dropped.
void cancelBrowserSignIn(AuthSession& session);
// Forgets the signed-in user in memory and in the settings file.
void signOut(AuthSession& session);
// Aborts the token worker's request in flight and joins the worker, which then ends at once; its
// result is kept only while the generation it started with is current.
void endTokenWorker(AuthSession& session);
// Closes the loopback listener if one is open, at once whatever its clients do; port becomes 0.
void stopCallbackServer(AuthSession& session);
// Once per frame: starts the exchange of a received code and applies a finished result.
void pollAuthSession(AuthSession& session);

// "http://127.0.0.1:" + port, the redirect URI of the browser sign-in.
std::string redirectUriForPort(int32_t port);
// The address of Google's authorization page for this session's attempt.
std::string buildAuthorizationUrl(const AuthSession& session, const std::string& redirectUri,
                                  const std::string& codeChallenge);

// Unpadded Base64 with the URL-safe alphabet.
std::string base64UrlEncode(const unsigned char* data, size_t size);
// count random bytes, Base64url-encoded; empty when the random source fails.
std::string randomBase64Url(uint32_t count);
// Percent-encodes every byte but ASCII letters, digits and - . _ ~ (upper-case hex).
std::string urlEncode(const std::string& text);
// Base64url of the SHA-256 of the verifier; empty when the digest fails.
std::string pkceChallenge(const std::string& verifier);

// Starts the silent restore from the stored refresh token (defined with the token worker).
void restoreSession(AuthSession& session);
