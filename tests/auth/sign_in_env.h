// What the sign-in tests share: a stand-in for Google's token and userinfo endpoints on a local
// HTTPS server, a stand-in browser ("xdg-open" first on PATH) and a private HOME.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "auth/auth_session.h"
#include "config/settings.h"
#include "support/tls_server.h"

// How the stand-in endpoints answer; change under lock() between requests.
struct FakeGoogleReplies {
  int tokenStatus = 200;
  std::string tokenBody = R"({"access_token":"at-1","refresh_token":"rt-1","token_type":"Bearer"})";
  bool tokenDrop = false;  // end the connection without a reply
  int userinfoStatus = 200;
  std::string userinfoBody = R"({"sub":"1","name":"Ada Lovelace","email":"ada@example.com"})";
  bool userinfoDrop = false;
  bool holdToken = false;  // the token reply waits until release()
};

// One request as the endpoint received it.
struct SeenRequest {
  std::string body;
  std::string contentType;
  std::string authorization;
};

class FakeGoogle {
 public:
  FakeGoogle();
  ~FakeGoogle();
  int port() const { return server_.port(); }
  // The endpoints of a session aimed at this server.
  GoogleEndpoints endpoints() const;

  std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }
  FakeGoogleReplies replies;              // under lock()
  std::vector<SeenRequest> tokenSeen;     // under lock()
  std::vector<SeenRequest> userinfoSeen;  // under lock()

  size_t tokenRequests();
  // Waits until a token request is being held (holdToken), up to 20 s.
  bool waitForHeldToken();
  void release();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int held_ = 0;
  bool released_ = false;
  LocalTlsServer server_;
};

// A private HOME with the settings file in it, and a stand-in "xdg-open" first on PATH that
// records the address it was given. Restores PATH and HOME when it ends.
class SignInEnv {
 public:
  SignInEnv();
  ~SignInEnv();
  std::string dir;
  LauncherSettings settings;

  // The address handed to the last "xdg-open", waiting up to 20 s for it; empty when none came.
  std::string waitForBrowserUrl();
  void forgetBrowserUrl();
  std::string settingsFileText() const;

 private:
  std::string oldPath_;
  std::string oldHome_;
  bool hadHome_ = false;
};

// Polls the session like the frame loop until done() holds or 20 s pass.
bool pollUntil(AuthSession& session, const std::function<bool()>& done);
// Query members of an address or request target, %-decoded ("+" stays).
std::map<std::string, std::string> queryOf(const std::string& url);
std::string percentDecoded(const std::string& text);
// Sends the browser's redirect to the listener; the status (0 when no answer) and the body.
int sendRedirect(int port, const std::string& target, std::string* body = nullptr);
// Unpadded URL-safe Base64 of the SHA-256 of text, made independently of the product.
std::string sha256Base64Url(const std::string& text);
// Threads of this process.
int threadCount();
// Their names, for failure messages.
std::string threadNames();
