#include <gtest/gtest.h>

#include <string>

#include "auth/auth_session.h"

namespace {

std::string encode(const std::string& bytes) {
  return base64UrlEncode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

}  // namespace

TEST(AuthText, Base64UrlUsesTheUrlAlphabetWithoutPadding) {
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("f"), "Zg");
  EXPECT_EQ(encode("fo"), "Zm8");
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(encode("foob"), "Zm9vYg");
  EXPECT_EQ(encode(std::string("\xfb\xff\xbf", 3)), "-_-_");
  EXPECT_EQ(encode(std::string("\0\0", 2)), "AAA");
}

TEST(AuthText, RandomValuesHaveTheLengthsOfTheSignInSecrets) {
  const std::string verifier = randomBase64Url(48);
  const std::string state = randomBase64Url(16);
  EXPECT_EQ(verifier.size(), 64u);
  EXPECT_EQ(state.size(), 22u);
  EXPECT_NE(verifier, randomBase64Url(48));
  EXPECT_EQ(verifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos);
}

TEST(AuthText, ChallengeIsTheS256OfTheVerifier) {
  // The worked example of the PKCE standard.
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(AuthText, UrlEncodeKeepsOnlyTheUnreservedCharacters) {
  EXPECT_EQ(urlEncode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(urlEncode("a b/c\n"), "a%20b%2Fc%0A");
  EXPECT_EQ(urlEncode("\xc3\xa9"), "%C3%A9");
  EXPECT_EQ(urlEncode(std::string("\x01+?&=", 5)), "%01%2B%3F%26%3D");
}

TEST(AuthText, AuthorizationUrlListsTheMembersInOrder) {
  AuthSession session("id with space", "secret", nullptr);
  session.expectedState = "st";
  EXPECT_EQ(buildAuthorizationUrl(session, redirectUriForPort(4711), "ch"),
            "https://accounts.google.com/o/oauth2/v2/auth?client_id=id%20with%20space"
            "&redirect_uri=http%3A%2F%2F127.0.0.1%3A4711&response_type=code&scope=openid%20email%20profile"
            "&code_challenge=ch&code_challenge_method=S256&state=st&access_type=offline");
}
