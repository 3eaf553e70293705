#include "updater/artifact_verification.h"

#include <openssl/evp.h>

#include <vector>

#include "platform/json_request.h"
#include "updater/file_io.h"

bool parseHttpsUrl(const std::string& url, std::string& host, int32_t& port, std::string& path) {
  static const std::string prefix = "https://";
  if (url.compare(0, prefix.size(), prefix) != 0) return false;
  const size_t slash = url.find('/', prefix.size());
  std::string authority;
  if (slash == std::string::npos) {
    authority = url.substr(prefix.size());
    path = "/";
  } else {
    authority = url.substr(prefix.size(), slash - prefix.size());
    path = url.substr(slash);
  }
  if (authority.empty()) return false;
  port = 443;
  const size_t colon = authority.find(':');
  if (colon == std::string::npos) {
    host = authority;
    return true;
  }
  host = authority.substr(0, colon);
  const std::string portText = authority.substr(colon + 1);
  if (portText.empty()) return false;
  // Accumulate with a ceiling so twenty digits cannot overflow into the valid range.
  int64_t value = 0;
  for (char c : portText) {
    if (c < '0' || c > '9') return false;
    if (value <= 65535) value = value * 10 + (c - '0');
  }
  if (host.empty() || value < 1 || value > 65535) return false;
  port = static_cast<int32_t>(value);
  return true;
}

Sha256Stream::Sha256Stream(bool onOwnThread) : context_(EVP_MD_CTX_new()) {
  failed_ = !context_ || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1;
  if (onOwnThread && !failed_)
    pipeline_ = std::make_unique<BlockPipeline>(
        [this](const unsigned char* data, size_t length) { return digest(data, length); });
}

Sha256Stream::~Sha256Stream() {
  pipeline_.reset();  // the thread ends before the context goes
  EVP_MD_CTX_free(context_);
}

bool Sha256Stream::digest(const unsigned char* data, size_t length) {
  if (!failed_ && length > 0) failed_ = EVP_DigestUpdate(context_, data, length) != 1;
  return !failed_;
}

void Sha256Stream::update(const void* data, size_t length) {
  if (finished_) return;
  if (pipeline_)
    pipeline_->push(data, length);
  else
    digest(static_cast<const unsigned char*>(data), length);
}

std::string Sha256Stream::finishHex() {
  if (finished_) return std::string();
  finished_ = true;  // further input would not count
  if (pipeline_) pipeline_->finish();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (failed_ || EVP_DigestFinal_ex(context_, digest, &digestLength) != 1) return std::string();
  static const char hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(digestLength * 2);
  for (unsigned int i = 0; i < digestLength; ++i) {
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 0x0F];
  }
  return text;
}

std::string sha256FileHex(const std::string& path) {
  InputFile file(path);
  if (!file.isOpen()) return std::string();
  Sha256Stream digest;
  // A block that stays in the core's cache between the copy from the page cache and the digest;
  // 256 KiB blocks hashed a third slower.
  std::vector<unsigned char> buffer(65536);
  for (;;) {
    const int64_t count = file.read(buffer.data(), buffer.size());
    if (count < 0) return std::string();
    if (count == 0) break;
    digest.update(buffer.data(), static_cast<size_t>(count));
  }
  return digest.finishHex();
}

bool verifyArtifactAuthenticity(const std::string& manifestUrl, const std::string& sha256Hex,
                                std::string& error, RequestCanceller* canceller,
                                std::chrono::milliseconds deadline) {
  std::string host;
  std::string path;
  int32_t port = 443;
  if (!parseHttpsUrl(manifestUrl, host, port, path)) {
    error = "Invalid manifest URL.";
    return false;
  }
  // The digest comes from the manifest and goes in as it stands.
  const JsonReply reply = sendJsonRequest({.host = host,
                                           .port = port,
                                           .method = "POST",
                                           .path = "/v1/artifacts/verify",
                                           .body = "{\"sha256\":\"" + sha256Hex + "\"}",
                                           .contentType = "application/json",
                                           .connectSeconds = 10,
                                           .readSeconds = 15,
                                           .deadline = deadline},
                                          canceller);
  if (reply.outcome != JsonReplyOutcome::Ok) {
    error = reply.failure("Could not reach auth server for SHA-256 verification.",
                          "Auth server returned HTTP " + std::to_string(reply.status) + " on verification.",
                          "Invalid JSON returned by verification endpoint.");
    return false;
  }
  const rapidjson::Value& root = reply.document;
  const auto genuine = root.FindMember("genuine");
  if (genuine == root.MemberEnd() || !genuine->value.IsBool()) {
    error = "Verification response missing genuine field.";
    return false;
  }
  if (!genuine->value.GetBool()) {
    error = "Artifact SHA-256 verification failed: binary is not genuine.";
    return false;
  }
  return true;
}
