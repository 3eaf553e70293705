// The browser sign-in inside the process: the real listener driven by an HTTP client, the real
// token worker against local HTTPS endpoints, the stand-in browser on PATH.
#include <sys/wait.h>

#include "auth_env.h"

namespace {

using SignInTest = AuthTest;

TEST(AuthText, PkceChallengeOfTheStandardsWorkedExample) {
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST_F(SignInTest, BrowserSignInStoresTheIdentityAndSendsWhatThePkceFlowNeeds) {
  const std::string url = begin(), state = session.expectedState, port = std::to_string(session.port);
  std::string page;
  redirect(matching("4/0Ab c"), &page);
  EXPECT_NE(page.find("<h2>Sign-in complete</h2>"), std::string::npos) << page;
  ASSERT_TRUE(pollUntilSignedIn()) << session.errorMessage;
  EXPECT_EQ(session.server, nullptr);
  EXPECT_EQ(session.userName + ", " + session.userEmail, "Ada Lovelace, ada@example.com");
  EXPECT_EQ(settings.refreshToken, "rt-1");
  EXPECT_NE(readWholeFile(settings.filePath).find("auth%2FuserEmail=ada%40example.com\n"), std::string::npos);

  std::lock_guard<std::mutex> lock(google.mutex);
  ASSERT_EQ(google.tokenBodies.size(), 1u);
  const std::string verifier = queryOf(google.tokenBodies[0])["code_verifier"];
  EXPECT_EQ(verifier.size(), 64u);
  EXPECT_EQ(state.size(), 22u);
  const std::string redirectUri = "http%3A%2F%2F127.0.0.1%3A" + port;
  EXPECT_EQ(
      url,
      "https://accounts.google.com/o/oauth2/v2/auth?client_id=client%201&redirect_uri=" + redirectUri +
          "&response_type=code&scope=openid%20email%20profile&code_challenge=" + pkceChallenge(verifier) +
          "&code_challenge_method=S256&state=" + state + "&access_type=offline");
  EXPECT_EQ(google.tokenBodies[0],
            "client_id=client%201&client_secret=secret%2F%2B%201&code=4%2F0Ab%20c&code_verifier=" + verifier +
                "&grant_type=authorization_code&redirect_uri=" + redirectUri);
  EXPECT_EQ(google.bearers, std::vector<std::string>{"Bearer at-1"});

  siginfo_t zombie{};
  EXPECT_TRUE(waitid(P_ALL, 0, &zombie, WEXITED | WNOHANG | WNOWAIT) != 0 || zombie.si_pid == 0)
      << "the xdg-open child was never reaped";
}

TEST_F(SignInTest, RejectedRedirectsReportTheirSentenceAndKeepTheListenerOpen) {
  ASSERT_FALSE(begin().empty());
  const int firstPort = session.port;
  const std::string firstState = session.expectedState;
  ASSERT_FALSE(begin().empty());  // a second sign-in supersedes the first
  EXPECT_NE(session.expectedState, firstState);
  EXPECT_EQ(sendRedirect(firstPort, "/?code=x&state=" + firstState), 0) << "the first listener is still open";
  const std::string mismatch = "The sign-in response did not match this launcher session.";
  const std::string state = "&state=" + session.expectedState, code64 = "a.B-9_" + std::string(58, 'z');
  const std::pair<std::string, std::string> cases[] = {
      {"error=access_denied&" + matching("c1"), "Google sign-in was not completed (access_denied)."},
      {"error=" + code64 + state, "Google sign-in was not completed (" + code64 + ")."},
      {"error=" + code64 + "z" + state, "Google sign-in was not completed."},
      {"error=access_denied).%20Your%20account%20is%20suspended" + state,
       "Google sign-in was not completed."},
      {"error=access_denied).+Call+us&code=c1&state=" + session.expectedState + "x", mismatch},
      {"error=access_denied", mismatch},
      {"code=c1&state=" + session.expectedState + "x", mismatch},
      {"code=c1", mismatch},
      {"state=" + session.expectedState, "Google did not return a sign-in code."},
  };
  for (const auto& [query, sentence] : cases) {
    std::string page;
    redirect(query, &page);
    EXPECT_NE(page.find("<h2>Sign-in not completed</h2>"), std::string::npos) << query;
    pollAuthSession(session);
    EXPECT_EQ(session.state, AuthState::SignedOut) << query;
    EXPECT_EQ(session.errorMessage, sentence) << query;
  }
  EXPECT_EQ(sendRedirect(session.port, "/favicon.ico?" + matching("c2")), 404);
  pollAuthSession(session);
  EXPECT_EQ(google.tokenRequests(), 0u);

  redirect(matching("late"));
  ASSERT_TRUE(pollUntilSignedIn()) << session.errorMessage;
  EXPECT_TRUE(session.errorMessage.empty());
}

TEST_F(SignInTest, TheLastOfTwoCodesBeforeAPollIsExchangedAndALaterOneIsIgnored) {
  ASSERT_FALSE(begin().empty());
  redirect(matching("first"));
  redirect(matching("second"));
  pollAuthSession(session);
  {
    // A code that slipped in while the listener was closing: still one worker per session.
    std::lock_guard<std::mutex> lock(session.mutex);
    session.pendingCode = "third";
  }
  pollAuthSession(session);
  ASSERT_TRUE(pollUntilSignedIn()) << session.errorMessage;
  std::lock_guard<std::mutex> lock(google.mutex);
  ASSERT_EQ(google.tokenBodies.size(), 1u);
  EXPECT_EQ(queryOf(google.tokenBodies[0]).at("code"), "second");
}

TEST_F(SignInTest, CancelAndSignOutDiscardWhatIsUnderway) {
  ASSERT_FALSE(begin().empty());
  redirect(matching("unpolled"));
  cancelBrowserSignIn(session);
  pollAuthSession(session);
  EXPECT_FALSE(session.tokenWorker.joinable()) << "an exchange was started after Cancel";

  ASSERT_FALSE(begin().empty());
  google.answer([](FakeGoogleReplies& r) { r.tokenDelayMs = 500; });
  redirect(matching("running"));
  pollAuthSession(session);
  ASSERT_TRUE(eventually([&] { return google.tokenRequests() == 1; }));
  cancelBrowserSignIn(session);
  pollAuthSession(session);
  EXPECT_EQ(session.state, AuthState::SignedOut);
  EXPECT_TRUE(session.errorMessage.empty());
  EXPECT_TRUE(settings.refreshToken.empty());

  settings.refreshToken = "stored";
  settings.userName = "Stored Name";
  restoreSession(session);
  EXPECT_EQ(session.state, AuthState::Restoring);
  ASSERT_TRUE(eventually([&] { return google.tokenRequests() == 2; }));
  signOut(session);
  pollAuthSession(session);
  EXPECT_EQ(session.state, AuthState::SignedOut);
  EXPECT_EQ(settings.refreshToken + settings.userName + session.userName, "");
  EXPECT_EQ(readWholeFile(settings.filePath).rfind("[General]\nauth%2FrefreshToken=\ninstall%2Fpath=\n", 0),
            0u);
}

TEST_F(SignInTest, StoppingTheListenerRightAfterItsStartEndsItsThread) {
  auto threads = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
  const auto before = threads();
  for (int i = 0; i < 200; ++i) {
    beginBrowserSignIn(session);
    ASSERT_EQ(session.state, AuthState::AwaitingBrowser);
    cancelBrowserSignIn(session);
    ASSERT_EQ(session.server, nullptr);
  }
  stopCallbackServer(session);  // joins the closing of the last listener
  EXPECT_LE(threads(), before + 1);
}

}  // namespace
