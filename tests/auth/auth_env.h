// What the sign-in tests share: stand-ins for Google's token and userinfo endpoints on a local
// HTTPS server, a stand-in browser ("xdg-open" first on PATH), a private HOME, and a session
// aimed at the stand-ins.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "auth/auth_session.h"
#include "config/settings.h"
#include "support/packages.h"
#include "support/temp_launcher.h"
#include "support/tls_server.h"

// Waits up to 20 s for done().
inline bool eventually(const std::function<bool()>& done) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20); !done();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// How the stand-in endpoints answer; status 0 ends the connection without a reply.
struct FakeGoogleReplies {
  int tokenStatus = 200;
  std::string tokenBody = R"({"access_token":"at-1","refresh_token":"rt-1"})";
  int userinfoStatus = 200;
  std::string userinfoBody = R"({"name":"Ada Lovelace","email":"ada@example.com"})";
  int tokenDelayMs = 0;  // keeps a token worker busy for that long
};

class FakeGoogle {
 public:
  FakeGoogle() {
    server_.http().Post("/token", [this](const httplib::Request& request, httplib::Response& response) {
      const FakeGoogleReplies now = record(tokenBodies, request.body);
      std::this_thread::sleep_for(std::chrono::milliseconds(now.tokenDelayMs));
      reply(response, now.tokenStatus, now.tokenBody);
    });
    server_.http().Get("/v1/userinfo", [this](const httplib::Request& request, httplib::Response& response) {
      const FakeGoogleReplies now = record(bearers, request.get_header_value("Authorization"));
      reply(response, now.userinfoStatus, now.userinfoBody);
    });
    server_.start();
    // Answered once the server's worker threads all exist, so tests can count their own threads.
    httplib::SSLClient("127.0.0.1", server_.port()).Get("/");
  }
  GoogleEndpoints endpoints() const {
    return {"accounts.google.com", "localhost", "127.0.0.1", server_.port()};
  }
  void answer(const std::function<void(FakeGoogleReplies&)>& change) {
    std::lock_guard<std::mutex> lock(mutex);
    change(replies);
  }
  size_t tokenRequests() {
    std::lock_guard<std::mutex> lock(mutex);
    return tokenBodies.size();
  }

  std::mutex mutex;  // guards the members below, which the server threads use
  FakeGoogleReplies replies;
  std::vector<std::string> tokenBodies;
  std::vector<std::string> bearers;

 private:
  FakeGoogleReplies record(std::vector<std::string>& seen, const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(what);
    return replies;
  }
  static void reply(httplib::Response& response, int status, const std::string& body) {
    if (status == 0) {
      response.set_content_provider(64, "text/plain",
                                    [](size_t, size_t, httplib::DataSink&) { return false; });
      return;
    }
    response.status = status;
    response.set_content(body, "application/json");
  }
  LocalTlsServer server_;
};

// Members of an address's query or of a form body, %-decoded.
inline std::map<std::string, std::string> queryOf(const std::string& text) {
  httplib::Params params;
  httplib::detail::parse_query_text(text.substr(text.find('?') + 1), params);
  return {params.begin(), params.end()};
}

// Sends a request to the listener as the browser would; the status (0 when no answer).
inline int sendRedirect(int port, const std::string& target, std::string* page = nullptr) {
  httplib::Client client("127.0.0.1", port);
  const httplib::Result response = client.Get(target.c_str());
  if (response && page) *page = response->body;
  return response ? response->status : 0;
}

class AuthTest : public ::testing::Test {
 protected:
  AuthTest() {
    std::filesystem::create_directories(dir / "bin");
    // Writes the address under a name of its own first, so a reader never sees half of it.
    writeTextFile(dir / "bin/xdg-open",
                  "#!/bin/sh\n{ printf '%s' \"$1\" >\"$0.$$\" && mv \"$0.$$\" \"$0.url\"; } 2>/dev/null\n");
    std::filesystem::permissions(dir / "bin/xdg-open", std::filesystem::perms::owner_all);
    settings.filePath = dir / ".config/ZELVAN/Launcher.conf";
  }
  // Polls the session like the frame loop until done() holds, up to 20 s.
  bool pollUntil(AuthSession& s, const std::function<bool()>& done) {
    return eventually([&] {
      pollAuthSession(s);
      return done();
    });
  }
  bool pollUntilSignedIn() {
    return pollUntil(session, [this] { return session.state == AuthState::SignedIn; });
  }
  // Starts a browser sign-in; the address the stand-in browser was given (empty after 20 s).
  std::string begin() {
    std::filesystem::remove(dir / "bin/xdg-open.url");
    beginBrowserSignIn(session);
    EXPECT_EQ(session.state, AuthState::AwaitingBrowser);
    eventually([this] { return std::filesystem::exists(dir / "bin/xdg-open.url"); });
    return readWholeFile(dir / "bin/xdg-open.url");
  }
  void redirect(const std::string& query, std::string* page = nullptr) {
    EXPECT_EQ(sendRedirect(session.port, "/?" + query, page), 200) << query;
  }
  std::string matching(const std::string& code) { return "code=" + code + "&state=" + session.expectedState; }

  TempDir dir;
  ScopedEnv home{"HOME", dir.path().c_str()};
  ScopedEnv path{"PATH", (dir / "bin:" + std::string(getenv("PATH") ? getenv("PATH") : "/bin")).c_str()};
  LauncherSettings settings;
  FakeGoogle google;
  AuthSession session{"client 1", "secret/+ 1", &settings, google.endpoints()};
};
