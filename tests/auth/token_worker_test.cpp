// Every answer of the token and userinfo endpoints, in both grant modes, through the real worker
// and the frame loop's poll.
#include <gtest/gtest.h>

#include "auth/token_worker.h"
#include "sign_in_env.h"

namespace {

class TokenWorkerTest : public ::testing::Test {
 protected:
  SignInEnv env;
  FakeGoogle google;
  AuthSession session{"client-1", "secret-1", &env.settings, google.endpoints()};

  void answer(const std::function<void(FakeGoogleReplies&)>& change) {
    auto lock = google.lock();
    change(google.replies);
  }
  // Runs a code exchange the way the poll starts it and applies its result.
  void exchange() {
    session.codeVerifier = "verifier";
    startTokenWorker(session, "code-1", "", TokenGrantMode::AuthorizationCode, "http://127.0.0.1:5");
    ASSERT_TRUE(pollUntil(
        session, [&] { return session.state != AuthState::SignedOut || !session.errorMessage.empty(); }));
  }
  void restore() {
    restoreSession(session);
    ASSERT_TRUE(pollUntil(session, [&] { return session.state != AuthState::Restoring; }));
  }
};

TEST_F(TokenWorkerTest, CodeExchangeFailuresBecomeOneSentence) {
  struct Case {
    const char* what;
    std::function<void(FakeGoogleReplies&)> replies;
    const char* sentence;
  };
  const std::vector<Case> cases = {
      {"token 400", [](FakeGoogleReplies& r) { r.tokenStatus = 400; },
       "Google rejected the sign-in (token endpoint returned HTTP 400)."},
      {"token connection dropped", [](FakeGoogleReplies& r) { r.tokenDrop = true; },
       "Could not reach Google's token endpoint. Check your connection."},
      {"token not JSON", [](FakeGoogleReplies& r) { r.tokenBody = "<html>"; },
       "Google returned an unexpected token response."},
      {"token JSON array", [](FakeGoogleReplies& r) { r.tokenBody = "[]"; },
       "Google returned an unexpected token response."},
      {"token trailing text", [](FakeGoogleReplies& r) { r.tokenBody = R"({"access_token":"a"} x)"; },
       "Google returned an unexpected token response."},
      {"no access_token",
       [](FakeGoogleReplies& r) { r.tokenBody = R"({"access_token":7,"refresh_token":"r"})"; },
       "Google did not return an access token."},
      {"userinfo 401", [](FakeGoogleReplies& r) { r.userinfoStatus = 401; },
       "Google refused the userinfo request (HTTP 401)."},
      {"userinfo connection dropped", [](FakeGoogleReplies& r) { r.userinfoDrop = true; },
       "Could not reach Google's userinfo endpoint."},
      {"userinfo not an object", [](FakeGoogleReplies& r) { r.userinfoBody = R"("ada@example.com")"; },
       "Google returned an unexpected userinfo response."},
      {"no email", [](FakeGoogleReplies& r) { r.userinfoBody = R"({"name":"Ada"})"; },
       "Google did not return an account email."},
  };
  env.settings.refreshToken = "kept";
  for (const Case& c : cases) {
    answer([&](FakeGoogleReplies& r) {
      r = FakeGoogleReplies();
      c.replies(r);
    });
    session.errorMessage.clear();
    session.state = AuthState::SignedOut;
    exchange();
    session.tokenWorker.join();
    EXPECT_EQ(session.state, AuthState::SignedOut) << c.what;
    EXPECT_EQ(session.errorMessage, c.sentence) << c.what;
    EXPECT_EQ(env.settings.refreshToken, "kept") << c.what;
  }
}

TEST_F(TokenWorkerTest, CodeExchangeSuccessVariants) {
  // A byte-order mark is skipped; a missing name is an empty name; a reply without a refresh
  // token keeps the stored one.
  answer([](FakeGoogleReplies& r) {
    r.tokenBody = "\xEF\xBB\xBF{\"access_token\":\"at-2\"}";
    r.userinfoBody = "\xEF\xBB\xBF{\"email\":\"nameless@example.com\"}";
  });
  env.settings.refreshToken = "older";
  env.settings.userName = "Old Name";
  exchange();
  EXPECT_EQ(session.state, AuthState::SignedIn) << session.errorMessage;
  EXPECT_EQ(session.userName, "");
  EXPECT_EQ(session.userEmail, "nameless@example.com");
  EXPECT_EQ(env.settings.refreshToken, "older");
  EXPECT_EQ(env.settings.userName, "");
  auto lock = google.lock();
  EXPECT_EQ(google.tokenSeen.at(0).body,
            "client_id=client-1&client_secret=secret-1&code=code-1&code_verifier=verifier"
            "&grant_type=authorization_code&redirect_uri=http%3A%2F%2F127.0.0.1%3A5");
  EXPECT_EQ(google.userinfoSeen.at(0).authorization, "Bearer at-2");
}

TEST_F(TokenWorkerTest, RestoreRefreshesTheIdentityAndKeepsTheStoredToken) {
  env.settings.refreshToken = "stored-rt";
  env.settings.userName = "Stored";
  env.settings.userEmail = "stored@example.com";
  answer([](FakeGoogleReplies& r) { r.tokenBody = R"({"access_token":"at-3","refresh_token":"rotated"})"; });
  restore();
  EXPECT_EQ(session.state, AuthState::SignedIn) << session.errorMessage;
  EXPECT_EQ(session.userName, "Ada Lovelace");
  EXPECT_EQ(env.settings.userEmail, "ada@example.com");
  EXPECT_EQ(env.settings.refreshToken, "stored-rt") << "a refresh reply's token is not stored";
  EXPECT_NE(env.settingsFileText().find("auth%2FuserName=Ada Lovelace"), std::string::npos);
  auto lock = google.lock();
  EXPECT_EQ(google.tokenSeen.at(0).body,
            "client_id=client-1&client_secret=secret-1&grant_type=refresh_token&refresh_token=stored-rt");
}

TEST_F(TokenWorkerTest, ARejectedRefreshKeepsTheStoredSignIn) {
  for (int status : {400, 401}) {
    env.settings.refreshToken = "stored-rt";
    answer([&](FakeGoogleReplies& r) { r.tokenStatus = status; });
    restore();
    EXPECT_EQ(session.state, AuthState::SignedOut);
    EXPECT_EQ(session.errorMessage, "The stored session is no longer valid.");
    EXPECT_EQ(env.settings.refreshToken, "stored-rt");
  }
}

TEST_F(TokenWorkerTest, AServerOutsideTheTrustStoreIsNotTalkedTo) {
  LocalTlsServer impostor(/*trusted*/ false);
  bool asked = false;
  impostor.http().Post("/token", [&](const httplib::Request&, httplib::Response& response) {
    asked = true;
    response.set_content(R"({"access_token":"stolen"})", "application/json");
  });
  GoogleEndpoints endpoints = google.endpoints();
  endpoints.port = impostor.start();
  AuthSession aimed("client-1", "secret-1", &env.settings, endpoints);
  env.settings.refreshToken = "stored-rt";
  restoreSession(aimed);
  ASSERT_TRUE(pollUntil(aimed, [&] { return aimed.state != AuthState::Restoring; }));
  EXPECT_EQ(aimed.errorMessage, "Could not reach Google's token endpoint. Check your connection.");
  impostor.stop();
  EXPECT_FALSE(asked) << "the refresh token went to a server nobody trusts";
}

TEST_F(TokenWorkerTest, RestoreWithoutAStoredTokenStaysSignedOut) {
  restoreSession(session);
  EXPECT_EQ(session.state, AuthState::SignedOut);
  EXPECT_FALSE(session.tokenWorker.joinable());
}

TEST_F(TokenWorkerTest, DestroyingTheSessionWaitsForARunningWorker) {
  answer([](FakeGoogleReplies& r) { r.holdToken = true; });
  auto doomed = std::make_unique<AuthSession>("c", "s", &env.settings, google.endpoints());
  env.settings.refreshToken = "stored-rt";
  restoreSession(*doomed);
  ASSERT_TRUE(google.waitForHeldToken());
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    google.release();
  });
  doomed.reset();
  releaser.join();
  EXPECT_EQ(google.tokenRequests(), 1u);
}

}  // namespace
