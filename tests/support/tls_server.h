// Local HTTPS servers for tests: a throwaway CA made at test time, trusted by the product's
// clients only through OpenSSL's SSL_CERT_FILE, and httplib servers on 127.0.0.1.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// How a hostile stand-in meets a connection.
enum class Hostility {
  Silent,         // accepts and never sends a byte
  Dribble,        // a status line, then one header byte per interval, never ending
  EndlessBody,    // declares 1000 bytes, then sends a chunked body without end
  EndlessHeader,  // a status line, then header lines without end
  Gzip,           // a whole reply of gzipBomb(), marked "Content-Encoding: gzip"
};

const char* hostilityName(Hostility hostility);
// 64 MiB of zeros, gzip-compressed to about 64 KiB.
const std::string& gzipBomb();

// A raw TLS server on 127.0.0.1 (certificate of the test PKI) for the limits of the launcher's
// requests. The first connections get canned replies, so a run reaches the request under test;
// every later one meets the hostility. "Without end" stops after 64 MiB with a close, so a
// client without limits shows as memory grown rather than as a hang.
class HostileTlsServer {
 public:
  explicit HostileTlsServer(Hostility hostility,
                            std::chrono::milliseconds interval = std::chrono::milliseconds(100));
  ~HostileTlsServer();
  HostileTlsServer(const HostileTlsServer&) = delete;
  HostileTlsServer& operator=(const HostileTlsServer&) = delete;

  int port() const { return port_; }
  // Raw HTTP replies for the next connections, in order.
  void answerFirst(const std::vector<std::string>& replies);
  // Connections that met the hostility so far.
  int hostileConnections() const { return hostile_.load(); }
  // A whole reply with a declared length.
  static std::string reply(int status, const std::string& body);

 private:
  void serve(int fd);

  const Hostility hostility_;
  const std::chrono::milliseconds interval_;
  int listener_ = -1;
  int port_ = 0;
  std::shared_ptr<void> context_;  // the SSL_CTX
  std::thread acceptor_;
  std::mutex mutex_;  // guards the fields below
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::vector<std::string> replies_;
  size_t accepted_ = 0;
  std::vector<int> connections_;
  std::vector<std::thread> threads_;
  std::atomic<int> hostile_{0};
};

// The growth of this process's peak resident memory since construction.
class PeakMemory {
 public:
  PeakMemory();
  int64_t growthBytes() const;

 private:
  int64_t base_ = 0;
};

// Milliseconds from t until now.
int64_t msSince(std::chrono::steady_clock::time_point t);
// Prints and checks the figures of a hostile-peer row: a cancel (named by how) ends the request
// within 1 s, a trickle within 1 s of its 1 s deadline, a close (closedMs) within 1 s; an endless
// reply grows the peak memory by less than 16 MiB.
void checkHostileRow(const std::string& label, Hostility hostility, const char* how, int64_t endedMs,
                     int64_t closedMs, const PeakMemory& memory);
