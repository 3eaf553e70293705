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

// Sends head, then body repeat times, as long as the listener reads; returns the bytes sent
// and the answer up to the listener's close.
std::pair<size_t, std::string> attack(int port, const std::string& head, const std::string& body,
                                      int repeat) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  size_t sent = 0;
  auto sendAll = [&](const std::string& data) {
    for (size_t offset = 0; offset < data.size();) {
      const ssize_t n = send(fd, data.data() + offset, data.size() - offset, MSG_NOSIGNAL);
      if (n <= 0) return false;  // the listener stopped reading
      offset += size_t(n);
      sent += size_t(n);
    }
    return true;
  };
  if (sendAll(head))
    for (int i = 0; i < repeat && sendAll(body); ++i) {
    }
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) answer.append(buffer, size_t(n));
  close(fd);
  return {sent, answer};
}

using ListenerLimitsTest = AuthTest;

TEST_F(ListenerLimitsTest, HostileRequestsToTheListenerAreRefusedUnread) {
  beginBrowserSignIn(session);
  ASSERT_EQ(session.state, AuthState::AwaitingBrowser);
  struct Case {
    const char* what;
    std::string head, body;
    int repeat;
    const char* status;
  };
  const std::string chunked = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const Case cases[] = {
      {"1 GiB chunked POST", "POST" + chunked.substr(3), "100000\r\n" + std::string(0x100000, 'x') + "\r\n",
       1024, "HTTP/1.1 413"},
      {"1 MiB header line", "GET /?state=x HTTP/1.1\r\nX-Long: " + std::string(1 << 20, 'h') + "\r\n\r\n", "",
       0, "HTTP/1.1 4"},
      {"chunk size -1", chunked + "-1\r\nabc\r\n0\r\n\r\n", "", 0, "HTTP/1.1 4"},
      {"chunk size -FFFFFFFF", chunked + "-FFFFFFFF\r\nabc\r\n0\r\n\r\n", "", 0, "HTTP/1.1 4"},
  };
  for (const Case& c : cases) {
    std::ofstream("/proc/self/clear_refs") << "5";  // VmHWM shows the peak from now on
    const long before = statusKiB("VmRSS:");
    const auto [sent, answer] = attack(session.port, c.head, c.body, c.repeat);
    EXPECT_LT(statusKiB("VmHWM:") - before, kMaxGrowthKiB)
        << c.what << ": KiB grown, " << sent << " bytes sent";
    EXPECT_LT(sent, size_t(1) << 30) << c.what;
    EXPECT_EQ(answer.rfind(c.status, 0), 0u) << c.what << ": " << answer.substr(0, 200);
  }
  pollAuthSession(session);
  EXPECT_EQ(session.state, AuthState::AwaitingBrowser);
  EXPECT_TRUE(session.errorMessage.empty()) << session.errorMessage;
  redirect(matching("real"));
  EXPECT_TRUE(pollUntilSignedIn()) << session.errorMessage;
}

}  // namespace
