#include "platform/https_request.h"

#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// What a peer may send beyond the body: the TLS handshake, the status line and the headers, and
// then the framing of the body (record overhead, chunk sizes) as a small share of the body.
// The HTTP library keeps every header line and every header however long or many they are;
// this is what bounds them.
constexpr uint64_t kOverheadAllowance = 64 * 1024;
constexpr uint64_t kFramingShare = 16;  // one byte in this many of the body

}  // namespace

// One request in flight. Aborting it shuts its socket down: our own duplicate of the library's
// descriptor, so the number can never name another file once the library has closed its copy.
struct HttpsFlight {
  explicit HttpsFlight(const HttpsRequest& request) : started(Clock::now()), lastBodyByte(started) {
    totalLimit = request.deadline.count() > 0 ? started + request.deadline : Clock::time_point::max();
    stall = request.stall;
  }
  ~HttpsFlight() {
    if (socket >= 0) ::close(socket);
  }

  // Worker thread, right after the library made a socket and before it connects.
  void adopt(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    if (socket >= 0) ::close(socket);  // an earlier address of the host that failed to connect
    socket = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    // Shut down before the connect: the connect then succeeds but every read and write fails.
    if (aborted && socket >= 0) ::shutdown(socket, SHUT_RDWR);
  }

  // Any thread: cancel, deadline, stall or the byte allowance.
  void abort() {
    std::lock_guard<std::mutex> lock(mutex);
    abortLocked();
  }
  void abortLocked() {
    aborted = true;
    if (socket >= 0) ::shutdown(socket, SHUT_RDWR);
  }

  // The deadline's own thread: ends the request at its total limit or when its body stalls.
  void watch() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished && !aborted) {
      Clock::time_point limit = totalLimit;
      if (stall.count() > 0) limit = std::min(limit, lastBodyByte + stall);
      if (Clock::now() >= limit) {
        abortLocked();
        break;
      }
      if (limit == Clock::time_point::max())
        wake.wait(lock);
      else
        wake.wait_until(lock, limit);
    }
  }

  void finish() {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    wake.notify_all();
  }

  bool wasAborted() {
    std::lock_guard<std::mutex> lock(mutex);
    return aborted;
  }

  // Worker thread: a body block arrived.
  void bodyArrived(size_t length) {
    bodyBytes += length;
    if (stall.count() == 0) return;
    std::lock_guard<std::mutex> lock(mutex);
    lastBodyByte = Clock::now();
  }

  // Worker thread, inside the TLS layer, for every record header read from the peer.
  static void onRecord(int writing, int, int contentType, const void* data, size_t length, SSL*, void* arg) {
    if (writing || contentType != SSL3_RT_HEADER || length < 5) return;
    HttpsFlight& flight = *static_cast<HttpsFlight*>(arg);
    const unsigned char* header = static_cast<const unsigned char*>(data);
    flight.peerBytes += 5 + ((header[3] << 8) | header[4]);
    const uint64_t allowed = kOverheadAllowance + flight.bodyBytes + flight.bodyBytes / kFramingShare;
    if (flight.peerBytes > allowed) flight.abort();
  }

  bool attach(RequestCanceller* canceller) {
    if (!canceller) return true;
    std::lock_guard<std::mutex> lock(canceller->mutex_);
    if (canceller->cancelled_) return false;
    canceller->active_ = this;
    return true;
  }
  void detach(RequestCanceller* canceller) {
    if (!canceller) return;
    std::lock_guard<std::mutex> lock(canceller->mutex_);
    canceller->active_ = nullptr;
  }

  const Clock::time_point started;
  std::mutex mutex;  // guards the fields up to lastBodyByte
  std::condition_variable wake;
  int socket = -1;
  bool aborted = false;
  bool finished = false;
  Clock::time_point lastBodyByte;
  Clock::time_point totalLimit;
  std::chrono::milliseconds stall{0};
  // Worker thread only.
  uint64_t peerBytes = 0;  // TLS records received, headers of the records included
  uint64_t bodyBytes = 0;  // body bytes handed on
};

void RequestCanceller::cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  if (active_) active_->abort();
}

void RequestCanceller::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = false;
}

HttpsReply sendHttpsRequest(const HttpsRequest& request, RequestCanceller* canceller) {
  HttpsReply reply;
  HttpsFlight flight(request);
  if (!flight.attach(canceller)) return reply;
  std::thread deadline;
  try {
    deadline = std::thread([&flight] { flight.watch(); });
  } catch (const std::system_error&) {
    flight.detach(canceller);  // no deadline could be kept: the request is not sent
    return reply;
  }

  bool sent = false;
  {
    httplib::SSLClient client(request.host, request.port);
    client.enable_server_certificate_verification(true);
    // The reply is taken as sent, whatever encoding it claims: a package is written and hashed
    // byte for byte, and a small compressed reply cannot inflate to gigabytes.
    client.set_decompress(false);
    client.set_connection_timeout(request.connectSeconds, 0);
    client.set_read_timeout(request.readSeconds, 0);
    client.set_socket_options([&flight](socket_t fd) { flight.adopt(fd); });
    SSL_CTX_set_msg_callback(client.ssl_context(), &HttpsFlight::onRecord);
    SSL_CTX_set_msg_callback_arg(client.ssl_context(), &flight);

    bool declared = false;
    uint64_t declaredLength = 0;
    httplib::Request out;
    out.method = request.method;
    out.path = request.path;
    out.headers = request.headers;
    out.body = request.body;
    if (!request.contentType.empty()) out.headers.emplace("Content-Type", request.contentType);
    out.response_handler = [&](const httplib::Response& response) {
      reply.status = response.status;
      declared = response.has_header("Content-Length");
      declaredLength = response.get_header_value<uint64_t>("Content-Length");
      return true;
    };
    out.content_receiver = [&](const char* data, size_t length, uint64_t, uint64_t) {
      flight.bodyArrived(length);
      // A chunked body may also declare a length; more than it declared is not the reply.
      if (declared && flight.bodyBytes > declaredLength) return false;
      if (request.receiver) return request.receiver(data, length);
      if (reply.body.size() + length > request.bodyLimit) {
        reply.tooLarge = true;
        return false;
      }
      reply.body.append(data, length);
      return true;
    };
    if (request.progress) out.progress = request.progress;
    httplib::Response response;
    httplib::Error error = httplib::Error::Success;
    sent = client.send(out, response, error);
  }

  flight.finish();
  deadline.join();
  flight.detach(canceller);
  reply.responded = (sent || reply.tooLarge) && !flight.wasAborted();
  if (!reply.responded) reply.tooLarge = false;
  return reply;
}
