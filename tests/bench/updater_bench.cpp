// Update run speed against the strongest peers at hand and against a lower bound of this design,
// on one package of a few thousand files (~300 MiB) served by a local HTTPS server.
//
// The whole run has two peers: the chain of standard tools (curl, openssl, a Python decryptor and
// the fastest extractor installed: bsdtar, else unzip), and a one-pass script (one_pass_update.py:
// download, both digests and decryption in one streaming pass on threads of their own, then four
// zipfile processes). The lower bound adds what this design cannot go below: the download to
// /dev/null, the slower of AES and SHA-256 each on its own core (the decryption and its digest
// run side by side), and the tree written by four writers without any inflating.
//
// Every program, ours included, runs as its own process and is timed the same way: from starting
// it through the shell to its end (for our whole run: to the moment it shows "Installed", which is
// also where the peers end, all leaving the old editor's deletion to afterwards). Before each
// timed command what it will write and whatever an earlier run left behind are removed and the
// dirty pages are written out (sync), untimed, so every writer starts on an equal footing; every
// round starts without an editor. The contenders take turns, each round starting with the next
// one; each figure is the median of the rounds with its range.
// Everything happens in one folder made under --dir (default /tmp), into which this program copies
// itself so that our runs install their editor there too: the peers' trees, the limits' and ours
// land on the same file system. Creating thousands of files right after deleting thousands costs
// far more on some (ext4 without a journal steps over recently deleted inodes one by one); a
// tmpfs (--dir /dev/shm) shows the pipeline without that.
//   bench_updater_bench [--files N] [--megabytes M] [--rounds R] [--dir D]
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
#include <functional>
#include <random>
#include <string>
#include <tuple>
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

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC: one clock for this process and its children

double now() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

void mustRun(const std::string& command) {
  if (runShell(command) != 0) {
    std::fprintf(stderr, "command failed: %s\n", command.c_str());
    std::exit(1);
  }
}

// Removes what the command will write, writes out dirty pages, then times the command.
double timed(const std::string& command, const std::vector<std::string>& outputs = {}) {
  std::error_code ec;
  for (const std::string& output : outputs) fs::remove_all(output, ec);
  ::sync();
  const double start = now();
  mustRun(command);
  return now() - start;
}

struct Series {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  double median() const {
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }
  std::string text() const {
    char line[64];
    std::snprintf(line, sizeof(line), "%6.3f s [%.3f-%.3f]", median(),
                  *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end()));
    return line;
  }
};

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

// The streaming decryptor a script would write: the same 64 KiB blocks on the same OpenSSL. With a
// fourth argument it also hashes the plaintext as it goes, as our decryption does in the run.
const char* const kPythonDecrypt = R"py(import base64, hashlib, struct, sys
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
digest = hashlib.sha256() if len(sys.argv) > 4 else None
with open(sys.argv[1], 'rb') as f, open(sys.argv[2], 'wb') as out:
    header = f.read(32)
    n = struct.unpack('>Q', header[12:20])[0]
    f.seek(32 + n)
    tag = f.read(16)
    f.seek(32)
    d = Cipher(algorithms.AES(base64.b64decode(sys.argv[3])), modes.GCM(header[20:32])).decryptor()
    while n:
        block = f.read(min(65536, n))
        clear = d.update(block)
        if digest:
            digest.update(clear)
        out.write(clear)
        n -= len(block)
    out.write(d.finalize_with_tag(tag))
if digest:
    print(digest.hexdigest())
)py";

// The whole update done by standard tools one after the other, with the same checks and the same
// swap of the editor folder (the old one is deleted afterwards, untimed, as ours is after "Installed").
const char* const kChainedPeer = R"sh(set -e
ca=$1 manifest=$2 package=$3 verify=$4 sha=$5 plainsha=$6 key=$7 downloads=$8 editor=$9 version=${10} decrypt=${11}
extract=${12}
mkdir -p "$downloads"
curl -s --fail --cacert "$ca" -o "$downloads/manifest.json" "$manifest"
curl -s --fail --cacert "$ca" -o "$downloads/package.part" "$package"
[ "$(openssl dgst -sha256 -r "$downloads/package.part" | cut -c1-64)" = "$sha" ]
mv "$downloads/package.part" "$downloads/package"
python3 "$decrypt" "$downloads/package" "$downloads/package.decrypted.zip" "$key"
[ "$(openssl dgst -sha256 -r "$downloads/package.decrypted.zip" | cut -c1-64)" = "$plainsha" ]
curl -s --fail --cacert "$ca" -H 'Content-Type: application/json' -d "{\"sha256\":\"$plainsha\"}" "$verify" |
  grep -q '"genuine":true'
rm -rf "$editor-staging"
bash "$extract" "$downloads/package.decrypted.zip" "$editor-staging"
rm -f "$downloads/package.decrypted.zip"
[ ! -e "$editor" ] || mv "$editor" "$editor-previous"
mv "$editor-staging" "$editor"
echo "$version" > "$editor/.zelvan_editor_version"
)sh";

// In a child process: one update run. Writes when Downloading ended, when the run reached its
// final state, and whether that was Installed.
int childRun(const std::string& manifestUrl, const std::string& downloads, const std::string& out) {
  EditorUpdater updater(manifestUrl, downloads);
  double downloadEnd = 0;
  bool downloading = false;
  updater.startUpdateCheck();
  UpdateState state;
  for (;;) {
    state = updater.state();
    if (state == UpdateState::Downloading) downloading = true;
    if (downloading && state != UpdateState::Downloading && downloadEnd == 0) downloadEnd = now();
    if (state != UpdateState::Checking && state != UpdateState::Downloading &&
        state != UpdateState::Installing)
      break;
    usleep(200);
  }
  const double end = now();
  std::ofstream(out) << std::fixed << downloadEnd << " " << end << " " << (state == UpdateState::Installed)
                     << " " << updater.statusMessage() << "\n";
  return 0;  // the updater's destructor still deletes a previous editor, after the times were taken
}

// In a child process: one stage of ours, alone.
int childStage(char** argv) {
  const std::string stage = argv[2];
  if (stage == "hash") return sha256FileHex(argv[3]).empty();
  if (stage == "decrypt") {
    std::string error;
    std::string digest;  // taken as the run takes it when a sixth argument asks for it
    return !decryptPackageContainer(argv[3], argv[4], decodeBase64Key(argv[5]), error,
                                    argv[6] ? &digest : nullptr);
  }
  if (stage == "extract") {
    fs::create_directories(argv[4]);
    zip_t* archive = openPackageArchive(argv[3]);
    std::atomic<bool> cancel{false};
    const bool ok = archive && extractPackageArchive(archive, argv[3], argv[4], cancel);
    if (archive) zip_discard(archive);
    return !ok;
  }
  return 2;
}

// Bytes per second of `openssl speed -evp <cipher>` on 16 KiB blocks for one second.
double opensslSpeed(const std::string& algorithm) {
  const std::string line = runChooserCommand("openssl speed -evp " + algorithm +
                                             " -bytes 16384 -seconds 1 2>/dev/null | tail -n 1");
  const size_t k = line.rfind('k');
  const size_t start = line.find_last_of(' ', k);
  if (k == std::string::npos || start == std::string::npos) return 0;
  return std::atof(line.substr(start + 1, k - start - 1).c_str()) * 1000;
}

// The bench's folder, removed with everything in it.
struct BenchFolder {
  std::string path;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  void remove() const {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

struct Peer {
  std::string name;
  Series times;
};

struct Row {
  std::string stage, limitName;
  std::vector<Peer> peers;
  Series ours, limit;
  const Peer& strongest() const {
    return *std::min_element(peers.begin(), peers.end(), [](const Peer& a, const Peer& b) {
      return a.times.median() < b.times.median();
    });
  }
};

// One line per peer; the stage, ours and the limit on the first.
void printRow(const Row& r) {
  for (size_t i = 0; i < r.peers.size(); ++i) {
    const Peer& peer = r.peers[i];
    char peerText[96];
    std::snprintf(peerText, sizeof(peerText), "%-24s%s", peer.name.c_str(), peer.times.text().c_str());
    if (i == 0)
      std::printf("%-24s %-26s %-50s %-26s %11.2f %12.2f\n", r.stage.c_str(), r.ours.text().c_str(), peerText,
                  r.limit.text().c_str(), peer.times.median() / r.ours.median(),
                  r.ours.median() / r.limit.median());
    else
      std::printf("%-24s %-26s %-50s %-26s %11.2f\n", "", "", peerText, "",
                  peer.times.median() / r.ours.median());
  }
}

void printRatios(const Row& r) {
  const Peer& strongest = r.strongest();
  std::printf("%s: strongest peer (%s) \u00f7 ours %.2f, ours \u00f7 lower bound %.2f\n", r.stage.c_str(),
              strongest.name.c_str(), strongest.times.median() / r.ours.median(),
              r.ours.median() / r.limit.median());
}

std::string loadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) {
  ignoreBrokenPipes();
  if (argc == 5 && std::strcmp(argv[1], "--child-run") == 0) return childRun(argv[2], argv[3], argv[4]);
  if (argc == 5 && std::strcmp(argv[1], "--child-idle") == 0) return 0;
  if (argc >= 4 && std::strcmp(argv[1], "--stage") == 0) return childStage(argv);
  int files = 3000, megabytes = 320, rounds = 5;
  std::string dir = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--files") == 0) files = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--megabytes") == 0) megabytes = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
  }
  ::umask(022);
  const TestPki& pki = testPki();
  std::string pattern = dir + "/orvo_updater_bench_XXXXXX";
  if (!mkdtemp(pattern.data())) return 1;
  static const BenchFolder work{pattern};  // removed at exit, also when a command fails
  std::atexit([] { work.remove(); });
  const std::string selfPath = work / "bench_updater_bench", self = shellQuote(selfPath);
  fs::copy_file(fs::read_symlink("/proc/self/exe"), selfPath);
  const std::string tree = work / "tree", zip = work / "package.zip", container = work / "package.pkg";
  const std::string key = randomKeyBase64(), decryptScript = work / "decrypt.py",
                    chainScript = work / "chain.sh", extractScript = work / "extract.sh",
                    onePassScript = std::string(ORVO_TEST_SOURCE_DIR) + "/bench/one_pass_update.py";
  writeTextFile(decryptScript, kPythonDecrypt);
  writeTextFile(chainScript, kChainedPeer);
  // The fastest standard extractor installed: bsdtar writes the tree in about a fifth of unzip's time.
  const bool bsdtar = runShell("command -v bsdtar >/dev/null 2>&1") == 0;
  const std::string extractorName = bsdtar ? "bsdtar -xf" : "unzip -q";
  writeTextFile(extractScript,
                bsdtar ? "mkdir -p \"$2\" && bsdtar -xf \"$1\" -C \"$2\"\n" : "unzip -q \"$1\" -d \"$2\"\n");
  std::printf("making %d files of about %d MiB in all ...\n", files, megabytes);
  makeTree(tree, files, megabytes);
  mustRun("cd " + shellQuote(tree) + " && zip -q -r -y " + shellQuote(zip) + " .");
  if (!writeContainer(zip, container, key)) return 1;
  const double containerBytes = static_cast<double>(fs::file_size(container)),
               zipBytes = static_cast<double>(fs::file_size(zip));
  const std::string sha = sha256FileHex(container), plainSha = sha256FileHex(zip);
  std::printf("package: %.1f MiB zip, %.1f MiB container; %d rounds; load average %s\n\n", zipBytes / 1048576,
              containerBytes / 1048576, rounds, loadAverage().c_str());

  UpdateServer server;
  if (server.start() <= 0) return 1;
  server.configure([&](UpdateServerBehaviour& b) { b.packageFile = container; });
  const std::string ca = shellQuote(pki.caFile), manifestUrl = server.manifestUrl(),
                    packageUrl = server.packageUrl(), downloads = work / "downloads",
                    verifyUrl = manifestUrl.substr(0, manifestUrl.find("/v1/")) + "/v1/artifacts/verify",
                    out = work / "out";
  const std::string editor = work / "editor", staging = editor + "-staging";
  const auto clearEditor = [&] {
    std::error_code ec;
    for (const char* suffix : {"", "-staging", "-previous"}) fs::remove_all(editor + suffix, ec);
  };
  // What an earlier run left behind (the previous editor whose deletion its close stopped, a
  // staging folder, the downloads) goes before the clock starts, for ours and the peers alike.
  const auto clearLeftovers = [&] {
    std::error_code ec;
    for (const std::string& path : {editor + "-staging", editor + "-previous", downloads})
      fs::remove_all(path, ec);
  };
  // The tree written by four writers, as our extraction writes it, without inflating: its
  // top-level entries dealt out to four cp -r running side by side.
  std::vector<std::string> tops;
  for (const fs::directory_entry& entry : fs::directory_iterator(tree)) tops.push_back(entry.path().string());
  std::sort(tops.begin(), tops.end());
  std::vector<std::string> groups(4);
  for (size_t i = 0; i < tops.size(); ++i) groups[i % groups.size()] += " " + shellQuote(tops[i]);
  std::string treeCopy = "mkdir -p " + shellQuote(staging) + " && {", waits;
  for (size_t w = 0; w < groups.size(); ++w) {
    if (groups[w].empty()) continue;
    const std::string id = std::to_string(w);
    treeCopy += " cp -r" + groups[w] + " " + shellQuote(staging) + "/ & p" + id + "=$!;";
    waits += (waits.empty() ? " wait $p" : " && wait $p") + id;
  }
  treeCopy += waits + "; }";
  const auto serveManifest = [&](const std::string& version, bool full) {
    server.configure([&](UpdateServerBehaviour& b) {
      // Without digests and key the run ends right after its download ("Invalid decryption key length.").
      b.manifestBody = full ? server.manifest(version, packageUrl, sha, plainSha, key)
                            : server.manifest(version, packageUrl);
    });
  };
  // Our whole run in a child: seconds from its start to the end of Downloading, and to its end.
  const auto oursRun = [&](const std::string& version, bool full) {
    serveManifest(version, full);
    clearLeftovers();
    ::sync();
    const double start = now();
    mustRun(self + " --child-run " + shellQuote(manifestUrl) + " " + shellQuote(downloads) + " " +
            shellQuote(work / "run.result"));
    double downloadEnd = 0, end = 0;
    bool installed = false;
    std::string message;
    std::ifstream result(work / "run.result");
    result >> downloadEnd >> end >> installed;
    std::getline(result, message);
    if (full && !installed) {
      std::fprintf(stderr, "update run:%s\n", message.c_str());
      std::exit(1);
    }
    return std::pair(downloadEnd - start, end - start);
  };
  const auto chainRun = [&](const std::string& version) {
    serveManifest(version, true);
    clearLeftovers();
    return timed("bash " + shellQuote(chainScript) + " " + ca + " " + shellQuote(manifestUrl) + " " +
                 shellQuote(packageUrl) + " " + shellQuote(verifyUrl) + " " + sha + " " + plainSha + " " +
                 shellQuote(key) + " " + shellQuote(downloads) + " " + shellQuote(editor) + " " + version +
                 " " + shellQuote(decryptScript) + " " + shellQuote(extractScript));
  };
  const auto onePassRun = [&](const std::string& version) {
    serveManifest(version, true);
    clearLeftovers();
    return timed("python3 " + shellQuote(onePassScript) + " " + ca + " " + shellQuote(manifestUrl) + " " +
                 shellQuote(downloads) + " " + shellQuote(editor));
  };

  const std::string bound = "lower bound of this design";
  Row download{"download (HTTPS)", "curl to /dev/null", {{"curl to a file", {}}}, {}, {}};
  Row hash{"SHA-256 of the package", "openssl speed sha256", {{"openssl dgst -sha256", {}}}, {}, {}};
  Row decrypt{"decryption + its SHA-256",
              "slower of openssl speed aes-256-gcm, sha256",
              {{"Python AESGCM + hashlib", {}}},
              {},
              {}};
  Row plainHash{"SHA-256 of the zip", "openssl speed sha256", {{"openssl dgst -sha256", {}}}, {}, {}};
  Row extract{"extraction", "four cp -r of the tree", {{extractorName, {}}}, {}, {}};
  Row fresh{"whole run, fresh", bound, {{"chained tools", {}}, {"one-pass", {}}}, {}, {}};
  Row update{"whole run, update", bound, {{"chained tools", {}}, {"one-pass", {}}}, {}, {}};
  // Our whole runs split where Downloading ends: the download, and the rest up to "Installed".
  std::pair<Series, Series> freshPhases, updatePhases;

  for (int round = 0; round < rounds; ++round) {
    // Each round begins without an editor, and with the next contender in turn.
    clearEditor();
    clearLeftovers();
    const auto inTurn = [round](const std::vector<std::function<void()>>& contenders) {
      for (size_t k = 0; k < contenders.size(); ++k)
        contenders[(k + static_cast<size_t>(round)) % contenders.size()]();
    };
    const std::string r = std::to_string(round);
    inTurn({[&] { download.ours.add(oursRun("d" + r, false).first); },
            [&] {
              download.peers[0].times.add(timed("curl -s --fail --cacert " + ca + " -o /dev/null " +
                                                    shellQuote(manifestUrl) + " && curl -s --fail --cacert " +
                                                    ca + " -o " + shellQuote(out) + " " +
                                                    shellQuote(packageUrl),
                                                {out}));
            }});
    download.limit.add(timed("curl -s --fail --cacert " + ca + " -o /dev/null " + shellQuote(packageUrl)));
    for (Row* row : {&hash, &plainHash}) {
      const std::string file = shellQuote(row == &hash ? container : zip);
      inTurn({[&] { row->ours.add(timed(self + " --stage hash " + file)); },
              [&] { row->peers[0].times.add(timed("openssl dgst -sha256 " + file + " >/dev/null")); }});
    }
    const double shaSpeed = opensslSpeed("sha256"), aesSpeed = opensslSpeed("aes-256-gcm");
    hash.limit.add(containerBytes / shaSpeed);
    plainHash.limit.add(zipBytes / shaSpeed);
    // The decryption and the digest of its output run side by side: the slower one bounds them.
    decrypt.limit.add(std::max(containerBytes / aesSpeed, zipBytes / shaSpeed));
    inTurn({[&] {
              decrypt.ours.add(timed(self + " --stage decrypt " + shellQuote(container) + " " +
                                         shellQuote(out) + " " + shellQuote(key) + " digest",
                                     {out}));
            },
            [&] {
              decrypt.peers[0].times.add(timed("python3 " + shellQuote(decryptScript) + " " +
                                                   shellQuote(container) + " " + shellQuote(out) + " " +
                                                   shellQuote(key) + " digest >/dev/null",
                                               {out}));
            }});
    inTurn({[&] {
              extract.ours.add(
                  timed(self + " --stage extract " + shellQuote(zip) + " " + shellQuote(staging), {staging}));
            },
            [&] {
              extract.peers[0].times.add(timed(
                  "bash " + shellQuote(extractScript) + " " + shellQuote(zip) + " " + shellQuote(staging),
                  {staging}));
            }});
    extract.limit.add(timed(treeCopy, {staging}));
    clearEditor();

    const double limit =
        download.limit.values.back() + decrypt.limit.values.back() + extract.limit.values.back();
    fresh.limit.add(limit);
    update.limit.add(limit);
    // Fresh: no editor before; update: over the editor the fresh run installed.
    inTurn({[&] {
              clearEditor();
              for (auto [row, phases, version] :
                   {std::tuple(&fresh, &freshPhases, "f"), std::tuple(&update, &updatePhases, "u")}) {
                const auto [downloaded, installed] = oursRun(version + r, true);
                row->ours.add(installed);
                phases->first.add(downloaded);
                phases->second.add(installed - downloaded);
              }
            },
            [&] {
              clearEditor();
              fresh.peers[0].times.add(chainRun("f" + r));
              update.peers[0].times.add(chainRun("u" + r));
            },
            [&] {
              clearEditor();
              fresh.peers[1].times.add(onePassRun("f" + r));
              update.peers[1].times.add(onePassRun("u" + r));
            }});
    std::fprintf(stderr, "round %d of %d done (load average %s)\n", round + 1, rounds, loadAverage().c_str());
  }

  std::printf("%-24s %-26s %-50s %-26s %12s %14s\n", "stage", "ours: median [range]", "peer: median [range]",
              "limit", "peer \u00f7 ours", "ours \u00f7 limit");
  for (const Row* row : {&download, &hash, &decrypt, &plainHash, &extract, &fresh, &update}) printRow(*row);
  std::printf("\nlimits:\n");
  for (const Row* row : {&download, &hash, &decrypt, &plainHash, &extract, &fresh, &update})
    std::printf("  %-24s %s\n", row->stage.c_str(), row->limitName.c_str());
  std::printf(
      "  (the lower bound of a whole run: the download to /dev/null, the slower of AES and SHA-256 on its "
      "own core, and the tree written by four writers)\n"
      "peer \u00f7 ours: the peer's median over ours (above 1: ours is faster); ours \u00f7 limit: our "
      "median "
      "over the limit's (1: at the limit)\n\n");
  printRatios(fresh);
  printRatios(update);
  for (const auto& [name, phases] : {std::pair("fresh", &freshPhases), std::pair("update", &updatePhases)})
    std::printf("our %s run: to the end of the download %s, from there to \"Installed\" %s\n", name,
                phases->first.text().c_str(), phases->second.text().c_str());

  // Peak memory of a whole run, against a process that only starts and ends.
  struct rusage usage;
  const auto peakKiB = [&](const std::string& mode) {
    serveManifest("m" + mode, true);
    clearEditor();
    std::error_code ec;
    fs::remove_all(downloads, ec);
    const pid_t pid = fork();
    if (pid == 0) {
      execl(selfPath.c_str(), "bench_updater_bench", mode.c_str(), manifestUrl.c_str(), downloads.c_str(),
            (work / "rss.result").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss;
  };
  const long idle = peakKiB("--child-idle"), run = peakKiB("--child-run");
  std::printf("\npeak RSS: idle %.1f MiB, during an install %.1f MiB, difference %.1f MiB (limit 64 MiB)\n",
              idle / 1024.0, run / 1024.0, (run - idle) / 1024.0);
  std::printf("load average at the end: %s\n", loadAverage().c_str());
  return 0;
}
