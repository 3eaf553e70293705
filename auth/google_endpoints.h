// Where the sign-in talks to Google. The only place the host names are written.
#pragma once

#include <string>

struct GoogleEndpoints {
  std::string authorizationHost = "accounts.google.com";      // the browser's sign-in page
  std::string tokenHost = "oauth2.googleapis.com";            // code and refresh-token grants
  std::string userinfoHost = "openidconnect.googleapis.com";  // the user's name and e-mail
  int port = 443;                                             // token and userinfo requests
};
