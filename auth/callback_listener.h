// The loopback listener that receives the browser's redirect at the end of Google's sign-in page.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

struct MHD_Connection;
struct MHD_Daemon;
class AuthSession;

// Any local process and any page the browser shows can reach the listener, so what one client
// can cost is bounded. A browser sends its redirect in one go, with every cookie it keeps for
// 127.0.0.1 (local web tools leave many): a request line and headers of up to this much are
// admitted, a longer request is answered 431 or its connection closed ...
constexpr size_t kCallbackMaxRequestHead = 32 * 1024;
// ... read into a connection's memory of this size, which also holds the headers and cookies
// parsed from them and the answer ...
constexpr size_t kCallbackConnectionMemory = 96 * 1024;
// ... a request body may announce at most this much (the redirect is a GET without one) ...
constexpr size_t kCallbackMaxBodyBytes = 4096;
// ... a connection that sends or takes nothing for this long is closed, and one that trickles
// is closed when its whole request is not in this long after it opened ...
constexpr unsigned kCallbackIdleSeconds = 5;
constexpr unsigned kCallbackRequestSeconds = 10;
// ... and at most this many connections are open at once (with the few a burst of accepts adds,
// under 64 MiB of connection memory), fewer when the descriptor limit would not leave
// kReservedDescriptors to the rest of the launcher. At the cap, the oldest connection without a
// whole request gives way to the new one: a crowd of slow clients cannot lock the browser out.
constexpr unsigned kCallbackMaxConnections = 640;
constexpr unsigned kReservedDescriptors = 256;

// One listener: the libmicrohttpd daemon, the thread that runs its event loop, and what its
// callbacks may reach. The descriptors are set before the loop starts; the fields from `cap` on
// belong to the loop thread.
struct CallbackServer {
  AuthSession& session;
  MHD_Daemon* daemon = nullptr;
  bool open = true;    // guarded by session.mutex; once false, requests hand nothing to the session
  int listening = -1;  // the daemon's listening socket
  int events = -1;     // epoll set of the daemon's own epoll descriptor and `wake`
  int wake = -1;       // eventfd; written once to end the loop
  unsigned cap = 0;
  size_t connections = 0;
  uint64_t lastConnection = 0;
  bool closedAny = false;  // a connection closed in the daemon's last turn
  // The connections whose request is not yet whole, by the order they were opened in.
  std::map<uint64_t, std::pair<MHD_Connection*, std::chrono::steady_clock::time_point>> incomplete{};
};

// Opens the listener of a browser sign-in in session.server: bound to 127.0.0.1 on a port the
// kernel chooses, GET "/" served by handleOAuthCallback, every connection served by one event
// loop on session.listenerThread. Returns the port, or -1 when nothing could be bound (then no
// server and no thread remain).
int32_t startCallbackServer(AuthSession& session);

// Closes the listener at once, whatever its clients do: from now on it accepts nothing and
// hands nothing to the session. Its loop thread then closes the connections and ends; the next
// start and the session's destructor join it.
void closeCallbackServer(AuthSession& session);

// Checks the redirect's query and hands the code, or a failure sentence, to the session; the
// page the browser gets, or null once the listener is closed.
const std::string* handleOAuthCallback(CallbackServer& server, MHD_Connection* connection);

// The browser pages: one after a code was accepted, one for every rejected redirect.
const std::string& signInCompletePage();
const std::string& signInFailedPage();
