// The body of an update run: the manifest, the version decision, the package download, and the
// hand-over to the install.
#pragma once

#include <string>

class EditorUpdater;

// The update manifest; each text is empty when the manifest lacks it or gives another JSON type.
struct UpdateManifest {
  std::string version;
  std::string url;              // "https://" address of the package
  std::string sha256;           // package file as downloaded, lower-case hex
  std::string plaintextSha256;  // the zip inside an encrypted package, lower-case hex
  std::string encryptionKey;    // Base64 text of the package key
};

// The manifest body is never read past this many bytes.
constexpr size_t kManifestSizeLimit = 1024 * 1024;

// Runs on the worker thread; ends the run in Idle, Installed, InstalledOffline or Failed.
void runEditorUpdate(EditorUpdater& updater);

// Reads the manifest. On failure error is a sentence, or "network" when no response came.
bool fetchUpdateManifest(const std::string& manifestUrl, UpdateManifest& manifest, std::string& error);

// Every byte other than an ASCII letter, digit, '-' or '.' becomes '_'.
std::string sanitizeVersionForFileName(const std::string& version);
