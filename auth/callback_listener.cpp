#include "auth/callback_listener.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "auth/auth_session.h"

namespace {

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

// Every request is answered as soon as its headers are in, and its connection then closes:
// a body is never read, and the unread rest of a refused request is never taken for another.
MHD_Result answerRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                         const char*, const char*, size_t*, void**) {
  static const std::string none;
  unsigned status = MHD_HTTP_OK;
  const std::string* page = &none;
  if (announcesOversizedBody(connection)) {
    status = MHD_HTTP_CONTENT_TOO_LARGE;
  } else if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 || std::strcmp(url, "/") != 0) {
    status = MHD_HTTP_NOT_FOUND;
  } else {
    page = handleOAuthCallback(*static_cast<CallbackServer*>(cls), connection);
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

// As many connections as the descriptor limit allows while the rest of the launcher keeps its
// reserve: idle clients must not starve settings saves or HTTPS requests.
unsigned connectionLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 16;
  std::error_code ec;
  const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd", ec), {});
  const rlim_t used = rlim_t(open) + kReservedDescriptors;
  if (limit.rlim_cur <= used + 16) return 16;
  return unsigned(std::min<rlim_t>(limit.rlim_cur - used, kCallbackMaxConnections));
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
  // Writes to a peer that has gone away must fail, not end the launcher.
  std::signal(SIGPIPE, SIG_IGN);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // One thread waits on every connection through epoll, so slow clients cost no thread and
  // take no turn from the browser; the wake-up channel lets a stop end that thread at once.
  auto server = std::make_unique<CallbackServer>(CallbackServer{session});
  server->daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC, 0, nullptr, nullptr, &answerRequest,
      server.get(), MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr*>(&address),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kCallbackConnectionMemory, MHD_OPTION_CONNECTION_LIMIT,
      connectionLimit(), MHD_OPTION_CONNECTION_TIMEOUT, kCallbackIdleSeconds, MHD_OPTION_END);
  if (!server->daemon) return -1;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(server->daemon, MHD_DAEMON_INFO_BIND_PORT);
  if (!info || info->port == 0) {
    MHD_stop_daemon(server->daemon);
    return -1;
  }
  const int32_t port = info->port;
  session.server = std::move(server);
  return port;
}

void closeCallbackServer(AuthSession& session) {
  if (session.listenerCloser.joinable()) session.listenerCloser.join();
  if (!session.server) return;
  CallbackServer* server = session.server.release();
  {
    std::lock_guard<std::mutex> lock(session.mutex);
    server->open = false;
  }
  // The port stops listening now; the listening socket may be closed only once the daemon is.
  const MHD_socket listening = MHD_quiesce_daemon(server->daemon);
  if (listening != MHD_INVALID_SOCKET) shutdown(listening, SHUT_RDWR);
  // Closing a connection costs the kernel tens of microseconds, and a local program may hold a
  // couple of thousand: that work is not the UI thread's.
  session.listenerCloser = std::thread([server, listening] {
    MHD_stop_daemon(server->daemon);
    if (listening != MHD_INVALID_SOCKET) close(listening);
    delete server;
  });
}
