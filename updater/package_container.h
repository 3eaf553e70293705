// The encrypted package container: a 32-byte header ("ZELVAN1\0", format 1, IV length 12, tag
// length 16, a reserved byte, the big-endian payload length n, the 12-byte IV), n bytes of
// AES-256-GCM ciphertext of the zip, then the 16-byte tag. The file is exactly n + 48 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kContainerHeaderSize = 32;
constexpr size_t kContainerTagSize = 16;
constexpr char kContainerMagic[8] = {'Z', 'E', 'L', 'V', 'A', 'N', '1', '\0'};

// True when the file's first eight bytes are the container magic.
bool isEncryptedPackage(const std::string& path);

// Lenient Base64: both alphabets, '=' ends the text, other bytes are skipped, left-over bits dropped.
std::vector<uint8_t> decodeBase64Key(const std::string& text);

// Checks the container and decrypts it into outputPath (mode 0600: it is the whole plaintext) in
// 64 KiB blocks. Decrypted bytes are written before the tag is checked, so a failure can leave a
// partial output file for the caller to remove. On success plaintextSha256, when given, holds the
// plaintext's digest, taken as it was written.
bool decryptPackageContainer(const std::string& containerPath, const std::string& outputPath,
                             const std::vector<uint8_t>& key, std::string& error,
                             std::string* plaintextSha256 = nullptr);
