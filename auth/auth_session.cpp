#include "auth/auth_session.h"

AuthSession::AuthSession(const LauncherConfig&, LauncherSettings*) {}
AuthSession::~AuthSession() = default;
