#include <gtest/gtest.h>

#include <filesystem>

#include "update_fixture.h"
#include "updater/package_container.h"

namespace fs = std::filesystem;

namespace {

class EncryptedPackage : public UpdateFixture {
 protected:
  void SetUp() override {
    UpdateFixture::SetUp();
    zip = makeZipPackage();
    key = randomKeyBase64();
  }
  // Serves a container made with the options and runs an update whose manifest gives manifestKey.
  UpdateState runContainer(const std::string& options, const std::string& manifestKey,
                           const std::string& plaintextSha = "") {
    const std::string version = "e" + std::to_string(++runs);
    const std::string container = source / (version + ".pkg");
    EXPECT_TRUE(writeContainer(zip, container, key, options));
    serve(server.manifest(version, server.packageUrl(), sha256FileHex(container), plaintextSha, manifestKey),
          container);
    lastDecrypted = packagePath(version) + ".decrypted.zip";
    return run();
  }
  std::string zip;
  std::string key;
  std::string lastDecrypted;
  int runs = 0;
};

TEST_F(EncryptedPackage, DecryptsConfirmsThePlaintextAndInstalls) {
  const std::string plainSha = sha256FileHex(zip);
  EXPECT_EQ(runContainer("--reserved 7", key, plainSha), UpdateState::Installed);
  EXPECT_EQ(message, "Installed \u2014 version e1");
  // The plaintext digest is the one the auth server is asked about.
  EXPECT_EQ(server.lastVerifyBody(), "{\"sha256\":\"" + plainSha + "\"}");
  EXPECT_EQ(readWholeFile(editorDir() + "/editor"), "#!/bin/sh\necho editor\n");
  EXPECT_FALSE(fs::exists(lastDecrypted));
  EXPECT_TRUE(fs::exists(packagePath("e1")));

  // The URL-safe alphabet, no padding, and spaces and line breaks between the digits.
  std::string lenient;
  for (char c : key.substr(0, 43)) {
    lenient += c == '+' ? '-' : c == '/' ? '_' : c;
    if (lenient.size() % 10 == 0) lenient += " \\r\\n";  // JSON escapes: the key holds CR LF
  }
  EXPECT_EQ(runContainer("", lenient + "=ignored-after-padding"), UpdateState::Installed);
}

TEST_F(EncryptedPackage, KeysOfTheWrongLengthFailBeforeTheContainerIsRead) {
  const std::string prefix = "Decrypting editor package failed: ";
  for (const std::string& manifestKey :
       {std::string(), key.substr(0, 42), key.substr(0, 43) + "AA", std::string("!!!")}) {
    EXPECT_EQ(runContainer("", manifestKey), UpdateState::Failed) << manifestKey;
    EXPECT_EQ(message, prefix + "Invalid decryption key length.");
    EXPECT_FALSE(fs::exists(lastDecrypted));
    EXPECT_TRUE(fs::is_empty(exeDir() + "/editor-staging"));
  }
}

TEST_F(EncryptedPackage, ContainerFaultsFailWithTheirSentence) {
  const std::string prefix = "Decrypting editor package failed: ";
  const std::string tag =
      "Authentication tag verification failed: artifact has been tampered with or key is invalid.";
  struct Case {
    std::string options;
    std::string detail;
  };
  const Case cases[] = {
      {"--truncate 47", "Encrypted file is too small to contain valid container header."},
      {"--extra", "Container file size does not match declared payload size."},
      {"--declared 18446744073709551615", "Container file size does not match declared payload size."},
      {"--declared 0", "Container file size does not match declared payload size."},
      {"--version 2", "Unsupported container format version or parameters."},
      {"--ivlen 16", "Unsupported container format version or parameters."},
      {"--taglen 12", "Unsupported container format version or parameters."},
      {"--flip 100", tag},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(runContainer(c.options, key), UpdateState::Failed) << c.options;
    EXPECT_EQ(message, prefix + c.detail) << c.options;
  }
  // The whole payload was written before the tag was found wrong; the temporary stays.
  EXPECT_EQ(fs::file_size(lastDecrypted), fs::file_size(zip));

  const std::string otherKey = randomKeyBase64();
  EXPECT_EQ(runContainer("", otherKey), UpdateState::Failed);
  EXPECT_EQ(message, prefix + tag);
  EXPECT_EQ(server.verifyRequests(), 0);
}

TEST_F(EncryptedPackage, PlaintextAndArchiveChecksAfterDecryption) {
  EXPECT_EQ(runContainer("", key, std::string(64, '0')), UpdateState::Failed);
  EXPECT_EQ(message, "The decrypted editor package failed plaintext checksum verification.");
  EXPECT_FALSE(fs::exists(lastDecrypted));

  server.configure([](UpdateServerBehaviour& b) { b.verifyStatus = 503; });
  EXPECT_EQ(runContainer("", key, sha256FileHex(zip)), UpdateState::Failed);
  EXPECT_EQ(message,
            "Artifact authenticity verification failed: Auth server returned HTTP 503 on verification.");
  EXPECT_FALSE(fs::exists(lastDecrypted));
  server.configure([](UpdateServerBehaviour& b) { b.verifyStatus = 200; });

  // An empty payload with a valid tag decrypts to an empty file, which is no zip.
  zip = source / "nothing.zip";
  writeTextFile(zip, "");
  EXPECT_EQ(runContainer("", key), UpdateState::Failed);
  EXPECT_EQ(message, "The editor package is not a readable zip archive.");
  EXPECT_FALSE(fs::exists(lastDecrypted));

  // Without the magic the file is taken for a plain zip and the key is ignored.
  EXPECT_EQ(runContainer("--magic ZELVAN2", key), UpdateState::Failed);
  EXPECT_EQ(message, "The editor package is not a readable zip archive.");
}

TEST(PackageContainer, DirectChecksAndTheLenientDecoder) {
  TempDir dir;
  const std::vector<uint8_t> key(32, 7);
  std::string error;
  EXPECT_FALSE(isEncryptedPackage(dir / "missing"));
  writeTextFile(dir / "short", "ZELVAN1");
  EXPECT_FALSE(isEncryptedPackage(dir / "short"));
  EXPECT_FALSE(decryptPackageContainer(dir / "missing", dir / "out", key, error));
  EXPECT_EQ(error, "Could not open encrypted file for reading.");
  writeTextFile(dir / "magic", "ZELVAN2" + std::string(41, '\0'));
  EXPECT_FALSE(decryptPackageContainer(dir / "magic", dir / "out", key, error));
  EXPECT_EQ(error, "Invalid container magic bytes.");

  // A folder opens and reports a size, but no header can be read from it.
  EXPECT_FALSE(decryptPackageContainer(dir.path(), dir / "out", key, error));
  EXPECT_EQ(error, "Could not read container header.");

  writeTextFile(dir / "empty.zip", "");
  const std::string base64 = randomKeyBase64();
  ASSERT_TRUE(writeContainer(dir / "empty.zip", dir / "empty.pkg", base64));
  EXPECT_TRUE(isEncryptedPackage(dir / "empty.pkg"));
  fs::create_directories(dir / "out-folder");
  EXPECT_FALSE(
      decryptPackageContainer(dir / "empty.pkg", dir / "out-folder", decodeBase64Key(base64), error));
  EXPECT_EQ(error, "Could not open output file for writing.");
  EXPECT_TRUE(decryptPackageContainer(dir / "empty.pkg", dir / "out", decodeBase64Key(base64), error));
  EXPECT_EQ(fs::file_size(dir / "out"), 0u);

  const std::vector<uint8_t> hello = {'h', 'e', 'l', 'l', 'o', '?', '?'};
  EXPECT_EQ(decodeBase64Key("aGVsbG8/Pw=="), hello);
  EXPECT_EQ(decodeBase64Key("aGVs bG8_\r\nPw"), hello);
  EXPECT_EQ(decodeBase64Key("aGVsbG8/Pw=aGVs"), hello);
  EXPECT_EQ(decodeBase64Key("\xC3\xA9"), std::vector<uint8_t>());
  EXPECT_EQ(decodeBase64Key("-_"), std::vector<uint8_t>({0xFB}));
}

}  // namespace
