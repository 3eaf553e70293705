// The loopback listener that receives the browser's redirect at the end of Google's sign-in page.
#pragma once

#include <cstdint>
#include <string>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib
class AuthSession;

// The most one request may carry in its request body; the redirect is a GET without one.
constexpr size_t kCallbackMaxBodyBytes = 4096;

// Opens the listener of a browser sign-in in session.server: bound to 127.0.0.1 on a port the
// kernel chooses, GET "/" served by handleOAuthCallback, accept loop running on
// session.listenerThread. Returns the port, or -1 when nothing could be bound (then no server
// and no thread remain).
int32_t startCallbackServer(AuthSession& session);

// Checks the redirect's query and hands the code, or a failure sentence, to the session.
void handleOAuthCallback(AuthSession& session, const httplib::Request& request, httplib::Response& response);

// The browser pages: one after a code was accepted, one for every rejected redirect.
const std::string& signInCompletePage();
const std::string& signInFailedPage();
