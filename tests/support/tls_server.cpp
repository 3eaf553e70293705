#include "support/tls_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

const TestPki& testPki() {
  static const TestPki pki = [] {
    TestPki p;
    char pattern[] = "/tmp/orvo_test_pki_XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (!dir) {
      ADD_FAILURE() << "cannot create a folder for the test PKI";
      return p;
    }
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
