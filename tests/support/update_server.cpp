#include "support/update_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

// Serves body or the file at path with the fault applied.
void serveBody(httplib::Response& response, const std::string& body, const std::string& filePath,
               BodyFault fault, const std::string& contentType, const std::atomic<bool>& stopping) {
  auto fd = std::make_shared<int>(-1);
  uint64_t length = body.size();
  if (!filePath.empty()) {
    *fd = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
    length = *fd >= 0 ? static_cast<uint64_t>(::lseek(*fd, 0, SEEK_END)) : 0;
  }
  auto closer = std::shared_ptr<void>(nullptr, [fd](void*) {
    if (*fd >= 0) ::close(*fd);
  });
  // Reads up to size bytes at offset from the file or the body into out.
  auto readAt = [fd, body](uint64_t offset, char* out, size_t size) -> size_t {
    if (*fd >= 0) {
      const ssize_t n = ::pread(*fd, out, size, static_cast<off_t>(offset));
      return n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (offset >= body.size()) return 0;
    const size_t n = std::min(size, body.size() - static_cast<size_t>(offset));
    body.copy(out, n, static_cast<size_t>(offset));
    return n;
  };
  const size_t block = fault == BodyFault::Slow ? 16384 : 262144;
  if (fault == BodyFault::Endless) {
    response.set_chunked_content_provider(contentType, [&stopping, closer](size_t, httplib::DataSink& sink) {
      static const std::string filler(65536, ' ');
      return !stopping.load() && sink.write("[", 1) && sink.write(filler.data(), filler.size());
    });
    return;
  }
  if (fault == BodyFault::NoLength) {
    response.set_chunked_content_provider(
        contentType, [readAt, length, block, closer](size_t offset, httplib::DataSink& sink) {
          std::string buffer(block, '\0');
          const size_t n = offset < length ? readAt(offset, buffer.data(), buffer.size()) : 0;
          if (n == 0) {
            sink.done();
            return true;
          }
          return sink.write(buffer.data(), n);
        });
    return;
  }
  const uint64_t sendUpTo = fault == BodyFault::CutMidway ? length / 2 : length;
  response.set_content_provider(
      length, contentType,
      [readAt, sendUpTo, block, fault, &stopping, closer](size_t offset, size_t size,
                                                          httplib::DataSink& sink) {
        if (offset >= sendUpTo || stopping.load()) return false;
        if (fault == BodyFault::Slow) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::string buffer(std::min<size_t>({size, block, static_cast<size_t>(sendUpTo - offset)}), '\0');
        const size_t n = readAt(offset, buffer.data(), buffer.size());
        return n > 0 && sink.write(buffer.data(), n);
      });
}

}  // namespace

UpdateServer::UpdateServer(bool trusted) : server_(trusted) {
  httplib::SSLServer& http = server_.http();
  http.Get("/v1/editor/manifest", [this](const httplib::Request&, httplib::Response& response) {
    ++manifestRequests_;
    const UpdateServerBehaviour b = snapshot();
    response.status = b.manifestStatus;
    if (b.manifestStatus >= 300 && b.manifestStatus < 400) response.set_header("Location", "/elsewhere");
    serveBody(response, b.manifestBody, "", b.manifestFault, "application/json", stopping_);
  });
  http.Get("/packages/.*", [this](const httplib::Request&, httplib::Response& response) {
    ++packageRequests_;
    const UpdateServerBehaviour b = snapshot();
    response.status = b.packageStatus;
    if (b.packageStatus != 200) {
      response.set_content("no such package here", "text/plain");
      return;
    }
    serveBody(response, "", b.packageFile, b.packageFault, "application/zip", stopping_);
  });
  http.Post("/v1/artifacts/verify", [this](const httplib::Request& request, httplib::Response& response) {
    ++verifyRequests_;
    const UpdateServerBehaviour b = snapshot();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lastVerifyBody_ = request.body;
    }
    if (b.verifyDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(b.verifyDelayMs));
    response.status = b.verifyStatus;
    if (b.verifyStatus >= 300 && b.verifyStatus < 400) response.set_header("Location", "/elsewhere");
    response.set_content(b.verifyBody, "application/json");
  });
}

UpdateServer::~UpdateServer() {
  stop();
}

int UpdateServer::start() {
  return server_.start();
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
