#include "updater/editor_updater.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/desktop.h"
#include "projects/editor_launch.h"
#include "updater/file_io.h"
#include "updater/update_run.h"

namespace fs = std::filesystem;

EditorUpdater::EditorUpdater(const std::string& manifestUrl, const std::string& downloadsDirectory,
                             const RequestDeadlines& deadlines)
    : manifestUrl_(manifestUrl), downloadsDirectory_(downloadsDirectory), deadlines_(deadlines) {}

EditorUpdater::~EditorUpdater() {
  requestCancel();
  if (workerThread_.joinable()) workerThread_.join();
}

void EditorUpdater::startUpdateCheck() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (currentState_ == UpdateState::Checking || currentState_ == UpdateState::Downloading ||
        currentState_ == UpdateState::Installing)
      return;
  }
  // A previous worker has published its final state but may still be deleting the editor it
  // replaced (seconds on a slow disk): the new worker waits for it, not the UI thread.
  auto previous = std::make_shared<std::thread>(std::move(workerThread_));
  auto previousFinished = workerFinished_;
  cancelRequested_.store(false);
  requests_.reset();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  workerFinished_ = finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    currentState_ = UpdateState::Checking;
    statusText_ = "Checking for updates\u2026";
    receivedBytes_ = 0;
    totalBytes_ = 0;
  }
  try {
    workerThread_ = std::thread([this, previous, finished] {
      if (previous->joinable()) previous->join();
      runEditorUpdate(*this);
      finished->store(true);  // its own flag: a newer worker has another
      wakeFrameLoop();
    });
  } catch (const std::system_error&) {
    // At a thread limit: the previous worker stays to be joined as before.
    workerThread_ = std::move(*previous);
    workerFinished_ = previousFinished;
    failUpdate("The update could not start: no new thread could be created.");
  }
}

void EditorUpdater::requestCancel() {
  cancelRequested_.store(true);
  requests_.cancel();
}

UpdateState EditorUpdater::state() {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentState_;
}

std::string EditorUpdater::statusMessage() {
  std::lock_guard<std::mutex> lock(mutex_);
  return statusText_;
}

uint64_t EditorUpdater::bytesReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  return receivedBytes_;
}

uint64_t EditorUpdater::bytesTotal() {
  std::lock_guard<std::mutex> lock(mutex_);
  return totalBytes_;
}

bool EditorUpdater::joinFinishedWorker() {
  if (workerFinished_ && workerFinished_->exchange(false) && workerThread_.joinable()) workerThread_.join();
  return !workerThread_.joinable();
}

void EditorUpdater::publish(UpdateState state, const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    currentState_ = state;
    statusText_ = message;
    if (state == UpdateState::Downloading) {
      receivedBytes_ = 0;
      totalBytes_ = 0;
    }
  }
  wakeFrameLoop();
}

void EditorUpdater::wakeFrameLoop() {
  if (void (*hook)() = wake.load()) hook();
}

void EditorUpdater::failUpdate(const std::string& message) {
  publish(UpdateState::Failed, message);
}

bool EditorUpdater::downloadProgressCallback(uint64_t received, uint64_t total) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    receivedBytes_ = received;
    totalBytes_ = total;
  }
  wakeForProgress();
  return !cancelRequested_.load();
}

void EditorUpdater::wakeForProgress() {
  // A progress bar redrawn more often than the frame loop's 30 frames a second shows nothing more.
  const auto now = std::chrono::steady_clock::now();
  if (now - progressWoken_ < std::chrono::milliseconds(33)) return;
  progressWoken_ = now;
  wakeFrameLoop();
}

bool EditorUpdater::downloadContentReceiver(BlockPipeline& file, const char* data, size_t length) {
  if (cancelRequested_.load()) return false;
  file.push(data, length);
  // This HTTP library reports progress only for bodies of declared length; counting here too keeps
  // the received bytes moving for a body of unknown length (the progress callback then sets the
  // same running total).
  {
    std::lock_guard<std::mutex> lock(mutex_);
    receivedBytes_ += length;
  }
  wakeForProgress();
  return true;
}

std::string editorInstallDir() {
  const std::string directory = executableDirectory();
  if (directory.empty()) return "editor";
  return (fs::path(directory) / "editor").string();
}

std::string editorVersionFilePath() {
  return (fs::path(editorInstallDir()) / ".zelvan_editor_version").string();
}

std::string findLocalEditor() {
  // The install folder first: a package may put its executable at bin/editor, which only a
  // probe of the install folder itself finds.
  const std::string installed = findEditorInDirectory(editorInstallDir());
  if (!installed.empty()) return installed;
  return findEditorNearLauncher();
}

std::string installedEditorVersion() {
  return readFirstLine(editorVersionFilePath());
}

std::string readFirstLine(const std::string& path) {
  InputFile file(path);
  if (!file.isOpen()) return std::string();
  std::string line;
  char buffer[4096];
  for (;;) {
    const int64_t count = file.read(buffer, sizeof(buffer));
    if (count <= 0) break;
    const char* end = static_cast<const char*>(memchr(buffer, '\n', static_cast<size_t>(count)));
    if (end) {
      line.append(buffer, static_cast<size_t>(end - buffer));
      break;
    }
    line.append(buffer, static_cast<size_t>(count));
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}
