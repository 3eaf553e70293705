#include "auth/callback_listener.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "auth/auth_session.h"
#include "platform/threads.h"

namespace {

using Clock = std::chrono::steady_clock;

// The daemon accepts up to ten connections in one turn; the ones they push out close on its
// next turn, so it may hold this many beyond the cap meanwhile.
constexpr unsigned kAcceptBurst = 16;

std::string pageWith(const std::string& heading, const std::string& text) {
  return "<!DOCTYPE html><html><head><title>ORVO</title></head><body style=\"font-family:sans-serif;"
         "background:#0b1020;color:#e8ecf4;display:flex;align-items:center;justify-content:center;"
         "height:100vh;margin:0\"><div style=\"text-align:center\"><h2>" +
         heading + "</h2><p>" + text + "</p></div></body></html>";
}

// The first value given for name in the query, %-decoded; empty when absent.
std::string queryValue(MHD_Connection* connection, std::string_view name) {
  struct Search {
    std::string_view name;
    std::string value;
  } search{name, {}};
  MHD_get_connection_values_n(
      connection, MHD_GET_ARGUMENT_KIND,
      [](void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value, size_t valueSize) {
        auto* s = static_cast<Search*>(cls);
        if (std::string_view(key, keySize) != s->name) return MHD_YES;
        if (value) s->value.assign(value, valueSize);
        return MHD_NO;
      },
      &search);
  return search.value;
}

// OAuth error codes are short words of this alphabet; anything else a redirect calls an error
// is not shown to the user.
bool isPlainErrorCode(const std::string& error) {
  return error.size() <= 64 && std::all_of(error.begin(), error.end(), [](unsigned char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.';
         });
}

// A request that announces a body larger than a redirect could need, or a chunked one whose
// size is unknown up front, is refused before any of it is read.
bool announcesOversizedBody(MHD_Connection* connection) {
  if (MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding")) return true;
  const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
  if (!length) return false;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(length, &end, 10);
  return end == length || *end != '\0' || length[0] == '-' || value > kCallbackMaxBodyBytes;
}

// The connection's request is whole: it no longer counts against the request deadline.
void requestArrived(CallbackServer& server, MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info) server.incomplete.erase(reinterpret_cast<uintptr_t>(info->socket_context));
}

// A request line and headers longer than a redirect with a full cookie jar.
bool headTooLong(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
  return !info || info->header_size > kCallbackMaxRequestHead;
}

// Every request is answered as soon as its headers are in, and its connection then closes:
// a body is never read, and the unread rest of a refused request is never taken for another.
MHD_Result answerRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                         const char*, const char*, size_t*, void**) {
  static const std::string none;
  CallbackServer& server = *static_cast<CallbackServer*>(cls);
  requestArrived(server, connection);
  unsigned status = MHD_HTTP_OK;
  const std::string* page = &none;
  if (headTooLong(connection)) {
    status = MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE;
  } else if (announcesOversizedBody(connection)) {
    status = MHD_HTTP_CONTENT_TOO_LARGE;
  } else if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 || std::strcmp(url, "/") != 0) {
    status = MHD_HTTP_NOT_FOUND;
  } else {
    page = handleOAuthCallback(server, connection);
    if (!page) return MHD_NO;  // closes the connection
  }
  MHD_Response* response =
      MHD_create_response_from_buffer(page->size(), const_cast<char*>(page->data()), MHD_RESPMEM_PERSISTENT);
  if (!response) return MHD_NO;
  if (!page->empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/html");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

// Shuts a connection's socket down; the daemon sees its end and closes it on its next turn.
// Only on the loop thread, where the daemon cannot have closed the socket meanwhile.
void dropConnection(CallbackServer& server, decltype(CallbackServer::incomplete)::iterator connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection->second.first, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info) shutdown(info->connect_fd, SHUT_RDWR);
  server.incomplete.erase(connection);
}

// Keeps the order connections opened in; at the cap the oldest without a whole request makes
// room, so a new connection is never turned away for clients that never finish theirs.
void trackConnection(void* cls, MHD_Connection* connection, void** context,
                     MHD_ConnectionNotificationCode code) {
  CallbackServer& server = *static_cast<CallbackServer*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    --server.connections;
    server.closedAny = true;
    server.incomplete.erase(reinterpret_cast<uintptr_t>(*context));
    return;
  }
  const uint64_t id = ++server.lastConnection;
  *context = reinterpret_cast<void*>(uintptr_t(id));
  server.incomplete.emplace(id, std::pair(connection, Clock::now()));
  if (++server.connections > server.cap && server.incomplete.begin()->first != id)
    dropConnection(server, server.incomplete.begin());
}

Clock::time_point requestDue(const CallbackServer& server) {
  return server.incomplete.begin()->second.second + std::chrono::seconds(kCallbackRequestSeconds);
}

// How long the loop may wait for the next event: until the daemon's own next time-out or the
// next request deadline; -1 when neither is pending.
int nextTurnMs(const CallbackServer& server) {
  int64_t wait = -1;
  MHD_UNSIGNED_LONG_LONG daemonMs = 0;
  if (MHD_get_timeout(server.daemon, &daemonMs) == MHD_YES)
    wait = int64_t(std::min<MHD_UNSIGNED_LONG_LONG>(daemonMs, INT_MAX));
  if (!server.incomplete.empty()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(requestDue(server) - Clock::now()).count();
    const int64_t due = std::clamp<int64_t>(left, 0, INT_MAX);
    wait = wait < 0 ? due : std::min(wait, due);
  }
  return int(wait);
}

// The listener's thread: serves until the wake-up, then closes every connection and the
// listening socket and frees the server.
void runListener(CallbackServer* server) {
  nameThisThread("orvo-listener");
  for (;;) {
    epoll_event ready[2];
    // A daemon at its connection limit listens again only on the turn after a connection closed.
    const int wait = std::exchange(server->closedAny, false) ? 0 : nextTurnMs(*server);
    const int count = epoll_wait(server->events, ready, 2, wait);
    if (count < 0 && errno != EINTR) break;  // the loop cannot go on: it waits for the stop unserved
    if (std::any_of(ready, ready + std::max(count, 0),
                    [&](const epoll_event& e) { return e.data.fd == server->wake; }))
      break;
    MHD_run(server->daemon);
    for (const auto now = Clock::now(); !server->incomplete.empty() && requestDue(*server) <= now;)
      dropConnection(*server, server->incomplete.begin());
  }
  // Taking the stop's value also orders whatever the closing thread did before it.
  uint64_t stop = 0;
  while (read(server->wake, &stop, sizeof(stop)) < 0 && errno == EINTR) {
  }
  MHD_stop_daemon(server->daemon);
  close(server->events);
  close(server->wake);
  delete server;
}

// As many connections as the descriptor limit allows while the rest of the launcher keeps its
// reserve: idle clients must not starve settings saves or HTTPS requests.
unsigned connectionLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 16;
  std::error_code ec;
  const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd", ec), {});
  const rlim_t used = rlim_t(open) + kReservedDescriptors + kAcceptBurst;
  if (limit.rlim_cur <= used + 16) return 16;
  return unsigned(std::min<rlim_t>(limit.rlim_cur - used, kCallbackMaxConnections));
}

// Ends a server that never ran its loop.
int32_t abandon(CallbackServer* server) {
  if (server->daemon) MHD_stop_daemon(server->daemon);
  if (server->events >= 0) close(server->events);
  if (server->wake >= 0) close(server->wake);
  delete server;
  return -1;
}

}  // namespace

const std::string& signInCompletePage() {
  static const std::string page =
      pageWith("Sign-in complete", "You can close this tab and return to ORVO Launcher.");
  return page;
}

const std::string& signInFailedPage() {
  static const std::string page =
      pageWith("Sign-in not completed", "Return to ORVO Launcher to see what went wrong and try again.");
  return page;
}

const std::string* handleOAuthCallback(CallbackServer& server, MHD_Connection* connection) {
  const std::string code = queryValue(connection, "code");
  const std::string state = queryValue(connection, "state");
  const std::string error = queryValue(connection, "error");

  AuthSession& session = server.session;
  std::unique_lock<std::mutex> lock(session.mutex);
  // A closed listener's attempt is over; the next attempt's values may be changing right now.
  if (!server.open) return nullptr;
  bool accepted = false;
  // The state comes first: nothing a redirect of another origin carries may reach the window.
  if (state != session.expectedState) {
    resetSignInResult(session.result);
    session.result.finished = true;
    session.result.errorMessage = "The sign-in response did not match this launcher session.";
  } else if (!error.empty()) {
    resetSignInResult(session.result);
    session.result.finished = true;
    session.result.errorMessage = isPlainErrorCode(error)
                                      ? "Google sign-in was not completed (" + error + ")."
                                      : "Google sign-in was not completed.";
  } else if (!code.empty()) {
    session.pendingCode = code;
    accepted = true;
  } else {
    resetSignInResult(session.result);
    session.result.finished = true;
    session.result.errorMessage = "Google did not return a sign-in code.";
  }
  lock.unlock();
  wakeFrameLoop(session);
  // The browser must not claim success for a redirect the launcher turned down.
  return accepted ? &signInCompletePage() : &signInFailedPage();
}

int32_t startCallbackServer(AuthSession& session) {
  if (session.listenerThread.joinable()) session.listenerThread.join();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // One thread waits on every connection through epoll, so slow clients cost no thread and
  // take no turn from the browser; it also closes the connections whose request is overdue,
  // which the daemon's idle time-out would not, as it starts again with every byte.
  auto* server = new CallbackServer{session};
  server->cap = connectionLimit();
  server->daemon =
      MHD_start_daemon(MHD_USE_EPOLL, 0, nullptr, nullptr, &answerRequest, server, MHD_OPTION_SOCK_ADDR,
                       reinterpret_cast<const sockaddr*>(&address), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                       kCallbackConnectionMemory, MHD_OPTION_CONNECTION_LIMIT, server->cap + kAcceptBurst,
                       MHD_OPTION_CONNECTION_TIMEOUT, kCallbackIdleSeconds, MHD_OPTION_NOTIFY_CONNECTION,
                       &trackConnection, server, MHD_OPTION_END);
  if (!server->daemon) return abandon(server);
  const MHD_DaemonInfo* port = MHD_get_daemon_info(server->daemon, MHD_DAEMON_INFO_BIND_PORT);
  const MHD_DaemonInfo* listening = MHD_get_daemon_info(server->daemon, MHD_DAEMON_INFO_LISTEN_FD);
  const MHD_DaemonInfo* daemonEvents = MHD_get_daemon_info(server->daemon, MHD_DAEMON_INFO_EPOLL_FD);
  server->wake = eventfd(0, EFD_CLOEXEC);
  server->events = epoll_create1(EPOLL_CLOEXEC);
  if (!port || port->port == 0 || !listening || !daemonEvents || server->wake < 0 || server->events < 0)
    return abandon(server);
  server->listening = listening->listen_fd;
  for (const int fd : {daemonEvents->epoll_fd, server->wake}) {
    epoll_event watch{EPOLLIN, {.fd = fd}};
    if (epoll_ctl(server->events, EPOLL_CTL_ADD, fd, &watch) != 0) return abandon(server);
  }
  try {
    session.listenerThread = std::thread(runListener, server);
  } catch (const std::system_error&) {
    return abandon(server);  // no thread to serve it: the listener cannot open
  }
  session.server.reset(server);
  return port->port;
}

void closeCallbackServer(AuthSession& session) {
  if (!session.server) return;
  CallbackServer* server = session.server.release();
  {
    std::lock_guard<std::mutex> lock(session.mutex);
    server->open = false;
  }
  // The port stops listening now; the socket itself is closed with the daemon. Closing a
  // connection costs the kernel tens of microseconds, and a local program may hold hundreds:
  // that work is the listener thread's, not the UI thread's. The server is its from here on.
  shutdown(server->listening, SHUT_RDWR);
  const uint64_t stop = 1;
  while (write(server->wake, &stop, sizeof(stop)) < 0 && errno == EINTR) {
  }
}
