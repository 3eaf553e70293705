// The loopback listener that receives the browser's redirect at the end of Google's sign-in page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct MHD_Connection;
struct MHD_Daemon;
class AuthSession;

// Any local process and any page the browser shows can reach the listener, so what one client
// can cost is bounded: a connection's request line, headers and answer share this much memory,
// so a request of up to about 8 KiB is read (a browser's redirect takes one or two) and a longer
// one is answered 431 or its connection closed ...
constexpr size_t kCallbackConnectionMemory = 16 * 1024;
// ... a request body may announce at most this much (the redirect is a GET without one) ...
constexpr size_t kCallbackMaxBodyBytes = 4096;
// ... a connection that sends nothing for this long is closed ...
constexpr unsigned kCallbackIdleSeconds = 5;
// ... and at most this many connections are open at once, fewer when the descriptor limit
// would not leave kReservedDescriptors to the rest of the launcher.
constexpr unsigned kCallbackMaxConnections = 2048;
constexpr unsigned kReservedDescriptors = 256;

// One listener: the libmicrohttpd daemon and what its request handler may reach.
struct CallbackServer {
  AuthSession& session;
  MHD_Daemon* daemon = nullptr;
  bool open = true;  // guarded by session.mutex; once false, requests hand nothing to the session
};

// Opens the listener of a browser sign-in in session.server: bound to 127.0.0.1 on a port the
// kernel chooses, GET "/" served by handleOAuthCallback, every connection served by one event
// loop on the listener's own thread. Returns the port, or -1 when nothing could be bound (then
// no server and no thread remain).
int32_t startCallbackServer(AuthSession& session);

// Closes the listener at once, whatever its clients do: from now on it accepts nothing and
// hands nothing to the session. Its connections are closed on session.listenerCloser, which
// the next close and the session's destructor join.
void closeCallbackServer(AuthSession& session);

// Checks the redirect's query and hands the code, or a failure sentence, to the session; the
// page the browser gets, or null once the listener is closed.
const std::string* handleOAuthCallback(CallbackServer& server, MHD_Connection* connection);

// The browser pages: one after a code was accepted, one for every rejected redirect.
const std::string& signInCompletePage();
const std::string& signInFailedPage();
