#include "updater/package_container.h"

#include <openssl/evp.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "updater/artifact_verification.h"
#include "updater/file_io.h"

namespace {

constexpr size_t kBlockSize = 65536;
constexpr size_t kIvSize = 12;

}  // namespace

bool isEncryptedPackage(const std::string& path) {
  InputFile file(path);
  if (!file.isOpen()) return false;
  char magic[sizeof(kContainerMagic)];
  if (file.read(magic, sizeof(magic)) != static_cast<int64_t>(sizeof(magic))) return false;
  return std::memcmp(magic, kContainerMagic, sizeof(magic)) == 0;
}

std::vector<uint8_t> decodeBase64Key(const std::string& text) {
  std::vector<uint8_t> bytes;
  uint32_t accumulator = 0;
  int pending = -8;
  for (unsigned char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z')
      value = c - 'A';
    else if (c >= 'a' && c <= 'z')
      value = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      value = c - '0' + 52;
    else if (c == '+' || c == '-')
      value = 62;
    else if (c == '/' || c == '_')
      value = 63;
    else if (c == '=')
      break;
    else
      continue;
    // Only the low bits still pending matter; masking keeps the accumulator from overflowing.
    accumulator = ((accumulator << 6) | static_cast<uint32_t>(value)) & 0xFFFFFF;
    pending += 6;
    if (pending >= 0) {
      bytes.push_back(static_cast<uint8_t>((accumulator >> pending) & 0xFF));
      pending -= 8;
    }
  }
  return bytes;
}

bool decryptPackageContainer(const std::string& containerPath, const std::string& outputPath,
                             const std::vector<uint8_t>& key, std::string& error,
                             std::string* plaintextSha256) {
  InputFile container(containerPath);
  if (!container.isOpen()) {
    error = "Could not open encrypted file for reading.";
    return false;
  }
  const int64_t fileSize = container.size();
  if (fileSize < static_cast<int64_t>(kContainerHeaderSize + kContainerTagSize)) {
    error = "Encrypted file is too small to contain valid container header.";
    return false;
  }
  unsigned char header[kContainerHeaderSize];
  if (!container.seek(0) || container.read(header, sizeof(header)) != static_cast<int64_t>(sizeof(header))) {
    error = "Could not read container header.";
    return false;
  }
  if (std::memcmp(header, kContainerMagic, sizeof(kContainerMagic)) != 0) {
    error = "Invalid container magic bytes.";
    return false;
  }
  if (header[8] != 1 || header[9] != kIvSize || header[10] != kContainerTagSize) {
    error = "Unsupported container format version or parameters.";
    return false;
  }
  uint64_t payloadSize = 0;
  for (int i = 12; i < 20; ++i) payloadSize = (payloadSize << 8) | header[i];
  // Compared without adding to n, which could wrap for a hostile length.
  if (payloadSize != static_cast<uint64_t>(fileSize) - kContainerHeaderSize - kContainerTagSize) {
    error = "Container file size does not match declared payload size.";
    return false;
  }
  unsigned char tag[kContainerTagSize];
  if (!container.seek(kContainerHeaderSize + payloadSize) ||
      container.read(tag, sizeof(tag)) != static_cast<int64_t>(sizeof(tag))) {
    error = "Could not read authentication tag.";
    return false;
  }
  container.seek(kContainerHeaderSize);

  OutputFile output(outputPath, 0600);
  if (!output.isOpen()) {
    error = "Could not open output file for writing.";
    return false;
  }
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                          &EVP_CIPHER_CTX_free);
  if (!context) {
    error = "Failed to allocate cipher context.";
    return false;
  }
  if (EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kIvSize), nullptr) != 1 ||
      EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key.data(), header + 20) != 1) {
    error = "Failed to initialize AES-256-GCM cipher.";
    return false;
  }
  Sha256Stream digest(/*onOwnThread=*/plaintextSha256 != nullptr);
  // Written on a thread of its own: the write of the plaintext costs as much as its decryption. A
  // failed write (a full disk) ends the decryption at its next block.
  std::atomic<bool> writeFailed{false};
  BlockPipeline writer([&output, &writeFailed](const unsigned char* data, size_t length) {
    if (!output.write(data, length)) writeFailed = true;
  });
  const auto notWritten = [&error] {
    error = "Could not write the decrypted package.";
    return false;
  };
  std::vector<unsigned char> input(kBlockSize);
  std::vector<unsigned char> plain(kBlockSize + 16);
  uint64_t remaining = payloadSize;
  while (remaining > 0) {
    if (writeFailed.load()) return notWritten();
    const size_t want = remaining < kBlockSize ? static_cast<size_t>(remaining) : kBlockSize;
    const int64_t got = container.read(input.data(), want);
    if (got <= 0) {
      error = "Premature end of ciphertext.";
      return false;
    }
    int produced = 0;
    if (EVP_DecryptUpdate(context.get(), plain.data(), &produced, input.data(), static_cast<int>(got)) != 1) {
      error = "Decryption error.";
      return false;
    }
    writer.push(plain.data(), static_cast<size_t>(produced));
    if (plaintextSha256) digest.update(plain.data(), static_cast<size_t>(produced));
    remaining -= static_cast<uint64_t>(got);
  }
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(sizeof(tag)), tag) != 1) {
    error = "Failed to set authentication tag.";
    return false;
  }
  int produced = 0;
  if (EVP_DecryptFinal_ex(context.get(), plain.data(), &produced) != 1) {
    error = "Authentication tag verification failed: artifact has been tampered with or key is invalid.";
    return false;
  }
  writer.push(plain.data(), static_cast<size_t>(produced));
  writer.finish();
  if (writeFailed.load() || !output.flush()) return notWritten();
  if (plaintextSha256) {
    digest.update(plain.data(), static_cast<size_t>(produced));
    *plaintextSha256 = digest.finishHex();
  }
  return true;
}
