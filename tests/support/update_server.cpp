#include "support/update_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

// A response body: a text, or a file read in place (packages may be hundreds of MiB).
struct Body {
  std::string text;
  int fd = -1;
  uint64_t size = 0;
  ~Body() {
    if (fd >= 0) ::close(fd);
  }
  size_t read(uint64_t offset, char* out, size_t n) const {
    if (fd < 0) return offset < text.size() ? text.copy(out, n, offset) : 0;
    const ssize_t got = ::pread(fd, out, n, static_cast<off_t>(offset));
    return got > 0 ? static_cast<size_t>(got) : 0;
  }
};

void serveBody(httplib::Response& response, std::shared_ptr<Body> body, BodyFault fault, const char* type,
               const std::atomic<bool>& stopping) {
  const size_t block = fault == BodyFault::Slow ? 16384 : 262144;
  if (fault == BodyFault::Endless || fault == BodyFault::NoLength) {
    response.set_chunked_content_provider(type, [=, &stopping](size_t offset, httplib::DataSink& sink) {
      std::string buffer(block, ' ');
      const size_t n = fault == BodyFault::Endless ? block : body->read(offset, buffer.data(), block);
      if (n == 0) sink.done();
      return !stopping.load() && (n == 0 || sink.write(buffer.data(), n));
    });
    return;
  }
  const uint64_t sendUpTo = fault == BodyFault::CutMidway ? body->size / 2 : body->size;
  response.set_content_provider(
      body->size, type, [=, &stopping](size_t offset, size_t size, httplib::DataSink& sink) {
        if (offset >= sendUpTo || stopping.load()) return false;
        if (fault == BodyFault::Slow) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::string buffer(std::min<uint64_t>({size, block, sendUpTo - offset}), '\0');
        const size_t n = body->read(offset, buffer.data(), buffer.size());
        return n > 0 && sink.write(buffer.data(), n);
      });
}

void setStatus(httplib::Response& response, int status) {
  response.status = status;
  if (status >= 300 && status < 400) response.set_header("Location", "/elsewhere");
}

}  // namespace

UpdateServer::UpdateServer(bool trusted) : server_(trusted) {
  httplib::SSLServer& http = server_.http();
  http.Get("/v1/editor/manifest", [this](const httplib::Request&, httplib::Response& response) {
    ++manifestRequests_;
    const UpdateServerBehaviour b = snapshot();
    setStatus(response, b.manifestStatus);
    auto body = std::make_shared<Body>();
    body->text = b.manifestBody;
    body->size = b.manifestBody.size();
    serveBody(response, body, b.manifestFault, "application/json", stopping_);
  });
  http.Get("/packages/.*", [this](const httplib::Request&, httplib::Response& response) {
    ++packageRequests_;
    const UpdateServerBehaviour b = snapshot();
    setStatus(response, b.packageStatus);
    if (b.packageStatus != 200) return response.set_content("no such package here", "text/plain");
    auto body = std::make_shared<Body>();
    body->fd = ::open(b.packageFile.c_str(), O_RDONLY | O_CLOEXEC);
    body->size = body->fd >= 0 ? static_cast<uint64_t>(::lseek(body->fd, 0, SEEK_END)) : 0;
    serveBody(response, body, b.packageFault, "application/zip", stopping_);
  });
  http.Post("/v1/artifacts/verify", [this](const httplib::Request& request, httplib::Response& response) {
    ++verifyRequests_;
    const UpdateServerBehaviour b = snapshot();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lastVerifyBody_ = request.body;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(b.verifyDelayMs));
    setStatus(response, b.verifyStatus);
    response.set_content(b.verifyBody, "application/json");
  });
}

void UpdateServer::stop() {
  stopping_.store(true);
  server_.stop();
}

void UpdateServer::configure(const std::function<void(UpdateServerBehaviour&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(behaviour_);
}

UpdateServerBehaviour UpdateServer::snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  return behaviour_;
}

std::string UpdateServer::lastVerifyBody() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastVerifyBody_;
}

std::string UpdateServer::manifestUrl() const {
  return "https://127.0.0.1:" + std::to_string(server_.port()) + "/v1/editor/manifest?platform=linux";
}

std::string UpdateServer::packageUrl(const std::string& name) const {
  return "https://127.0.0.1:" + std::to_string(server_.port()) + "/packages/" + name;
}

std::string UpdateServer::manifest(const std::string& version, const std::string& url,
                                   const std::string& sha256, const std::string& plaintextSha256,
                                   const std::string& key) const {
  std::string json = "{\"version\":\"" + version + "\",\"url\":\"" + url + "\"";
  if (!sha256.empty()) json += ",\"sha256\":\"" + sha256 + "\"";
  if (!plaintextSha256.empty()) json += ",\"plaintext_sha256\":\"" + plaintextSha256 + "\"";
  if (!key.empty()) json += ",\"encryption\":{\"algorithm\":\"aes-256-gcm\",\"key\":\"" + key + "\"}";
  return json + "}";
}
