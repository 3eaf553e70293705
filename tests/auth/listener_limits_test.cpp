// The loopback listener is reachable by every local user and every web page: hostile requests
// must neither grow the launcher's memory nor break the sign-in.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "sign_in_env.h"

namespace {

// ThreadSanitizer's shadow memory multiplies every allocation, the test's own included: its bound
// is looser, still far below the gibibyte a listener that reads the body would hold.
#if defined(__SANITIZE_THREAD__)
constexpr long kMaxGrowthKiB = 64 * 1024;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr long kMaxGrowthKiB = 64 * 1024;
#else
constexpr long kMaxGrowthKiB = 16 * 1024;
#endif
#else
constexpr long kMaxGrowthKiB = 16 * 1024;
#endif

long statusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
  return -1;
}

// Resets the peak resident size so VmHWM shows the peak from now on.
void resetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  timeval timeout{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  return fd;
}

// Writes until everything went out or the peer stopped reading; the bytes written.
size_t sendAll(int fd, const std::string& data, size_t repeat = 1) {
  size_t sent = 0;
  for (size_t i = 0; i < repeat; ++i) {
    size_t offset = 0;
    while (offset < data.size()) {
      const ssize_t n = send(fd, data.data() + offset, data.size() - offset, MSG_NOSIGNAL);
      if (n <= 0) return sent;
      offset += static_cast<size_t>(n);
      sent += static_cast<size_t>(n);
    }
  }
  return sent;
}

// Reads what the listener answers until it closes the connection.
std::string readAnswer(int fd) {
  std::string answer;
  char buffer[4096];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  return answer;
}

class ListenerLimitsTest : public ::testing::Test {
 protected:
  SignInEnv env;
  FakeGoogle google;
  AuthSession session{"client-1", "secret-1", &env.settings, google.endpoints()};

  void SetUp() override {
    beginBrowserSignIn(session);
    ASSERT_EQ(session.state, AuthState::AwaitingBrowser);
    ASSERT_GT(session.port, 0);
  }
  // After the attack the session is untouched and a real redirect still signs in.
  void expectSignInStillWorks() {
    pollAuthSession(session);
    EXPECT_EQ(session.state, AuthState::AwaitingBrowser);
    EXPECT_TRUE(session.errorMessage.empty()) << session.errorMessage;
    EXPECT_EQ(sendRedirect(session.port, "/?code=real&state=" + session.expectedState), 200);
    EXPECT_TRUE(pollUntil(session, [&] { return session.state == AuthState::SignedIn; }))
        << session.errorMessage;
  }
};

TEST_F(ListenerLimitsTest, AGibibyteChunkedPostIsRefusedUnread) {
  const std::string chunk = "100000\r\n" + std::string(0x100000, 'x') + "\r\n";  // 1 MiB a chunk
  const int fd = connectTo(session.port);
  ASSERT_GE(fd, 0);
  resetPeakMemory();
  const long before = statusKiB("VmRSS:");
  sendAll(fd, "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n");
  const size_t sent = sendAll(fd, chunk, 1024);
  const std::string answer = readAnswer(fd);
  close(fd);
  const long grown = statusKiB("VmHWM:") - before;
  EXPECT_LT(grown, kMaxGrowthKiB) << "KiB grown while " << sent << " bytes were sent";
  EXPECT_LT(sent, size_t(1) << 30) << "the listener read the whole body";
  EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer.substr(0, 200);
  expectSignInStillWorks();
}

TEST_F(ListenerLimitsTest, AnOversizedContentLengthIsRefusedUnread) {
  const int fd = connectTo(session.port);
  ASSERT_GE(fd, 0);
  sendAll(fd, "GET /?code=c&state=" + session.expectedState +
                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1073741824\r\n\r\n");
  const std::string answer = readAnswer(fd);
  close(fd);
  EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer.substr(0, 200);
  std::lock_guard<std::mutex> lock(session.mutex);
  EXPECT_TRUE(session.pendingCode.empty());
}

TEST_F(ListenerLimitsTest, AMebibyteHeaderLineDoesNotHurt) {
  const int fd = connectTo(session.port);
  ASSERT_GE(fd, 0);
  resetPeakMemory();
  const long before = statusKiB("VmRSS:");
  sendAll(fd,
          "GET /?state=x HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + std::string(1 << 20, 'h') + "\r\n\r\n");
  readAnswer(fd);
  close(fd);
  EXPECT_LT(statusKiB("VmHWM:") - before, kMaxGrowthKiB);
  expectSignInStillWorks();
}

TEST_F(ListenerLimitsTest, ANegativeChunkSizeIsRefused) {
  for (const char* size : {"-1", "-5", "-FFFFFFFF"}) {
    const int fd = connectTo(session.port);
    ASSERT_GE(fd, 0);
    resetPeakMemory();
    const long before = statusKiB("VmRSS:");
    sendAll(fd, std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n") +
                    size + "\r\nabc\r\n0\r\n\r\n");
    const std::string answer = readAnswer(fd);
    close(fd);
    EXPECT_LT(statusKiB("VmHWM:") - before, kMaxGrowthKiB) << size;
    EXPECT_EQ(answer.rfind("HTTP/1.1 4", 0), 0u) << size << ": " << answer.substr(0, 200);
  }
  expectSignInStillWorks();
}

}  // namespace
