#include "sign_in_env.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

FakeGoogle::FakeGoogle() {
  httplib::SSLServer& http = server_.http();
  http.Post("/token", [this](const httplib::Request& request, httplib::Response& response) {
    std::unique_lock<std::mutex> guard(mutex_);
    tokenSeen.push_back({request.body, request.get_header_value("Content-Type"), ""});
    if (replies.holdToken) {
      ++held_;
      changed_.notify_all();
      changed_.wait_for(guard, std::chrono::seconds(60), [this] { return released_; });
    }
    if (replies.tokenDrop) {
      response.set_content_provider(64, "application/json",
                                    [](size_t, size_t, httplib::DataSink&) { return false; });
      return;
    }
    response.status = replies.tokenStatus;
    response.set_content(replies.tokenBody, "application/json");
  });
  http.Get("/v1/userinfo", [this](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> guard(mutex_);
    userinfoSeen.push_back({request.body, "", request.get_header_value("Authorization")});
    if (replies.userinfoDrop) {
      response.set_content_provider(64, "application/json",
                                    [](size_t, size_t, httplib::DataSink&) { return false; });
      return;
    }
    response.status = replies.userinfoStatus;
    response.set_content(replies.userinfoBody, "application/json");
  });
  server_.start();
}

FakeGoogle::~FakeGoogle() {
  release();
  server_.stop();
}

GoogleEndpoints FakeGoogle::endpoints() const {
  GoogleEndpoints endpoints;
  endpoints.tokenHost = "localhost";
  endpoints.userinfoHost = "127.0.0.1";
  endpoints.port = server_.port();
  return endpoints;
}

size_t FakeGoogle::tokenRequests() {
  std::lock_guard<std::mutex> guard(mutex_);
  return tokenSeen.size();
}

bool FakeGoogle::waitForHeldToken() {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, std::chrono::seconds(20), [this] { return held_ > 0; });
}

void FakeGoogle::release() {
  std::lock_guard<std::mutex> guard(mutex_);
  released_ = true;
  changed_.notify_all();
}

SignInEnv::SignInEnv() {
  char pattern[] = "/tmp/orvo_auth_test_XXXXXX";
  dir = mkdtemp(pattern);
  const char* home = getenv("HOME");
  hadHome_ = home != nullptr;
  if (home) oldHome_ = home;
  setenv("HOME", dir.c_str(), 1);
  const char* path = getenv("PATH");
  oldPath_ = path ? path : "/usr/bin:/bin";
  fs::create_directories(dir + "/bin");
  const std::string script = dir + "/bin/xdg-open";
  // Writes the address under a name of its own first, so a reader never sees half of it.
  std::ofstream(script) << "#!/bin/sh\n{ printf '%s' \"$1\" > '" << dir << "/url.$$' && mv '" << dir
                        << "/url.$$' '" << dir << "/url.txt'; } 2>/dev/null\n";
  fs::permissions(script, fs::perms::owner_all);
  setenv("PATH", (dir + "/bin:" + oldPath_).c_str(), 1);
  settings.filePath = dir + "/.config/ZELVAN/Launcher.conf";
  testPki();
}

SignInEnv::~SignInEnv() {
  setenv("PATH", oldPath_.c_str(), 1);
  if (hadHome_)
    setenv("HOME", oldHome_.c_str(), 1);
  else
    unsetenv("HOME");
  std::error_code ec;
  fs::remove_all(dir, ec);
}

std::string SignInEnv::waitForBrowserUrl() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(dir + "/url.txt");
    if (in) {
      std::stringstream text;
      text << in.rdbuf();
      return text.str();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::string();
}

void SignInEnv::forgetBrowserUrl() {
  std::error_code ec;
  fs::remove(dir + "/url.txt", ec);
}

std::string SignInEnv::settingsFileText() const {
  std::ifstream in(settings.filePath);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool pollUntil(AuthSession& session, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollAuthSession(session);
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string percentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit(text[i + 1]) && isxdigit(text[i + 2])) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> queryOf(const std::string& url) {
  std::map<std::string, std::string> members;
  const size_t question = url.find('?');
  if (question == std::string::npos) return members;
  std::stringstream query(url.substr(question + 1));
  std::string pair;
  while (std::getline(query, pair, '&')) {
    const size_t equals = pair.find('=');
    if (equals == std::string::npos) continue;
    members.emplace(pair.substr(0, equals), percentDecoded(pair.substr(equals + 1)));
  }
  return members;
}

int sendRedirect(int port, const std::string& target, std::string* body) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(20, 0);
  const httplib::Result response = client.Get(target.c_str());
  if (!response) return 0;
  if (body) *body = response->body;
  return response->status;
}

std::string sha256Base64Url(const std::string& text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  unsigned char encoded[64] = {};
  EVP_EncodeBlock(encoded, digest, sizeof(digest));
  std::string out(reinterpret_cast<char*>(encoded));
  for (char& c : out) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  while (!out.empty() && out.back() == '=') out.pop_back();
  return out;
}

int threadCount() {
  int count = 0;
  std::error_code ec;
  for (fs::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) ++count;
  return count;
}

std::string threadNames() {
  std::string names;
  std::error_code ec;
  for (fs::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) {
    std::ifstream comm(it->path() / "comm");
    std::string name;
    std::getline(comm, name);
    names += name + " ";
  }
  return names;
}
