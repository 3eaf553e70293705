// Update run throughput and memory against standard tools on the same ~300 MiB package of a few
// thousand files, served by a local HTTPS server: download vs curl, hashing vs openssl dgst,
// decryption vs Python's AESGCM, extraction vs unzip, the whole run vs the sum of those, and the
// peak RSS of a process running the install. Prints a table; not a pass/fail test.
//   bench_updater_bench [--files N] [--megabytes M]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "support/packages.h"
#include "support/update_server.h"
#include "updater/artifact_verification.h"
#include "updater/editor_updater.h"
#include "updater/package_container.h"
#include "updater/package_install.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Best of five wall-clock times of ours and of the peer, taken in turns so both meet the same
// machine load; dirty pages of the previous round are written out first, untimed.
template <typename Ours, typename Peer>
std::pair<double, double> bestOf5(Ours ours, Peer peer) {
  double bestOurs = 1e30, bestPeer = 1e30;
  for (int i = 0; i < 5; ++i) {
    ::sync();
    auto start = Clock::now();
    peer();
    bestPeer = std::min(bestPeer, secondsSince(start));
    ::sync();
    start = Clock::now();
    ours();
    bestOurs = std::min(bestOurs, secondsSince(start));
  }
  return {bestOurs, bestPeer};
}

void mustRun(const std::string& command) {
  if (runShell(command) != 0) {
    std::fprintf(stderr, "command failed: %s\n", command.c_str());
    std::exit(1);
  }
}

// A tree of `files` files of about `megabytes` MiB in all: nine in ten incompressible, the rest
// text that deflates well, spread over folders, plus an executable "editor" at the top.
void makeTree(const std::string& root, int files, int megabytes) {
  std::mt19937_64 random(42);
  const uint64_t average = static_cast<uint64_t>(megabytes) * 1024 * 1024 / static_cast<uint64_t>(files);
  std::vector<char> buffer;
  for (int i = 0; i < files; ++i) {
    const fs::path folder =
        fs::path(root) / ("module" + std::to_string(i % 60)) / ("part" + std::to_string(i % 7));
    fs::create_directories(folder);
    const size_t size = static_cast<size_t>(average / 2 + random() % average);
    buffer.resize(size);
    if (i % 10 != 9) {
      for (size_t k = 0; k + 8 <= size; k += 8) {
        const uint64_t v = random();
        std::memcpy(&buffer[k], &v, 8);
      }
    } else {
      std::string line;
      for (size_t k = 0; k < size; k += line.size()) {
        line = "resource " + std::to_string(k) + " of file " + std::to_string(i) + " = value;\n";
        std::memcpy(&buffer[k], line.data(), std::min(line.size(), size - k));
      }
    }
    std::ofstream(folder / ("file" + std::to_string(i) + ".bin"), std::ios::binary)
        .write(buffer.data(), size);
  }
  writeTextFile(root + "/editor", "#!/bin/sh\n");
  mustRun("chmod 755 " + shellQuote(root + "/editor"));
}

struct ChildResult {
  double downloadSeconds = 0;  // time spent in Downloading
  double totalSeconds = 0;     // start to the final state
  long peakKiB = 0;            // the child's peak RSS
  bool installed = false;
};

// In a fresh process (this program again): one update run, or nothing at all (idle).
int childMain(const std::string& mode, const std::string& manifestUrl, const std::string& downloads,
              const std::string& out) {
  EditorUpdater updater(manifestUrl, downloads);
  ChildResult result;
  if (mode == "--child-run") {
    const auto start = Clock::now();
    Clock::time_point downloadStart{}, downloadEnd{};
    updater.startUpdateCheck();
    for (;;) {
      const UpdateState state = updater.state();
      if (state == UpdateState::Downloading && downloadStart == Clock::time_point{})
        downloadStart = Clock::now();
      if (state != UpdateState::Downloading && downloadStart != Clock::time_point{} &&
          downloadEnd == Clock::time_point{})
        downloadEnd = Clock::now();
      if (state != UpdateState::Checking && state != UpdateState::Downloading &&
          state != UpdateState::Installing)
        break;
      usleep(500);
    }
    result.totalSeconds = secondsSince(start);
    result.downloadSeconds = std::chrono::duration<double>(downloadEnd - downloadStart).count();
    result.installed = updater.state() == UpdateState::Installed;
    if (!result.installed) std::fprintf(stderr, "update run: %s\n", updater.statusMessage().c_str());
  }
  std::ofstream(out) << result.downloadSeconds << " " << result.totalSeconds << " " << result.installed
                     << "\n";
  return 0;
}

ChildResult runChild(const std::string& mode, const std::string& manifestUrl, const std::string& downloads) {
  const std::string out = downloads + ".result";
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/proc/self/exe", "bench_updater_bench", mode.c_str(), manifestUrl.c_str(), downloads.c_str(),
          out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  ChildResult result;
  std::ifstream(out) >> result.downloadSeconds >> result.totalSeconds >> result.installed;
  result.peakKiB = usage.ru_maxrss;
  return result;
}

void row(const char* what, double ours, double peer, const char* peerName) {
  std::printf("%-34s %8.3f s   %-28s %8.3f s   ratio %5.2fx\n", what, ours, peerName, peer, peer / ours);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strncmp(argv[1], "--child-", 8) == 0)
    return childMain(argv[1], argv[2], argv[3], argv[4]);
  int files = 3000;
  int megabytes = 320;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--files") == 0) files = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--megabytes") == 0) megabytes = std::atoi(argv[i + 1]);
  }
  ::umask(022);
  const TestPki& pki = testPki();
  TempDir work;
  const std::string tree = work / "tree";
  const std::string zip = work / "package.zip";
  const std::string container = work / "package.pkg";
  const std::string key = randomKeyBase64();
  std::printf("making %d files of about %d MiB in all ...\n", files, megabytes);
  makeTree(tree, files, megabytes);
  mustRun("cd " + shellQuote(tree) + " && zip -q -r -y " + shellQuote(zip) + " .");
  if (!writeContainer(zip, container, key)) return 1;
  std::printf("package: %.1f MiB zip, %.1f MiB container\n\n", fs::file_size(zip) / 1048576.0,
              fs::file_size(container) / 1048576.0);

  UpdateServer server;
  if (server.start() <= 0) return 1;
  server.configure([&](UpdateServerBehaviour& b) { b.packageFile = container; });
  EditorFolderGuard guard;

  // Peers and our pieces on the same files; the page cache is warm for all of them. Our download
  // is timed inside whole runs below; curl here.
  double curl = 1e30;
  for (int i = 0; i < 5; ++i) {
    const auto start = Clock::now();
    mustRun("curl -s --fail --cacert " + shellQuote(pki.caFile) + " -o " + shellQuote(work / "curl.out") +
            " " + shellQuote(server.packageUrl()));
    curl = std::min(curl, secondsSince(start));
  }
  fs::remove(work / "curl.out");
  const auto [ourDigest, opensslDigest] =
      bestOf5([&] { sha256FileHex(container); },
              [&] { mustRun("openssl dgst -sha256 " + shellQuote(container) + " >/dev/null"); });
  const std::string pythonDecrypt =
      "import sys,struct;from cryptography.hazmat.primitives.ciphers.aead import AESGCM;import base64;"
      "d=open(sys.argv[1],'rb').read();n=struct.unpack('>Q',d[12:20])[0];"
      "open(sys.argv[2],'wb').write(AESGCM(base64.b64decode(sys.argv[3])).decrypt(d[20:32],d[32:],None))";
  const auto [ourDecrypt, python] = bestOf5(
      [&] {
        std::string error;
        if (!decryptPackageContainer(container, work / "ours.zip", decodeBase64Key(key), error)) std::exit(1);
      },
      [&] {
        mustRun("python3 -c " + shellQuote(pythonDecrypt) + " " + shellQuote(container) + " " +
                shellQuote(work / "python.zip") + " " + shellQuote(key));
      });
  const auto [ourExtract, unzip] = bestOf5(
      [&] {
        fs::remove_all(work / "ours.out");
        fs::create_directories(work / "ours.out");
        zip_t* archive = openPackageArchive(zip);
        std::atomic<bool> cancel{false};
        if (!archive || !extractPackageArchive(archive, work / "ours.out", cancel)) std::exit(1);
        zip_discard(archive);
      },
      [&] {
        fs::remove_all(work / "unzip.out");
        mustRun("unzip -q -o " + shellQuote(zip) + " -d " + shellQuote(work / "unzip.out"));
      });
  fs::remove_all(work / "unzip.out");
  fs::remove_all(work / "ours.out");

  // Whole runs in fresh processes: the download alone (no digest to check), then the full run
  // with both digests, the key and the authenticity request.
  const std::string downloads = work / "downloads";
  double ourDownload = 1e30, ourRun = 1e30;
  long peakKiB = 0;
  for (int i = 0; i < 3; ++i) {
    ::sync();
    fs::remove_all(downloads);
    guard.clear();
    server.configure([&](UpdateServerBehaviour& b) {
      b.manifestBody = server.manifest("d" + std::to_string(i), server.packageUrl(), "", "", key);
    });
    const ChildResult download = runChild("--child-run", server.manifestUrl(), downloads);
    ourDownload = std::min(ourDownload, download.downloadSeconds);

    fs::remove_all(downloads);
    guard.clear();
    ::sync();
    server.configure([&](UpdateServerBehaviour& b) {
      b.manifestBody = server.manifest("r" + std::to_string(i), server.packageUrl(), sha256FileHex(container),
                                       sha256FileHex(zip), key);
    });
    const ChildResult run = runChild("--child-run", server.manifestUrl(), downloads);
    if (!run.installed) return 1;
    ourRun = std::min(ourRun, run.totalSeconds);
    peakKiB = std::max(peakKiB, run.peakKiB);
  }
  const ChildResult idle = runChild("--child-idle", server.manifestUrl(), downloads);
  // The run hashes the download and the plaintext, as a script of the peers would.
  const double peers =
      curl + opensslDigest + python + opensslDigest * fs::file_size(zip) / fs::file_size(container) + unzip;

  std::printf("%-34s %10s   %-28s %10s\n", "ours", "", "peer", "");
  row("download (HTTPS, to .part)", ourDownload, curl, "curl");
  row("sha256FileHex", ourDigest, opensslDigest, "openssl dgst -sha256");
  row("decryptPackageContainer", ourDecrypt, python, "Python AESGCM");
  row("extractPackageArchive", ourExtract, unzip, "unzip");
  row("whole run (start to Installed)", ourRun, peers, "sum of peers (+plain hash)");
  std::printf("\npeak RSS: idle %.1f MiB, during an install %.1f MiB, difference %.1f MiB (limit 64 MiB)\n",
              idle.peakKiB / 1024.0, peakKiB / 1024.0, (peakKiB - idle.peakKiB) / 1024.0);
  return 0;
}
