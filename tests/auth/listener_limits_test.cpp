// The loopback listener is reachable by every local user and every web page: hostile requests
// must neither grow the launcher's memory nor break the sign-in.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "auth_env.h"

namespace {

// ThreadSanitizer's shadow memory multiplies every allocation, so its bound is looser, still far
// below the gibibyte a listener that reads the body would hold.
#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
constexpr long kMaxGrowthKiB = 64 * 1024;
#else
constexpr long kMaxGrowthKiB = 16 * 1024;
#endif

long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  return -1;
}

// Sends head, then body repeat times while the listener reads; the answer up to its close.
std::string attack(int port, const std::string& head, const std::string& body, int repeat) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
  const timeval timeout{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  bool reading = true;  // until the listener stops reading
  for (int i = 0; i <= repeat && reading; ++i) {
    const std::string& data = i == 0 ? head : body;
    for (size_t offset = 0; reading && offset < data.size();) {
      const ssize_t n = send(fd, data.data() + offset, data.size() - offset, MSG_NOSIGNAL);
      reading = n > 0;
      if (reading) offset += size_t(n);
    }
  }
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) answer.append(buffer, size_t(n));
  close(fd);
  return answer;
}

using ListenerLimitsTest = AuthTest;

TEST_F(ListenerLimitsTest, HostileRequestsAreRefusedWithoutGrowingMemoryOrBreakingTheSignIn) {
  beginBrowserSignIn(session);
  ASSERT_EQ(session.state, AuthState::AwaitingBrowser);
  const std::string chunked = " / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::tuple<std::string, std::string, int> cases[] = {
      {"POST" + chunked, "100000\r\n" + std::string(0x100000, 'x') + "\r\n", 1024},  // 1 GiB
      {"GET /?state=x HTTP/1.1\r\nX-Long: " + std::string(1 << 20, 'h') + "\r\n\r\n", "", 0},
      {"GET" + chunked + "-1\r\nabc\r\n0\r\n\r\n", "", 0},
      {"GET" + chunked + "-FFFFFFFF\r\nabc\r\n0\r\n\r\n", "", 0},
  };
  for (const auto& [head, body, repeat] : cases) {
    std::ofstream("/proc/self/clear_refs") << "5";  // VmHWM shows the peak from now on
    const long before = statusKiB("VmRSS:");
    const std::string answer = attack(session.port, head, body, repeat);
    EXPECT_LT(statusKiB("VmHWM:") - before, kMaxGrowthKiB) << head.substr(0, 40);
    EXPECT_EQ(answer.rfind("HTTP/1.1 4", 0), 0u) << head.substr(0, 40) << ": " << answer.substr(0, 200);
  }
  pollAuthSession(session);
  EXPECT_EQ(session.state, AuthState::AwaitingBrowser);
  EXPECT_TRUE(session.errorMessage.empty()) << session.errorMessage;
  redirect(matching("real"));
  EXPECT_TRUE(pollUntilSignedIn()) << session.errorMessage;
}

}  // namespace
