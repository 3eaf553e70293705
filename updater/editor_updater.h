// The editor updater: one object that keeps the editor next to the launcher installed. The UI
// thread starts runs, reads progress and cancels; each run is a worker thread that publishes its
// state, message and byte counts here under the mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/https_request.h"

class BlockPipeline;

enum class UpdateState : int32_t {
  Idle = 0,
  Checking = 1,
  Downloading = 2,
  Installing = 3,
  Installed = 4,
  InstalledOffline = 5,
  Failed = 6,
};

class EditorUpdater {
 public:
  // Tests shorten the deadlines; the launcher uses the defaults.
  EditorUpdater(const std::string& manifestUrl, const std::string& downloadsDirectory,
                const RequestDeadlines& deadlines = RequestDeadlines());
  // Cancels a running worker and waits for it: a request in flight is aborted at once, other work
  // stops at its next cancellation point.
  ~EditorUpdater();
  EditorUpdater(const EditorUpdater&) = delete;
  EditorUpdater& operator=(const EditorUpdater&) = delete;
  EditorUpdater(EditorUpdater&&) = delete;
  EditorUpdater& operator=(EditorUpdater&&) = delete;

  // UI thread.
  void startUpdateCheck();  // silently refused while a run is in progress
  void requestCancel();     // also aborts the request in flight
  UpdateState state();
  std::string statusMessage();
  uint64_t bytesReceived();
  uint64_t bytesTotal();
  // Joins the worker only once it has finished, so the frame never waits; true when none is left.
  bool joinFinishedWorker();
  // Called by the worker after it publishes (download progress at most 30 times a second), so a
  // frame loop asleep until input draws it at once; null (the default) when nothing waits.
  std::atomic<void (*)()> wake{nullptr};

  // Worker side (the update run).
  const std::string& manifestUrl() const { return manifestUrl_; }
  const std::string& downloadsDirectory() const { return downloadsDirectory_; }
  bool cancelRequested() const { return cancelRequested_.load(); }
  const std::atomic<bool>& cancelFlag() const { return cancelRequested_; }
  RequestCanceller& requests() { return requests_; }
  const RequestDeadlines& deadlines() const { return deadlines_; }
  // Sets a state and its message in one critical section; Downloading also zeroes both counts.
  void publish(UpdateState state, const std::string& message);
  void failUpdate(const std::string& message);
  // The download's progress report: stores the counts; false once a cancel was requested.
  bool downloadProgressCallback(uint64_t received, uint64_t total);
  // Hands a received block to the part file's writer; false when cancelled or a write failed.
  bool downloadContentReceiver(BlockPipeline& file, const char* data, size_t length);

 private:
  void wakeFrameLoop();
  void wakeForProgress();  // wakeFrameLoop at most 30 times a second
  // Worker thread only: the download's last wake, to space progress wakes.
  std::chrono::steady_clock::time_point progressWoken_;

  const std::string manifestUrl_;
  const std::string downloadsDirectory_;
  const RequestDeadlines deadlines_;
  std::mutex mutex_;  // guards the next four fields
  UpdateState currentState_ = UpdateState::Idle;
  std::string statusText_;
  uint64_t receivedBytes_ = 0;
  uint64_t totalBytes_ = 0;  // 0 when the server declared no length
  std::atomic<bool> cancelRequested_{false};
  // The current worker's flag, set as its very last act; UI thread only.
  std::shared_ptr<std::atomic<bool>> workerFinished_;
  RequestCanceller requests_;  // cancelled together with cancelRequested_
  std::thread workerThread_;   // UI thread only
};

// The folder "editor" next to the launcher executable ("editor" relative when that is unknown).
std::string editorInstallDir();
// ".zelvan_editor_version" inside the editor folder; its first line is the installed version.
std::string editorVersionFilePath();
// An editor executable in the editor folder, else findEditorNearLauncher; empty when none.
std::string findLocalEditor();
// The installed editor's version; empty without a version file.
std::string installedEditorVersion();
// The first line of a text file without trailing line-break and space bytes; empty when unreadable.
std::string readFirstLine(const std::string& path);
