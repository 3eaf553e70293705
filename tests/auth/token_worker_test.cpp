// Every answer of the token and userinfo endpoints, in both grant modes, through the real worker
// and the frame loop's poll.
#include <sys/resource.h>

#include "auth_env.h"

namespace {

std::atomic<int> wakes{0};

class TokenWorkerTest : public AuthTest {
 protected:
  TokenWorkerTest() {
    session.wake = [] { ++wakes; };
  }
  // A browser sign-in's code exchange, or a silent restore; returns once the frame loop applied
  // the result.
  void run(bool refresh) {
    const int before = wakes;
    if (refresh) {
      restoreSession(session);
    } else {
      begin();
      redirect(matching("code-1"));
    }
    ASSERT_TRUE(pollUntil(session, [&] {
      return session.state != AuthState::Restoring && session.state != AuthState::AwaitingBrowser;
    }));
    // A frame loop asleep until woken hears of the code (from the listener) and of the result.
    EXPECT_TRUE(eventually([&] { return wakes - before >= (refresh ? 1 : 2); }));
  }
};

TEST_F(TokenWorkerTest, FailuresBecomeOneSentenceAndKeepTheStoredSignIn) {
  const std::string unexpectedToken = "Google returned an unexpected token response.";
  const std::string noSession = "The stored session is no longer valid.";
  const std::tuple<bool, FakeGoogleReplies, std::string> cases[] = {
      {false, {.tokenStatus = 400}, "Google rejected the sign-in (token endpoint returned HTTP 400)."},
      {false, {.tokenStatus = 0}, "Could not reach Google's token endpoint. Check your connection."},
      {false, {.tokenBody = "<html>"}, unexpectedToken},
      {false, {.tokenBody = "[]"}, unexpectedToken},
      {false,
       {.tokenBody = R"({"access_token":7,"refresh_token":"r"})"},
       "Google did not return an access token."},
      {false, {.userinfoStatus = 401}, "Google refused the userinfo request (HTTP 401)."},
      {false, {.userinfoStatus = 0}, "Could not reach Google's userinfo endpoint."},
      {false, {.userinfoBody = R"("ada@example.com")"}, "Google returned an unexpected userinfo response."},
      {false, {.userinfoBody = R"({"name":"Ada"})"}, "Google did not return an account email."},
      {true, {.tokenStatus = 400}, noSession},
      {true, {.tokenStatus = 401}, noSession},
  };
  settings.refreshToken = "kept";
  for (const auto& [refresh, replies, sentence] : cases) {
    google.answer([&](FakeGoogleReplies& r) { r = replies; });
    run(refresh);
    EXPECT_EQ(session.state, AuthState::SignedOut) << sentence;
    EXPECT_EQ(session.errorMessage, sentence);
    EXPECT_EQ(settings.refreshToken, "kept") << sentence;
  }
  // At a thread limit the request and the listener fail with their sentences. (ThreadSanitizer ends
  // a forked child of a threaded program that tries to start a thread.)
#if !defined(__SANITIZE_THREAD__)
  EXPECT_EQ(
      runInChild([&] {
        const rlimit none = {0, 0};
        setrlimit(RLIMIT_NPROC, &none);
        restoreSession(session);
        pollAuthSession(session);
        const std::string restore = session.errorMessage;
        beginBrowserSignIn(session);
        return restore + "|" + session.errorMessage;
      }),
      "Could not reach Google's token endpoint. Check your connection.|Could not open the local sign-in "
      "listener.");
#endif
}

TEST_F(TokenWorkerTest, SuccessfulGrantsStoreTheIdentityAndOnlyACodeReplysRefreshToken) {
  restoreSession(session);  // nothing stored: nothing to restore
  EXPECT_FALSE(session.tokenWorker.joinable());
  settings.refreshToken = "stored-rt";
  google.answer(
      [](FakeGoogleReplies& r) { r.tokenBody = R"({"access_token":"at-3","refresh_token":"new"})"; });
  run(true);
  EXPECT_EQ(session.state, AuthState::SignedIn) << session.errorMessage;
  EXPECT_EQ(settings.refreshToken, "stored-rt");
  EXPECT_NE(readWholeFile(settings.filePath).find("auth%2FuserName=Ada Lovelace"), std::string::npos);
  {
    std::lock_guard<std::mutex> lock(google.mutex);
    EXPECT_EQ(google.tokenBodies.at(0),
              "client_id=client%201&client_secret=secret%2F%2B%201&grant_type=refresh_token&refresh_token="
              "stored-rt");
    EXPECT_EQ(google.bearers.at(0), "Bearer at-3");
  }
  // A byte-order mark is skipped, a missing name is an empty one, and a code reply without a
  // refresh token keeps the stored one.
  google.answer([](FakeGoogleReplies& r) {
    r.tokenBody = "\xEF\xBB\xBF{\"access_token\":\"at-2\"}";
    r.userinfoBody = "\xEF\xBB\xBF{\"email\":\"nameless@example.com\"}";
  });
  run(false);
  EXPECT_EQ(session.userEmail, "nameless@example.com") << session.errorMessage;
  EXPECT_EQ(settings.userName, "");
  EXPECT_EQ(settings.refreshToken, "stored-rt");
}

TEST_F(TokenWorkerTest, AServerOutsideTheTrustStoreIsNotTalkedTo) {
  LocalTlsServer impostor(/*trusted*/ false);
  std::atomic<bool> asked{false};
  impostor.http().Post("/token", [&](const httplib::Request&, httplib::Response&) { asked = true; });
  AuthSession aimed("client-1", "secret-1", &settings, {"", "localhost", "localhost", impostor.start()});
  settings.refreshToken = "stored-rt";
  restoreSession(aimed);
  ASSERT_TRUE(pollUntil(aimed, [&] { return aimed.state != AuthState::Restoring; }));
  EXPECT_EQ(aimed.errorMessage, "Could not reach Google's token endpoint. Check your connection.");
  EXPECT_FALSE(asked) << "the refresh token went to a server nobody trusts";
}

// The token and userinfo requests against a peer that never answers, trickles, or sends without
// end: Cancel, Sign out and closing end them within a second, a trickle ends at the deadline
// with the request's own sentence, and an endless reply costs little memory.
TEST_F(TokenWorkerTest, HostilePeersAreCutOffAndCancelSignOutAndCloseActWithinASecond) {
  using namespace std::chrono;
  const struct {
    bool userinfo;
    std::string unreachable, endless;
  } rows[] = {
      {false, "Could not reach Google's token endpoint. Check your connection.",
       "Google returned an unexpected token response."},
      {true, "Could not reach Google's userinfo endpoint.",
       "Google returned an unexpected userinfo response."},
  };
  for (const auto& row : rows) {
    for (const Hostility hostility :
         {Hostility::Silent, Hostility::Dribble, Hostility::EndlessBody, Hostility::EndlessHeader}) {
      const std::string label =
          (row.userinfo ? "userinfo, " : "token, ") + std::string(hostilityName(hostility));
      HostileTlsServer peer(hostility);
      const RequestDeadlines deadlines{.signIn = hostility == Hostility::Dribble ? seconds(1) : minutes(5)};
      const auto aimed = [&] {
        peer.answerFirst(
            row.userinfo ? std::vector<std::string>{HostileTlsServer::reply(200, R"({"access_token":"a"})")}
                         : std::vector<std::string>{});
        return std::make_unique<AuthSession>(
            "c", "s", &settings, GoogleEndpoints{"", "localhost", "127.0.0.1", peer.port()}, deadlines);
      };
      const auto hostileAfter = [&](AuthSession& s, int before) {
        EXPECT_TRUE(pollUntil(s, [&] { return peer.hostileConnections() > before; })) << label;
      };
      const PeakMemory memory;
      settings.refreshToken = "stored-rt";
      auto s = aimed();
      steady_clock::time_point t0;
      if (hostility == Hostility::Silent && !row.userinfo) {
        // A browser sign-in's code exchange, then Cancel.
        beginBrowserSignIn(*s);
        ASSERT_EQ(sendRedirect(s->port, "/?code=c&state=" + s->expectedState), 200);
        hostileAfter(*s, 0);
        t0 = steady_clock::now();
        cancelBrowserSignIn(*s);
      } else {
        restoreSession(*s);
        hostileAfter(*s, 0);
        t0 = steady_clock::now();
        if (hostility == Hostility::Silent) signOut(*s);
      }
      EXPECT_TRUE(pollUntil(*s, [&] { return s->state == AuthState::SignedOut; })) << label;
      const int64_t ended = msSince(t0);
      const std::string expected = hostility == Hostility::Silent        ? ""
                                   : hostility == Hostility::EndlessBody ? row.endless
                                                                         : row.unreachable;
      EXPECT_EQ(s->errorMessage, expected) << label;
      int64_t closed = -1;
      if (hostility == Hostility::Silent || hostility == Hostility::Dribble) {
        // Closing the window destroys the session while a restore hangs.
        settings.refreshToken = "stored-rt";
        auto closing = aimed();
        const int before = peer.hostileConnections();
        restoreSession(*closing);
        hostileAfter(*closing, before);
        t0 = steady_clock::now();
        closing.reset();
        closed = msSince(t0);
      }
      checkHostileRow(label, hostility, row.userinfo ? "sign out" : "cancel", ended, closed, memory);
    }
  }
}

TEST_F(TokenWorkerTest, DestroyingTheSessionWaitsForARunningWorker) {
  google.answer([](FakeGoogleReplies& r) { r.tokenDelayMs = 500; });
  auto doomed = std::make_unique<AuthSession>("c", "s", &settings, google.endpoints());
  settings.refreshToken = "stored-rt";
  restoreSession(*doomed);
  ASSERT_TRUE(eventually([&] { return google.tokenRequests() == 1; }));
  doomed.reset();
}

}  // namespace
