// Every HTTPS request the launcher makes goes through here: the UI thread can abort it at once,
// it has an overall deadline (or, for a long download, a stall limit), and what the peer sends
// is bounded in memory, headers included.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

struct HttpsFlight;

// The link between an owner's UI thread and the request its worker has in flight. cancel()
// shuts that request's socket down, so the worker's read or connect fails at once, and makes
// every later request through it fail until reset().
class RequestCanceller {
 public:
  RequestCanceller() = default;
  RequestCanceller(const RequestCanceller&) = delete;
  RequestCanceller& operator=(const RequestCanceller&) = delete;

  void cancel();
  // Only while no request runs through this canceller (before a new worker starts).
  void reset();

 private:
  friend struct HttpsFlight;
  std::mutex mutex_;  // guards the next two fields
  bool cancelled_ = false;
  HttpsFlight* active_ = nullptr;  // the request in flight; null when none
};

// How long requests may take. Tests shorten them; the launcher uses these values.
struct RequestDeadlines {
  std::chrono::milliseconds signIn{std::chrono::minutes(5)};  // token and userinfo, each
  std::chrono::milliseconds update{std::chrono::minutes(1)};  // manifest and verification, each
  // The package has no total: only this long without a byte of its body ends it.
  std::chrono::milliseconds packageStall{std::chrono::minutes(2)};
};

// Replies kept in memory (token, userinfo, manifest, verification) are cut off past this size.
constexpr size_t kReplyBodyLimit = 1024 * 1024;

struct HttpsRequest {
  std::string host{};
  int port = 443;
  std::string method = "GET";
  std::string path{};  // with its query
  httplib::Headers headers{};
  std::string body{};
  std::string contentType{};  // of the body; empty when there is none
  time_t connectSeconds = 15;
  time_t readSeconds = 30;
  std::chrono::milliseconds deadline{0};  // the whole request; 0 for none
  std::chrono::milliseconds stall{0};     // the longest wait for the next body byte; 0 for none
  size_t bodyLimit = kReplyBodyLimit;     // of a body kept in the reply
  // When set, the body goes here block by block instead of into the reply; false abandons it.
  std::function<bool(const char* data, size_t length)> receiver{};
  // Progress of a body of declared length: bytes so far and the declared length.
  std::function<bool(uint64_t received, uint64_t total)> progress{};
};

struct HttpsReply {
  // The status line, the headers and the whole body arrived, or the body passed bodyLimit.
  // False for every transport failure, time-out, cancel, over-long header or a body longer than
  // its declared length.
  bool responded = false;
  int status = 0;
  bool tooLarge = false;  // the body passed bodyLimit; body holds what came before
  std::string body;       // empty when a receiver took the body
};

// Sends the request once on a new client: server certificate verification on, no keep-alive,
// redirects not followed, the reply's body taken as sent (never decompressed). Runs on a worker thread;
// canceller may be null.
HttpsReply sendHttpsRequest(const HttpsRequest& request, RequestCanceller* canceller);
