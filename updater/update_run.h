// The body of an update run: the manifest, the version decision, the package download, and the
// hand-over to the install.
#pragma once

#include <chrono>
#include <string>

#include "platform/https_request.h"

class EditorUpdater;

// The update manifest; each text is empty when the manifest lacks it or gives another JSON type.
struct UpdateManifest {
  std::string version;
  std::string url;              // "https://" address of the package
  std::string sha256;           // package file as downloaded, lower-case hex
  std::string plaintextSha256;  // the zip inside an encrypted package, lower-case hex
  std::string encryptionKey;    // Base64 text of the package key
};

// Runs on the worker thread; ends the run in Idle, Installed, InstalledOffline or Failed.
void runEditorUpdate(EditorUpdater& updater);

// Reads the manifest. On failure error is a sentence, or "network" when no response came (also
// when the request was cancelled or passed its deadline).
bool fetchUpdateManifest(const std::string& manifestUrl, UpdateManifest& manifest, std::string& error,
                         RequestCanceller* canceller = nullptr,
                         std::chrono::milliseconds deadline = RequestDeadlines().update);

// Every byte other than an ASCII letter, digit, '-' or '.' becomes '_'.
std::string sanitizeVersionForFileName(const std::string& version);
