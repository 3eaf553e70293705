// The browser sign-in end to end inside the process: the real listener driven by an HTTP client,
// the real token worker against local HTTPS endpoints, the stand-in browser on PATH.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "auth/callback_listener.h"
#include "auth/token_worker.h"
#include "sign_in_env.h"

namespace {

// Children of this process that have ended but were not reaped.
int zombieChildren() {
  int zombies = 0;
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  while (dirent* entry = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    if (sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2 && state == 'Z' &&
        parent == getpid())
      ++zombies;
  }
  closedir(proc);
  return zombies;
}

class SignInTest : public ::testing::Test {
 protected:
  SignInEnv env;
  FakeGoogle google;
  AuthSession session{"client-1.apps", "secret/+ 1", &env.settings, google.endpoints()};

  // Starts a browser sign-in and returns the authorization URL the browser was given.
  std::string begin() {
    env.forgetBrowserUrl();
    beginBrowserSignIn(session);
    EXPECT_EQ(session.state, AuthState::AwaitingBrowser);
    return env.waitForBrowserUrl();
  }
  void redirect(const std::string& query, std::string* page = nullptr) {
    EXPECT_EQ(sendRedirect(session.port, "/?" + query, page), 200) << query;
  }
  std::string matching(const std::string& code) { return "code=" + code + "&state=" + session.expectedState; }
};

TEST_F(SignInTest, BrowserSignInStoresTheIdentityAndSendsWhatThePkceFlowNeeds) {
  const std::string url = begin();
  ASSERT_FALSE(url.empty()) << "the browser was not started";
  ASSERT_EQ(url.rfind("https://accounts.google.com/o/oauth2/v2/auth?client_id=", 0), 0u) << url;
  auto query = queryOf(url);
  const std::string redirectUri = "http://127.0.0.1:" + std::to_string(session.port);
  EXPECT_EQ(query["client_id"], "client-1.apps");
  EXPECT_EQ(query["redirect_uri"], redirectUri);
  EXPECT_EQ(query["scope"], "openid email profile");
  EXPECT_EQ(query["code_challenge_method"], "S256");
  EXPECT_EQ(query["access_type"], "offline");
  EXPECT_EQ(query["state"].size(), 22u);
  EXPECT_EQ(query["state"], session.expectedState);
  EXPECT_EQ(query["code_challenge"].size(), 43u);

  std::string page;
  redirect(matching("4/0Ab c"), &page);
  EXPECT_EQ(page.size(), 334u);
  EXPECT_NE(page.find("<h2>Sign-in complete</h2>"), std::string::npos);
  EXPECT_EQ(session.state, AuthState::AwaitingBrowser);

  ASSERT_TRUE(pollUntil(session, [&] { return session.state == AuthState::SignedIn; }))
      << session.errorMessage;
  EXPECT_EQ(session.port, 0);
  EXPECT_EQ(session.server, nullptr);
  EXPECT_EQ(session.userName, "Ada Lovelace");
  EXPECT_EQ(session.userEmail, "ada@example.com");
  EXPECT_EQ(env.settings.refreshToken, "rt-1");
  const std::string file = env.settingsFileText();
  EXPECT_NE(file.find("auth%2FrefreshToken=rt-1\n"), std::string::npos) << file;
  EXPECT_NE(file.find("auth%2FuserName=Ada Lovelace\n"), std::string::npos) << file;
  EXPECT_NE(file.find("auth%2FuserEmail=ada%40example.com\n"), std::string::npos) << file;

  auto lock = google.lock();
  ASSERT_EQ(google.tokenSeen.size(), 1u);
  const SeenRequest& token = google.tokenSeen[0];
  EXPECT_EQ(token.contentType, "application/x-www-form-urlencoded");
  // Names in ascending order; the values as the library's form encoder writes them.
  const auto form = queryOf("?" + token.body);
  EXPECT_EQ(token.body.rfind("client_id=client-1.apps&client_secret=", 0), 0u) << token.body;
  EXPECT_LT(token.body.find("&code="), token.body.find("&code_verifier="));
  EXPECT_LT(token.body.find("&code_verifier="),
            token.body.find("&grant_type=authorization_code&redirect_uri="));
  EXPECT_EQ(form.size(), 6u);
  EXPECT_EQ(percentDecoded(form.at("client_secret")), "secret/+ 1");
  EXPECT_EQ(form.at("code"), "4/0Ab c");
  EXPECT_EQ(form.at("redirect_uri"), redirectUri);
  EXPECT_EQ(form.at("code_verifier").size(), 64u);
  EXPECT_EQ(sha256Base64Url(form.at("code_verifier")), query["code_challenge"]);
  ASSERT_EQ(google.userinfoSeen.size(), 1u);
  EXPECT_EQ(google.userinfoSeen[0].authorization, "Bearer at-1");

  EXPECT_EQ(zombieChildren(), 0) << "xdg-open children are never reaped";
}

TEST_F(SignInTest, RejectedRedirectsReportTheirSentenceAndKeepTheListenerOpen) {
  struct Case {
    std::string query;
    std::string sentence;
  };
  ASSERT_FALSE(begin().empty());
  const std::vector<Case> cases = {
      {"error=access_denied&" + matching("c1"), "Google sign-in was not completed (access_denied)."},
      {"code=c1&state=" + session.expectedState + "x",
       "The sign-in response did not match this launcher session."},
      {"code=c1", "The sign-in response did not match this launcher session."},
      {"state=" + session.expectedState, "Google did not return a sign-in code."},
  };
  for (const Case& c : cases) {
    std::string page;
    redirect(c.query, &page);
    EXPECT_NE(page.find("<h2>Sign-in not completed</h2>"), std::string::npos) << c.query;
    EXPECT_EQ(page.find("Sign-in complete"), std::string::npos) << c.query;
    {
      std::lock_guard<std::mutex> lock(session.mutex);
      EXPECT_TRUE(session.pendingCode.empty()) << c.query;
    }
    pollAuthSession(session);
    EXPECT_EQ(session.state, AuthState::SignedOut) << c.query;
    EXPECT_EQ(session.errorMessage, c.sentence) << c.query;
    EXPECT_NE(session.port, 0) << "a failed redirect does not close the listener";
  }
  // Another path is not the redirect: 404 and nothing changes.
  EXPECT_EQ(sendRedirect(session.port, "/favicon.ico?" + matching("c2")), 404);
  pollAuthSession(session);
  EXPECT_EQ(google.tokenRequests(), 0u);

  // The listener is still open after the failures: a good redirect still signs in.
  redirect(matching("late"));
  ASSERT_TRUE(pollUntil(session, [&] { return session.state == AuthState::SignedIn; }))
      << session.errorMessage;
  EXPECT_TRUE(session.errorMessage.empty());
}

TEST_F(SignInTest, TheLastOfTwoCodesBeforeAPollIsExchangedAndALaterOneIsIgnored) {
  ASSERT_FALSE(begin().empty());
  {
    auto lock = google.lock();
    google.replies.holdToken = true;
  }
  redirect(matching("first"));
  redirect(matching("second"));
  pollAuthSession(session);
  ASSERT_TRUE(google.waitForHeldToken());
  // A code that slipped in while the listener was closing: one worker per session.
  {
    std::lock_guard<std::mutex> lock(session.mutex);
    session.pendingCode = "third";
  }
  pollAuthSession(session);
  google.release();
  ASSERT_TRUE(pollUntil(session, [&] { return session.state == AuthState::SignedIn; }))
      << session.errorMessage;
  auto lock = google.lock();
  ASSERT_EQ(google.tokenSeen.size(), 1u);
  EXPECT_EQ(queryOf("?" + google.tokenSeen[0].body).at("code"), "second");
}

TEST_F(SignInTest, CancelDropsAReceivedCodeAndARunningExchange) {
  ASSERT_FALSE(begin().empty());
  redirect(matching("unpolled"));
  cancelBrowserSignIn(session);
  EXPECT_EQ(session.state, AuthState::SignedOut);
  pollAuthSession(session);
  EXPECT_FALSE(session.tokenWorker.joinable()) << "an exchange was started after Cancel";
  EXPECT_EQ(google.tokenRequests(), 0u);

  // Cancel while the exchange runs: the UI waits for the worker, whose result never lands.
  ASSERT_FALSE(begin().empty());
  {
    auto lock = google.lock();
    google.replies.holdToken = true;
  }
  redirect(matching("running"));
  pollAuthSession(session);
  ASSERT_TRUE(google.waitForHeldToken());
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    google.release();
  });
  cancelBrowserSignIn(session);
  releaser.join();
  EXPECT_FALSE(session.tokenWorker.joinable());
  for (int i = 0; i < 3; ++i) pollAuthSession(session);
  EXPECT_EQ(session.state, AuthState::SignedOut);
  EXPECT_TRUE(session.errorMessage.empty());
  EXPECT_TRUE(env.settings.refreshToken.empty());
}

TEST_F(SignInTest, ASecondSignInSupersedesTheFirst) {
  ASSERT_FALSE(begin().empty());
  const int firstPort = session.port;
  const std::string firstState = session.expectedState;
  ASSERT_FALSE(begin().empty());
  EXPECT_NE(session.expectedState, firstState);
  EXPECT_EQ(sendRedirect(firstPort, "/?code=x&state=" + firstState), 0) << "the first listener is still open";
  redirect(matching("fresh"));
  ASSERT_TRUE(pollUntil(session, [&] { return session.state == AuthState::SignedIn; }))
      << session.errorMessage;
}

TEST(SignInListener, StoppingItRightAfterItsStartEndsItsThread) {
  SignInEnv env;
  AuthSession session("client-1", "secret-1", &env.settings);
  const int before = threadCount();
  for (int i = 0; i < 200; ++i) {
    beginBrowserSignIn(session);
    ASSERT_EQ(session.state, AuthState::AwaitingBrowser);
    cancelBrowserSignIn(session);
    ASSERT_FALSE(session.listenerThread.joinable());
  }
  EXPECT_LE(threadCount(), before + 1) << threadNames();
}

TEST_F(SignInTest, SignOutForgetsTheUserAndDiscardsARunningRestore) {
  env.settings.refreshToken = "stored";
  env.settings.userName = "Stored Name";
  env.settings.userEmail = "stored@example.com";
  {
    auto lock = google.lock();
    google.replies.holdToken = true;
  }
  restoreSession(session);
  EXPECT_EQ(session.state, AuthState::Restoring);
  ASSERT_TRUE(google.waitForHeldToken());
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    google.release();
  });
  signOut(session);
  releaser.join();
  for (int i = 0; i < 3; ++i) pollAuthSession(session);
  EXPECT_EQ(session.state, AuthState::SignedOut);
  EXPECT_TRUE(session.userName.empty());
  EXPECT_TRUE(env.settings.refreshToken.empty());
  EXPECT_TRUE(env.settings.userName.empty());
  const std::string file = env.settingsFileText();
  EXPECT_NE(file.find("auth%2FrefreshToken=\n"), std::string::npos) << file;
  EXPECT_EQ(file.find("userName"), std::string::npos) << file;
}

}  // namespace
