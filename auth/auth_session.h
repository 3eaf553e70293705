// The sign-in session. (Placeholder until the sign-in lands.)
#pragma once

#include <cstdint>
#include <string>

struct LauncherSettings;

enum class AuthState : int32_t { SignedOut = 0, Restoring = 1, AwaitingBrowser = 2, SignedIn = 3 };

class AuthSession {
 public:
  AuthSession(const std::string& clientId, const std::string& clientSecret, LauncherSettings* settings);
  ~AuthSession();
  AuthState state = AuthState::SignedOut;
};

// Starts the silent restore from the stored refresh token.
void restoreSession(AuthSession& session);
