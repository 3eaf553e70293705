// HTTPS addresses, file digests and the auth server's confirmation that a package is genuine.
// Stateless; the update worker calls them on its own thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <openssl/types.h>

#include "platform/https_request.h"
#include "updater/block_pipeline.h"

// Splits an "https://" address into host, port and path (query and fragment stay in the path).
// Callers preset port to 443. False when the address is unusable; the outputs are then not to be used.
bool parseHttpsUrl(const std::string& url, std::string& host, int32_t& port, std::string& path);

// SHA-256 of a whole file as 64 lower-case hex digits; empty when it cannot be read.
std::string sha256FileHex(const std::string& path);

// A SHA-256 fed block by block, so a stage that already has the bytes in hand (the download, the
// decryption) digests them without reading its file again; on its own thread it runs beside the
// caller's network or cipher work.
class Sha256Stream {
 public:
  explicit Sha256Stream(bool onOwnThread = false);
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  void update(const void* data, size_t length);
  // 64 lower-case hex digits of everything fed; empty when any step failed. Call once.
  std::string finishHex();

 private:
  bool digest(const unsigned char* data, size_t length);  // false once a step failed

  EVP_MD_CTX* context_;
  bool failed_ = false;  // the digest thread's while it runs
  bool finished_ = false;
  std::unique_ptr<BlockPipeline> pipeline_;  // when on its own thread
};

// Asks the auth server at the manifest address's host and port whether the digest is genuine.
// True only when it confirmed it; otherwise error holds one sentence (also after a cancel or the
// deadline: the server was not reached).
bool verifyArtifactAuthenticity(const std::string& manifestUrl, const std::string& sha256Hex,
                                std::string& error, RequestCanceller* canceller = nullptr,
                                std::chrono::milliseconds deadline = RequestDeadlines().update);
