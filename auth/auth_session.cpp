#include "auth/auth_session.h"

AuthSession::AuthSession(const std::string&, const std::string&, LauncherSettings*) {}
AuthSession::~AuthSession() = default;
void restoreSession(AuthSession&) {}
