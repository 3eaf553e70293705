#include "support/tls_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {
// Plain storage, so the folder is still named when the process ends and removes it.
char pkiDir[] = "/tmp/orvo_test_pki_XXXXXX";
pid_t pkiOwner = 0;
}  // namespace

const TestPki& testPki() {
  static const TestPki pki = [] {
    TestPki p;
    const char* dir = mkdtemp(pkiDir);
    if (!dir) {
      ADD_FAILURE() << "cannot create a folder for the test PKI";
      return p;
    }
    // Every test process makes one; left behind, a run of the suite leaves hundreds in /tmp.
    // A forked child that exits must not take it from its parent.
    pkiOwner = getpid();
    std::atexit([] {
      std::error_code ignored;
      if (getpid() == pkiOwner) std::filesystem::remove_all(pkiDir, ignored);
    });
    p.dir = dir;
    const std::string command =
        std::string("bash '") + ORVO_TEST_SOURCE_DIR + "/support/make_test_pki.sh' '" + p.dir + "'";
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << "make_test_pki.sh failed";
    p.caFile = p.dir + "/ca.pem";
    p.certFile = p.dir + "/server.pem";
    p.keyFile = p.dir + "/server.key";
    p.untrustedCert = p.dir + "/untrusted.pem";
    p.untrustedKey = p.dir + "/untrusted.key";
    setenv("SSL_CERT_FILE", p.caFile.c_str(), 1);
    unsetenv("SSL_CERT_DIR");
    return p;
  }();
  return pki;
}

LocalTlsServer::LocalTlsServer(bool trusted) {
  const TestPki& pki = testPki();
  server_ = std::make_unique<httplib::SSLServer>((trusted ? pki.certFile : pki.untrustedCert).c_str(),
                                                 (trusted ? pki.keyFile : pki.untrustedKey).c_str());
}

LocalTlsServer::~LocalTlsServer() {
  stop();
}

int LocalTlsServer::start(int port) {
  port_ = port == 0                                  ? server_->bind_to_any_port("127.0.0.1")
          : server_->bind_to_port("127.0.0.1", port) ? port
                                                     : -1;
  if (port_ <= 0) {
    ADD_FAILURE() << "local TLS server could not bind";
    return port_;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) usleep(1000);
  return port_;
}

void LocalTlsServer::stop() {
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

const char* hostilityName(Hostility hostility) {
  static const char* const names[] = {"silent", "trickle", "endless body", "endless header", "gzip"};
  return names[static_cast<int>(hostility)];
}

const std::string& gzipBomb() {
  static const std::string bomb = [] {
    std::string out;
    const std::string zeros(64 << 20, '\0');
    httplib::detail::gzip_compressor().compress(zeros.data(), zeros.size(), true,
                                                [&out](const char* data, size_t n) {
                                                  out.append(data, n);
                                                  return true;
                                                });
    return out;
  }();
  return bomb;
}

HostileTlsServer::HostileTlsServer(Hostility hostility, std::chrono::milliseconds interval)
    : hostility_(hostility), interval_(interval) {
  const TestPki& pki = testPki();
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  context_ = std::shared_ptr<void>(context, [](void* c) { SSL_CTX_free(static_cast<SSL_CTX*>(c)); });
  if (SSL_CTX_use_certificate_chain_file(context, pki.certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, pki.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    ADD_FAILURE() << "hostile server: cannot load the test certificate";
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    ADD_FAILURE() << "hostile server: cannot listen";
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;  // shut down by the destructor
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      connections_.push_back(fd);
      threads_.emplace_back([this, fd] { serve(fd); });
    }
  });
}

HostileTlsServer::~HostileTlsServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
  }
  stopped_.notify_all();
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  for (std::thread& thread : threads_) thread.join();
  for (int fd : connections_) ::close(fd);
  ::close(listener_);
}

void HostileTlsServer::answerFirst(const std::vector<std::string>& replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_ = replies;
  accepted_ = 0;
}

std::string HostileTlsServer::reply(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " Stand-in\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

void HostileTlsServer::serve(int fd) {
  std::string canned;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t index = accepted_++;
    if (index < replies_.size()) canned = replies_[index];
  }
  const auto waitForStop = [this](std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    return stopped_.wait_for(lock, pause, [this] { return stopping_; });
  };
  if (canned.empty() && hostility_ == Hostility::Silent) {
    ++hostile_;
    while (!waitForStop(std::chrono::hours(1))) {
    }
    return;
  }

  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(static_cast<SSL_CTX*>(context_.get())), &SSL_free);
  SSL_set_fd(ssl.get(), fd);
  if (SSL_accept(ssl.get()) != 1) return;
  // The request head, and a body of declared length.
  std::string request;
  char buffer[16384];
  size_t headEnd = std::string::npos;
  size_t wanted = 0;
  while (headEnd == std::string::npos || request.size() < headEnd + 4 + wanted) {
    const int n = SSL_read(ssl.get(), buffer, sizeof(buffer));
    if (n <= 0) return;
    request.append(buffer, static_cast<size_t>(n));
    if (headEnd == std::string::npos && (headEnd = request.find("\r\n\r\n")) != std::string::npos) {
      std::string head = request.substr(0, headEnd);
      for (char& c : head) c = static_cast<char>(tolower(c));
      const size_t length = head.find("content-length:");
      if (length != std::string::npos) wanted = std::strtoull(head.c_str() + length + 15, nullptr, 10);
    }
  }
  const auto send = [&](const std::string& text) {
    return SSL_write(ssl.get(), text.data(), static_cast<int>(text.size())) > 0;
  };
  if (!canned.empty()) {
    send(canned);
    SSL_shutdown(ssl.get());
    ::shutdown(fd, SHUT_RDWR);
    return;
  }

  ++hostile_;
  uint64_t sent = 0;
  const uint64_t enough = 64ull << 20;
  switch (hostility_) {
    case Hostility::Silent:
      break;
    case Hostility::Dribble:
      if (!send("HTTP/1.1 200 OK\r\nX-Slow: ")) return;
      while (!waitForStop(interval_) && send("a")) {
      }
      break;
    case Hostility::EndlessBody: {
      if (!send("HTTP/1.1 200 OK\r\nContent-Length: 2097152\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
      const std::string chunk = "4000\r\n" + std::string(0x4000, ' ') + "\r\n";
      while (sent < enough && send(chunk)) sent += chunk.size();
      break;
    }
    case Hostility::Gzip:
      send("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
           std::to_string(gzipBomb().size()) + "\r\nConnection: close\r\n\r\n" + gzipBomb());
      break;
    case Hostility::EndlessHeader: {
      if (!send("HTTP/1.1 200 OK\r\n")) return;
      std::string lines;
      while (lines.size() < 16384) lines += "X-Filler-" + std::to_string(lines.size()) + ": a\r\n";
      while (sent < enough && send(lines)) sent += lines.size();
      break;
    }
  }
  ::shutdown(fd, SHUT_RDWR);
}

namespace {

int64_t statusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::strtoll(line.c_str() + strlen(field), nullptr, 10);
  return 0;
}

}  // namespace

PeakMemory::PeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from the present
  base_ = statusKiB("VmRSS:") * 1024;
}

int64_t PeakMemory::growthBytes() const {
  return statusKiB("VmHWM:") * 1024 - base_;
}

int64_t msSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

void checkHostileRow(const std::string& label, Hostility hostility, const char* how, int64_t endedMs,
                     int64_t closedMs, const PeakMemory& memory) {
  if (hostility == Hostility::Silent || hostility == Hostility::Dribble) {
    const bool cancelled = hostility == Hostility::Silent;
    printf("[ limits ] %s: %s %lld ms, close %lld ms\n", label.c_str(),
           cancelled ? how : "deadline 1 s, ended", static_cast<long long>(endedMs),
           static_cast<long long>(closedMs));
    EXPECT_LE(endedMs, cancelled ? 1000 : 2000) << label;
    EXPECT_LE(closedMs, 1000) << label;
  } else {
    printf("[ limits ] %s: peak memory growth %.1f MiB\n", label.c_str(), memory.growthBytes() / 1048576.0);
    EXPECT_LT(memory.growthBytes(), 16 << 20) << label;
  }
}
