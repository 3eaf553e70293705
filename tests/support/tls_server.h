// Local HTTPS servers for tests: a throwaway CA made at test time, trusted by the product's
// clients only through OpenSSL's SSL_CERT_FILE, and httplib servers on 127.0.0.1.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>
#include <thread>

struct TestPki {
  std::string dir;
  std::string caFile;    // the test CA; SSL_CERT_FILE points here
  std::string certFile;  // server certificate for 127.0.0.1, localhost and the service names
  std::string keyFile;
  std::string untrustedCert;  // self-signed, same names: a server nobody trusts
  std::string untrustedKey;
};

// Makes the PKI once per process and points SSL_CERT_FILE at its CA.
const TestPki& testPki();

class LocalTlsServer {
 public:
  // trusted = false serves the self-signed certificate instead of the CA-signed one.
  explicit LocalTlsServer(bool trusted = true);
  ~LocalTlsServer();
  LocalTlsServer(const LocalTlsServer&) = delete;
  LocalTlsServer& operator=(const LocalTlsServer&) = delete;

  httplib::SSLServer& http() { return *server_; }
  // Binds 127.0.0.1 (port 0: the kernel chooses), serves on a thread, returns the port.
  int start(int port = 0);
  void stop();
  int port() const { return port_; }

 private:
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;
};
