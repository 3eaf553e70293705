// A local HTTPS update server for the updater tests and benchmark: the manifest, the package
// and the artifact verification endpoint, each with switchable faults.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "support/tls_server.h"

enum class BodyFault {
  None,
  CutMidway,  // declares the full length, sends half, then drops the connection
  NoLength,   // chunked transfer, no Content-Length
  Slow,       // small blocks with a pause between them (for cancel)
  Endless,    // chunked whitespace that never ends
};

struct UpdateServerBehaviour {
  int manifestStatus = 200;
  std::string manifestBody;
  BodyFault manifestFault = BodyFault::None;
  int packageStatus = 200;
  std::string packageFile;  // served for every path under /packages/
  BodyFault packageFault = BodyFault::None;
  int verifyStatus = 200;
  std::string verifyBody = "{\"genuine\":true}";
  int verifyDelayMs = 0;
};

class UpdateServer {
 public:
  explicit UpdateServer(bool trusted = true);
  ~UpdateServer() { stop(); }

  int start() { return server_.start(); }
  void stop();
  // Changes the behaviour under the server's lock; requests copy it when they arrive.
  void configure(const std::function<void(UpdateServerBehaviour&)>& change);

  std::string manifestUrl() const;  // https://127.0.0.1:PORT/v1/editor/manifest?platform=linux
  std::string packageUrl(const std::string& name = "editor.zip") const;
  // A manifest JSON object from the usual members; empty ones are left out.
  std::string manifest(const std::string& version, const std::string& url, const std::string& sha256 = "",
                       const std::string& plaintextSha256 = "", const std::string& key = "") const;

  int manifestRequests() const { return manifestRequests_.load(); }
  int packageRequests() const { return packageRequests_.load(); }
  int verifyRequests() const { return verifyRequests_.load(); }
  std::string lastVerifyBody();

 private:
  UpdateServerBehaviour snapshot();

  LocalTlsServer server_;
  std::mutex mutex_;
  UpdateServerBehaviour behaviour_;
  std::string lastVerifyBody_;
  std::atomic<int> manifestRequests_{0};
  std::atomic<int> packageRequests_{0};
  std::atomic<int> verifyRequests_{0};
  std::atomic<bool> stopping_{false};
};
