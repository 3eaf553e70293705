#include "updater/update_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

#include "config/json_util.h"
#include "platform/json_request.h"
#include "updater/artifact_verification.h"
#include "updater/block_pipeline.h"
#include "updater/editor_updater.h"
#include "updater/file_io.h"
#include "updater/package_install.h"

namespace fs = std::filesystem;

namespace {

bool serverNotConfigured(const std::string& manifestUrl) {
  return manifestUrl.empty() || manifestUrl.find("YOUR_") != std::string::npos;
}

void endOffline(EditorUpdater& updater, const std::string& noEditorState) {
  if (!findLocalEditor().empty())
    updater.publish(UpdateState::InstalledOffline, "Installed (offline mode)");
  else if (noEditorState.empty())
    updater.publish(UpdateState::Idle, "Update server not configured. Please locate or install ORVO Editor.");
  else
    updater.failUpdate(noEditorState);
}

// Downloads the package to the part path and renames it into place. False when the run ended.
// packageSha256 receives the digest of the bytes written, taken as they arrive, when the manifest
// gives a digest to check them against.
bool downloadPackage(EditorUpdater& updater, const UpdateManifest& manifest, const std::string& host,
                     int32_t port, const std::string& path, const std::string& packagePath,
                     std::string& packageSha256) {
  const std::string partPath = packagePath + ".part";
  updater.publish(UpdateState::Downloading, "Downloading editor " + manifest.version + "\u2026");

  OutputFile part(partPath);
  if (!part.isOpen()) {
    updater.failUpdate("Could not write to the downloads directory.");
    return false;
  }
  const bool digestWanted = !manifest.sha256.empty() || !manifest.plaintextSha256.empty();
  Sha256Stream digest(/*onOwnThread=*/digestWanted);
  // Written on a thread of its own, beside the receiving; a failed write ends the request.
  BlockPipeline writer(
      [&part](const unsigned char* data, size_t length) { return part.write(data, length); });
  HttpsRequest request{.host = host,
                       .port = port,
                       .path = path,
                       .connectSeconds = 15,
                       .readSeconds = 120,
                       .stall = updater.deadlines().packageStall};
  request.receiver = [&](const char* data, size_t length) {
    if (!updater.downloadContentReceiver(writer, data, length)) return false;
    if (digestWanted) digest.update(data, length);
    return true;
  };
  request.progress = [&updater](uint64_t received, uint64_t total) {
    return updater.downloadProgressCallback(received, total);
  };
  const HttpsReply reply = sendHttpsRequest(request, &updater.requests());
  const bool failedWrite = !writer.finish() || !part.flush();
  part.close();

  std::error_code ec;
  if (updater.cancelRequested()) {
    fs::remove(partPath, ec);
    updater.failUpdate("Download cancelled.");
    return false;
  }
  if (!reply.responded || reply.status != 200 || failedWrite) {
    fs::remove(partPath, ec);
    updater.failUpdate("The editor package download failed.");
    return false;
  }
  if (digestWanted) packageSha256 = digest.finishHex();
  if (!manifest.sha256.empty() && packageSha256 != manifest.sha256) {
    fs::remove(partPath, ec);
    updater.failUpdate("The downloaded package failed its checksum verification.");
    return false;
  }
  fs::rename(partPath, packagePath, ec);
  if (ec) {
    updater.failUpdate("Could not finalize the downloaded package.");  // the complete part file stays
    return false;
  }
  return true;
}

}  // namespace

std::string sanitizeVersionForFileName(const std::string& version) {
  std::string text = version;
  for (char& c : text) {
    const bool allowed =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!allowed) c = '_';
  }
  return text;
}

namespace {

// The version is written as the version file's first line and read back from it: a line break
// or a NUL would never read back as written. The file name is made safe on its own.
bool isUsableVersion(const std::string& version) {
  return version.find_first_of(std::string("\n\0", 2)) == std::string::npos;
}

}  // namespace

bool fetchUpdateManifest(const std::string& manifestUrl, UpdateManifest& manifest, std::string& error,
                         RequestCanceller* canceller, std::chrono::milliseconds deadline) {
  std::string host;
  std::string path;
  int32_t port = 443;
  if (!parseHttpsUrl(manifestUrl, host, port, path)) {
    error = "The update manifest URL must be a valid https:// URL.";
    return false;
  }
  const JsonReply reply = sendJsonRequest({.host = host,
                                           .port = port,
                                           .path = path,
                                           .connectSeconds = 15,
                                           .readSeconds = 30,
                                           .deadline = deadline},
                                          canceller);
  if (reply.outcome != JsonReplyOutcome::Ok) {
    error = reply.failure(
        "network", "The update server returned HTTP " + std::to_string(reply.status) + " for the manifest.",
        "The update manifest is not valid JSON.");
    return false;
  }
  const rapidjson::Value& root = reply.document;
  manifest.version = getJsonStringMember(root, "version");
  manifest.url = getJsonStringMember(root, "url");
  manifest.sha256 = getJsonStringMember(root, "sha256");
  manifest.plaintextSha256 = getJsonStringMember(root, "plaintext_sha256");
  manifest.encryptionKey.clear();
  const auto encryption = root.FindMember("encryption");
  if (encryption != root.MemberEnd() && encryption->value.IsObject())
    manifest.encryptionKey = getJsonStringMember(encryption->value, "key");
  if (manifest.version.empty() || manifest.url.empty()) {
    error = "The update manifest is missing its version or url field.";
    return false;
  }
  if (!isUsableVersion(manifest.version)) {
    error = "The update manifest's version is not usable: it holds a line feed or NUL byte.";
    return false;
  }
  return true;
}

void runEditorUpdate(EditorUpdater& updater) {
  removeRunLeftovers(updater.downloadsDirectory());
  if (serverNotConfigured(updater.manifestUrl())) {
    endOffline(updater, std::string());
    return;
  }
  UpdateManifest manifest;
  std::string error;
  if (!fetchUpdateManifest(updater.manifestUrl(), manifest, error, &updater.requests(),
                           updater.deadlines().update)) {
    if (updater.cancelRequested())
      updater.failUpdate("Download cancelled.");
    else if (error == "network")
      endOffline(updater, "Could not reach the update server, and no local editor was found.");
    else
      updater.failUpdate(error);
    return;
  }
  std::string host;
  std::string path;
  int32_t port = 443;
  if (!parseHttpsUrl(manifest.url, host, port, path)) {
    updater.failUpdate("The package URL in the update manifest must be a valid https:// URL.");
    return;
  }
  if (!findLocalEditor().empty() && installedEditorVersion() == manifest.version) {
    updater.publish(UpdateState::Installed, "Installed \u2014 version " + manifest.version);
    return;
  }

  std::error_code ec;
  fs::create_directories(updater.downloadsDirectory(), ec);
  const std::string packagePath = (fs::path(updater.downloadsDirectory()) /
                                   ("zelvan_editor_" + sanitizeVersionForFileName(manifest.version) + ".zip"))
                                      .string();

  bool reuse = false;
  std::string packageSha256;
  struct stat present;
  if (::lstat(packagePath.c_str(), &present) == 0) {
    // Without a manifest digest the package is reused unchecked; the install's checks still apply.
    // Only a regular file of this user is a package: a link, a FIFO or another user's file at its
    // name (which could change under the install) is removed and made anew.
    const bool regular = S_ISREG(present.st_mode) && present.st_uid == ::geteuid();
    if (regular && !manifest.sha256.empty()) packageSha256 = sha256FileHex(packagePath);
    if (regular && (manifest.sha256.empty() || packageSha256 == manifest.sha256))
      reuse = true;
    else
      fs::remove(packagePath, ec);
  }
  if (!reuse && !downloadPackage(updater, manifest, host, port, path, packagePath, packageSha256)) return;
  installEditorPackage(updater, manifest, packagePath, packageSha256);
}
