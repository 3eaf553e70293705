// The loopback listener is reachable by every local process and every web page: hostile clients
// must neither grow the launcher's memory nor hold up the sign-in or the rest of the launcher.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "auth/callback_listener.h"
#include "auth_env.h"
#include "platform/desktop.h"

namespace {

// The sanitizers' shadow memory and quarantine multiply every allocation, so their bound is
// looser, still far below the gibibytes a listener that keeps what it reads would hold.
#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer) || defined(__SANITIZE_ADDRESS__) || \
    __has_feature(address_sanitizer)
constexpr long kMaxGrowthKiB = 128 * 1024;
#else
constexpr long kMaxGrowthKiB = 16 * 1024;
#endif

long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  return -1;
}

// The open descriptors of this process, or only those a child would inherit.
int descriptors(bool inheritable) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int flags = fcntl(std::stoi(entry.path().filename().string()), F_GETFD);
    count += flags >= 0 && !(inheritable && (flags & FD_CLOEXEC));
  }
  return count;
}

int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
  const timeval timeout{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ? fd : -1;
}

// What one hostile local process does: opens its connections, sends head on each (one byte a
// second on every connection when slow), then piece again and again on the first up to bytes.
struct Attack {
  const char* name;
  int connections;
  std::string head;
  std::string piece;
  int64_t bytes;
  bool slow;
  const char* reply;  // how the listener answers the first connection; "" when it may just close it
};

// The attack runs in a child process, as it would from any local program, so the launcher's
// memory and descriptors are measured alone. The child only makes system calls.
class Attacker {
 public:
  // Returns once the attack is underway.
  Attacker(int port, const Attack& attack) {
    int control[2], results[2];
    EXPECT_EQ(pipe2(control, O_CLOEXEC) | pipe2(results, O_CLOEXEC), 0);
    std::vector<int> fds(size_t(attack.connections), -1);
    pid_ = fork();
    if (pid_ == 0) {
      close(control[1]);  // the child sees the end of the attack when the parent closes its end
      close(results[0]);
      run(port, attack, fds, control[0], results[1]);
    }
    close(control[0]);
    close(results[1]);
    control_ = control[1];
    results_ = results[0];
    char ready = 0;
    EXPECT_EQ(read(results_, &ready, 1), 1) << attack.name << ": the attack never got underway";
  }
  // Ends the attack; how many bytes the first connection got out and the status line it was
  // answered with.
  std::pair<int64_t, std::string> finish() {
    close(control_);
    int64_t sent = 0;
    std::string answer(4096, '\0');
    const bool counted = read(results_, &sent, sizeof(sent)) == sizeof(sent);
    const ssize_t n = counted ? read(results_, answer.data(), answer.size()) : 0;
    answer.resize(n > 0 ? size_t(n) : 0);
    close(results_);
    waitpid(pid_, nullptr, 0);
    return {sent, answer.substr(0, answer.find('\r'))};
  }

 private:
  [[noreturn]] static void run(int port, const Attack& attack, std::vector<int>& fds, int control,
                               int results) {
    rlimit all{};  // the attacker is not bound by the launcher's limit
    getrlimit(RLIMIT_NOFILE, &all);
    all.rlim_cur = all.rlim_max;
    setrlimit(RLIMIT_NOFILE, &all);
    for (int& fd : fds)
      if ((fd = connectTo(port)) < 0) _exit(1);
    int64_t sent = 0;
    bool ready = false;
    auto underway = [&] {
      if (!ready) ready = write(results, "r", 1) == 1;
    };
    pollfd stop{control, POLLIN, 0};
    if (attack.slow) {
      // Twenty seconds at most, so a listener that waits for slow clients fails rather than hangs.
      for (size_t offset = 0; offset < 20 && poll(&stop, 1, 1000) == 0; ++offset) {
        for (int fd : fds) sent += send(fd, &attack.head[offset % attack.head.size()], 1, MSG_NOSIGNAL) == 1;
        if (offset == 1) underway();
      }
    } else {
      for (int fd : fds) send(fd, attack.head.data(), attack.head.size(), MSG_NOSIGNAL);
      sent = int64_t(attack.head.size());
      for (ssize_t n = 1; n > 0 && sent < attack.bytes; sent += n) {
        n = send(fds[0], attack.piece.data(), attack.piece.size(), MSG_NOSIGNAL);
        if (sent > 65536) underway();
      }
    }
    underway();
    // The crowd stays until the test ends the attack; the answer waits in the first socket.
    poll(&stop, 1, 30000);
    char answer[4096];
    size_t length = 0;
    for (ssize_t n;
         length < sizeof(answer) && (n = recv(fds[0], answer + length, sizeof(answer) - length, 0)) > 0;)
      length += size_t(n);
    if (write(results, &sent, sizeof(sent)) == sizeof(sent) && write(results, answer, length) < 0) _exit(1);
    _exit(0);
  }

  pid_t pid_ = -1;
  int control_ = -1;
  int results_ = -1;
};

using ListenerLimitsTest = AuthTest;
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST_F(ListenerLimitsTest, HostileLocalClientsNeitherGrowMemoryNorHoldUpTheSignIn) {
  // The launcher starts with a desktop session's descriptor limit (1,024, of which its window
  // holds a few dozen) and raises it.
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit desktop = old;
  desktop.rlim_cur = std::min<rlim_t>(1000, old.rlim_max);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &desktop), 0);
  raiseDescriptorLimit();

  const int64_t kGiB = int64_t(1) << 30;
  const std::string mib(1 << 20, 'h');
  const std::string chunked = " / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  std::string headerLines;
  while (headerLines.size() < (1 << 20)) headerLines += "X-Line: " + std::string(54, 'h') + "\r\n";
  // A browser with a jar full of cookies for 127.0.0.1 sends them all: a request head of 32 KiB
  // is read, a byte more is refused.
  const auto withCookies = [](const std::string& query, size_t size) {
    std::string head = "GET /?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: ";
    while (head.size() + 200 < size)
      head += "c" + std::to_string(head.size()) + "=" + std::string(90, 'v') + "; ";
    return head + "last=" + std::string(size - head.size() - 9, 'v') + "\r\n\r\n";
  };
  const Attack attacks[] = {
      {"32 KiB and a byte of cookies", 1, withCookies("state=x", kCallbackMaxRequestHead + 1), "", 0, false,
       "HTTP/1.1 431"},
      {"1 GiB chunked body", 1, "POST" + chunked, "100000\r\n" + mib + "\r\n", kGiB, false, "HTTP/1.1 413"},
      {"1 MiB header line", 1, "GET /?state=x HTTP/1.1\r\nX-Long: " + mib + "\r\n\r\n", "", 0, false, ""},
      {"negative chunk size", 1, "GET" + chunked + "-1\r\nabc\r\n0\r\n\r\n", "", 0, false, "HTTP/1.1 4"},
      {"chunk size -FFFFFFFF", 1, "GET" + chunked + "-FFFFFFFF\r\nabc\r\n0\r\n\r\n", "", 0, false,
       "HTTP/1.1 4"},
      {"1 GiB header line", 1, "GET /?state=x HTTP/1.1\r\nX-Long: ", mib, kGiB, false, ""},
      {"512 MiB of header lines", 1, "GET /?state=x HTTP/1.1\r\n", headerLines, kGiB / 2, false, ""},
      {"1,000 idle connections", 1000, "", "", 0, false, ""},
      {"40 connections sending a byte a second", 40, "GET /?state=x HTTP/1.1\r\nX-Slow: " + mib, "", 0, true,
       ""},
      {"2,100 connections sending a byte a second", 2100, "GET /?state=x HTTP/1.1\r\nX-Slow: " + mib, "", 0,
       true, ""},
  };
  for (const Attack& attack : attacks) {
    const int inheritable = descriptors(true);  // counted before the listener's own
    beginBrowserSignIn(session);
    ASSERT_EQ(session.state, AuthState::AwaitingBrowser);
    const int open = descriptors(false);
    std::ofstream("/proc/self/clear_refs") << "5";  // VmHWM shows the peak from now on
    const long before = statusKiB("VmRSS:");
    Attacker attacker(session.port, attack);
    if (attack.connections > 1) {
      const int held = std::min(attack.connections, int(kCallbackMaxConnections));
      EXPECT_TRUE(eventually([&] { return descriptors(false) >= open + held; }))
          << attack.name << ": the listener did not take every connection up to its cap";
    }

    // The rest of the launcher keeps its descriptors: a restore over HTTPS saves the settings.
    LauncherSettings stored;
    stored.filePath = dir / "restored/Launcher.conf";
    stored.refreshToken = "stored";
    {
      AuthSession restoring{"client 1", "secret", &stored, google.endpoints()};
      restoreSession(restoring);
      EXPECT_TRUE(pollUntil(restoring, [&] { return restoring.state == AuthState::SignedIn; }))
          << attack.name << ": " << restoring.errorMessage;
    }
    EXPECT_NE(readWholeFile(stored.filePath).find("ada%40example.com"), std::string::npos) << attack.name;

    const auto redirected = Clock::now();
    redirect(matching("real"));
    const double redirectMs = millisecondsSince(redirected);
    EXPECT_EQ(descriptors(true), inheritable) << attack.name << ": a listener descriptor leaks into children";
    const auto cancelled = Clock::now();
    cancelBrowserSignIn(session);
    const double cancelMs = millisecondsSince(cancelled);
    const auto [sent, answer] = attacker.finish();
    const long growthKiB = statusKiB("VmHWM:") - before;

    std::printf(
        "[listener] %s: %lld bytes sent, answer \"%s\", RSS +%ld KiB, redirect %.1f ms, cancel %.1f ms\n",
        attack.name, static_cast<long long>(sent), answer.c_str(), growthKiB, redirectMs, cancelMs);
    EXPECT_LT(growthKiB, kMaxGrowthKiB) << attack.name;
    EXPECT_LT(redirectMs, 1000) << attack.name;
    EXPECT_LT(cancelMs, 100) << attack.name;
    EXPECT_EQ(answer.rfind(attack.reply, 0), 0u) << attack.name << ": " << answer;
  }
  setrlimit(RLIMIT_NOFILE, &old);

  // A client that sends nothing is let go after a few seconds, and so is one that trickles.
  beginBrowserSignIn(session);
  for (const bool trickles : {false, true}) {
    const int client = connectTo(session.port);
    const auto opened = Clock::now();
    pollfd closed{client, POLLIN, 0};
    for (int second = 0; second < 20 && poll(&closed, 1, 1000) == 0; ++second)
      if (trickles) send(client, "GET / HTTP/1.1\r\n" + second, 1, MSG_NOSIGNAL);
    const double ms = millisecondsSince(opened);
    close(client);
    std::printf("[listener] %s connection was closed after %.0f ms\n", trickles ? "a trickling" : "an idle",
                ms);
    EXPECT_LT(ms, ((trickles ? kCallbackRequestSeconds : kCallbackIdleSeconds) + 5) * 1000);
  }

  Attack browser{
      "a full cookie jar", 1, withCookies(matching("real"), kCallbackMaxRequestHead), "", 0, false, ""};
  EXPECT_EQ(Attacker(session.port, browser).finish().second, "HTTP/1.1 200 OK");
  EXPECT_TRUE(pollUntilSignedIn()) << session.errorMessage;
}

}  // namespace
