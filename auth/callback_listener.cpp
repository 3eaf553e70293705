#include "auth/callback_listener.h"

#include <httplib.h>

#include <chrono>
#include <cstdlib>

#include "auth/auth_session.h"

namespace {

std::string pageWith(const std::string& heading, const std::string& text) {
  return "<!DOCTYPE html><html><head><title>ORVO</title></head><body style=\"font-family:sans-serif;"
         "background:#0b1020;color:#e8ecf4;display:flex;align-items:center;justify-content:center;"
         "height:100vh;margin:0\"><div style=\"text-align:center\"><h2>" +
         heading + "</h2><p>" + text + "</p></div></body></html>";
}

// A request that announces a body larger than a redirect could need, or a chunked one whose
// size is unknown up front, is refused before the library reads any of it.
bool carriesOversizedBody(const httplib::Request& request) {
  if (request.has_header("Transfer-Encoding")) return true;
  if (!request.has_header("Content-Length")) return false;
  const std::string length = request.get_header_value("Content-Length");
  char* end = nullptr;
  const unsigned long long value = std::strtoull(length.c_str(), &end, 10);
  return end == length.c_str() || *end != '\0' || length[0] == '-' || value > kCallbackMaxBodyBytes;
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

void handleOAuthCallback(AuthSession& session, const httplib::Request& request, httplib::Response& response) {
  const std::string code = request.get_param_value("code");
  const std::string state = request.get_param_value("state");
  const std::string error = request.get_param_value("error");

  std::unique_lock<std::mutex> lock(session.mutex);
  bool accepted = false;
  if (!error.empty()) {
    resetSignInResult(session.result);
    session.result.finished = true;
    session.result.errorMessage = "Google sign-in was not completed (" + error + ").";
  } else if (state != session.expectedState) {
    resetSignInResult(session.result);
    session.result.finished = true;
    session.result.errorMessage = "The sign-in response did not match this launcher session.";
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
  response.set_content(accepted ? signInCompletePage() : signInFailedPage(), "text/html");
}

int32_t startCallbackServer(AuthSession& session) {
  auto server = std::make_unique<httplib::Server>();
  // Every local user and every page the browser shows can reach this port: nothing a request
  // sends may make the launcher hold more than a few KiB. One request per connection, so the
  // unread rest of a refused request is never parsed as another one.
  server->set_payload_max_length(kCallbackMaxBodyBytes);
  server->set_keep_alive_max_count(1);
  server->set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    if (!carriesOversizedBody(request)) return httplib::Server::HandlerResponse::Unhandled;
    response.status = 413;
    return httplib::Server::HandlerResponse::Handled;
  });
  server->Get("/", [&session](const httplib::Request& request, httplib::Response& response) {
    handleOAuthCallback(session, request, response);
  });

  const int port = server->bind_to_any_port("127.0.0.1");
  if (port <= 0) return -1;

  session.server = std::move(server);
  httplib::Server* listening = session.server.get();
  session.listenerEnded = false;
  session.listenerThread = std::thread([listening, &ended = session.listenerEnded] {
    listening->listen_after_bind();
    ended = true;
  });
  // The library's stop only reaches an accept loop that is already running; wait for it, so a
  // stop that follows at once still ends the thread.
  while (!listening->is_running() && !session.listenerEnded)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  return port;
}
