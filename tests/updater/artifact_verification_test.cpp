#include "updater/artifact_verification.h"

#include <gtest/gtest.h>

#include <string>

#include "support/packages.h"
#include "support/update_server.h"

namespace {

struct UrlCase {
  const char* url;
  bool ok;
  const char* host;
  int port;
  const char* path;
};

TEST(ParseHttpsUrl, SplitsOrRefusesAddresses) {
  const UrlCase cases[] = {
      {"https://updates.orvo.test/v1/manifest?platform=linux#x", true, "updates.orvo.test", 443,
       "/v1/manifest?platform=linux#x"},
      {"https://127.0.0.1:8443", true, "127.0.0.1", 8443, "/"},
      {"https://h:1/", true, "h", 1, "/"},
      {"https://h:65535/p", true, "h", 65535, "/p"},
      {"https://user@h/p", true, "user@h", 443, "/p"},
      {"https://h?q=1", true, "h?q=1", 443, "/"},
      {"https://", false, "", 0, ""},
      {"http://h/p", false, "", 0, ""},
      {"HTTPS://h/p", false, "", 0, ""},
      {"https://h:/p", false, "", 0, ""},
      {"https://h:0/p", false, "", 0, ""},
      {"https://h:65536/p", false, "", 0, ""},
      {"https://h:+80/p", false, "", 0, ""},
      {"https://:80/p", false, "", 0, ""},
      {"https://h:00000000000000000443/p", true, "h", 443, "/p"},
      {"https://h:18446744073709551659/p", false, "", 0, ""},
      {"https://[::1]:443/p", false, "", 0, ""},
  };
  for (const UrlCase& c : cases) {
    std::string host, path;
    int32_t port = 443;
    EXPECT_EQ(parseHttpsUrl(c.url, host, port, path), c.ok) << c.url;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.url;
      EXPECT_EQ(port, c.port) << c.url;
      EXPECT_EQ(path, c.path) << c.url;
    }
  }
}

TEST(Sha256FileHex, MatchesOpensslForEmptySmallAndMultiBlockFiles) {
  TempDir dir;
  EXPECT_EQ(sha256FileHex(dir / "missing"), "");
  writeTextFile(dir / "empty", "");
  EXPECT_EQ(sha256FileHex(dir / "empty"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  writeTextFile(dir / "abc", "abc");
  EXPECT_EQ(sha256FileHex(dir / "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  ASSERT_EQ(runShell("head -c 1000003 /dev/urandom > " + (dir / "big")), 0);
  ASSERT_EQ(runShell("openssl dgst -sha256 -r " + (dir / "big") + " | cut -c1-64 > " + (dir / "big.sum")), 0);
  EXPECT_EQ(sha256FileHex(dir / "big") + "\n", readWholeFile(dir / "big.sum"));
  // A folder opens but cannot be read.
  EXPECT_EQ(sha256FileHex(dir.path()), "");
}

class VerifyArtifact : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GT(server.start(), 0); }
  std::string verify(const std::string& body, int status = 200, bool* ok = nullptr) {
    server.configure([&](UpdateServerBehaviour& b) {
      b.verifyBody = body;
      b.verifyStatus = status;
    });
    std::string error = "unchanged";
    const bool result = verifyArtifactAuthenticity(server.manifestUrl(), "00ff", error);
    if (ok) *ok = result;
    return result ? "" : error;
  }
  UpdateServer server;
};

TEST_F(VerifyArtifact, ConfirmsOnlyAGenuineTrue) {
  bool ok = false;
  EXPECT_EQ(verify("{\"genuine\":true}", 200, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(server.lastVerifyBody(), "{\"sha256\":\"00ff\"}");
  EXPECT_EQ(verify("\xEF\xBB\xBF{\"genuine\":true}", 200, &ok), "");
  EXPECT_TRUE(ok);
  std::string error = "unchanged";
  EXPECT_TRUE(verifyArtifactAuthenticity(server.manifestUrl(), "00ff", error));
  EXPECT_EQ(error, "unchanged");
}

TEST_F(VerifyArtifact, ReportsEachRefusalWithItsSentence) {
  EXPECT_EQ(verify("{\"genuine\":false}"), "Artifact SHA-256 verification failed: binary is not genuine.");
  EXPECT_EQ(verify("{\"genuine\":false,\"genuine\":true}"),
            "Artifact SHA-256 verification failed: binary is not genuine.");
  EXPECT_EQ(verify("{\"genuine\":\"true\"}"), "Verification response missing genuine field.");
  EXPECT_EQ(verify("{\"ok\":true}"), "Verification response missing genuine field.");
  EXPECT_EQ(verify("[{\"genuine\":true}]"), "Invalid JSON returned by verification endpoint.");
  EXPECT_EQ(verify("{\"genuine\":true"), "Invalid JSON returned by verification endpoint.");
  EXPECT_EQ(verify("{\"genuine\":true}", 302), "Auth server returned HTTP 302 on verification.");
  EXPECT_EQ(verify("{\"genuine\":true}", 500), "Auth server returned HTTP 500 on verification.");
}

TEST(VerifyArtifactReach, UnreachableUntrustedAndInvalidAddresses) {
  std::string error;
  EXPECT_FALSE(verifyArtifactAuthenticity("http://127.0.0.1/", "00", error));
  EXPECT_EQ(error, "Invalid manifest URL.");

  UpdateServer untrusted(false);
  ASSERT_GT(untrusted.start(), 0);
  EXPECT_FALSE(verifyArtifactAuthenticity(untrusted.manifestUrl(), "00", error));
  EXPECT_EQ(error, "Could not reach auth server for SHA-256 verification.");
  EXPECT_EQ(untrusted.verifyRequests(), 0);

  const std::string url = untrusted.manifestUrl();
  untrusted.stop();
  EXPECT_FALSE(verifyArtifactAuthenticity(url, "00", error));
  EXPECT_EQ(error, "Could not reach auth server for SHA-256 verification.");
}

}  // namespace
