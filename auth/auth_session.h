// The sign-in session. (Placeholder until the sign-in lands.)
#pragma once

#include <cstdint>

struct LauncherConfig;
struct LauncherSettings;

enum class AuthState : int32_t { SignedOut = 0, Restoring = 1, AwaitingBrowser = 2, SignedIn = 3 };

class AuthSession {
 public:
  AuthSession(const LauncherConfig& config, LauncherSettings* settings);
  ~AuthSession();
  AuthState state = AuthState::SignedOut;
};
