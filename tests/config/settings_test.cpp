// The settings file on disk: its exact format, files written by hand, record counts and fields,
// and saves that fail or are cut short.
#include "config/settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <random>
#include <thread>
#include <tuple>

#include "config_env.h"

namespace {

using SettingsTest = ConfigTest;

auto fields(const ProjectRecord& r) {
  return std::tie(r.name, r.path, r.targetPlatform, r.editorVersion, r.lastOpened, r.favorite);
}

TEST(SettingsText, TrimDecodeAndEscape) {
  EXPECT_EQ(trimIniToken(" \t\r a b \r\t "), "a b");
  EXPECT_EQ(trimIniToken("\na\n"), "\na\n");
  EXPECT_EQ(percentDecode("auth%2frefreshToken%2541+%4%zz%C3%a9%"), "auth/refreshToken%41+%4%zz\xC3\xA9%");
  EXPECT_EQ(escapeIniKey("Projects\\1\\n a%/=@\xC3\xA9\t"), "Projects%5C1%5Cn%20a%25%2F%3D%40\xC3\xA9\t");
  EXPECT_EQ(escapeIniValue("a\nb%c@d\r\t =/\\"), "a%0Ab%25c%40d\r\t =/\\");
}

TEST_F(SettingsTest, SettingsAreWrittenByteForByte) {
  LauncherSettings settings = loadSettingsFile();
  ASSERT_EQ(settings.filePath, settingsPath);
  saveSettings(settings);
  EXPECT_EQ(readWholeFile(settingsPath),
            "[General]\nauth%2FrefreshToken=\ninstall%2Fpath=\nprojects%2FdefaultLocation=\n"
            "projects%2FlastAddedLocation=\nProjects%5Csize=0\n");
  EXPECT_TRUE(loadSettingsFile().projects.empty());

  settings.defaultProjectLocation = settings.lastAddedProjectLocation = "/data/work";
  settings.projects.push_back({"Demo", "/data/work/Demo/Demo.zelvanproj", "", "", 900, false});
  saveSettings(settings);
  EXPECT_EQ(readWholeFile(settingsPath),
            "[General]\nauth%2FrefreshToken=\ninstall%2Fpath=\nprojects%2FdefaultLocation=/data/work\n"
            "projects%2FlastAddedLocation=/data/work\nProjects%5Csize=1\nProjects%5C1%5Cname=Demo\n"
            "Projects%5C1%5Cpath=/data/work/Demo/Demo.zelvanproj\nProjects%5C1%5ClastOpened=900\n"
            "Projects%5C1%5Cfavorite=false\n");
  EXPECT_EQ(fileMode(settingsPath), 0600u);
}

TEST_F(SettingsTest, EverythingRoundTripsByteForByte) {
  const LauncherSettings settings{settingsPath,
                                  "1//tok%en@x",
                                  "Ada\nLovelace",
                                  "ada@example.org",
                                  {{"Full %41", "/p/full", "Linux", "1.2.3", 300, true},
                                   {"Same A", "", "", "", 7, true},
                                   {"Same B", "", "", "", 7, false},
                                   {"Neg", "/p/neg", "", "", -5, false}},
                                  "/opt/with space/=eq",
                                  "/home/a\\b",
                                  "/d\xC3\xA9j\xC3\xA0"};
  saveSettings(settings);
  const std::string text = readWholeFile(settingsPath);
  EXPECT_NE(text.find("auth%2FrefreshToken=1//tok%25en%40x\nauth%2FuserName=Ada%0ALovelace\n"),
            std::string::npos);
  EXPECT_NE(text.find("Projects%5C1%5Cfavorite=true\nProjects%5C1%5CtargetPlatform=Linux\n"
                      "Projects%5C1%5CeditorVersion=1.2.3\nProjects%5C2%5Cname=Same A\n"),
            std::string::npos);
  LauncherSettings back = loadSettingsFile();
  EXPECT_EQ(back.userName, settings.userName);
  saveSettings(back);
  EXPECT_EQ(readWholeFile(settingsPath), text);
}

TEST_F(SettingsTest, HandWrittenSettingsFiles) {
  const std::string text =
      "auth%2FuserName=before any section\n# comment\n; another=comment\n  [General]  \n"
      "auth/refreshToken = first\nauth/refreshToken = tok \t\nauth%2fuserEmail=Ada%2fB%40c\n"
      "install/path=a=b\nnoequals\n"
      "[ General ]\nauth%2FuserName=spaced header\n[general]\nauth%2FuserName=lower-case header\n"
      "[General\nauth%2FuserName=unclosed header\n"
      "[Other]\nprojects%2FdefaultLocation=other section\nProjects\\size=2\nProjects%5c1%5cname=  one  \n"
      "[General]\nProjects%5C2%5Cname=two\n";
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? "\r\n" : std::string(1, c);
  for (const std::string& file : {text, crlf}) {
    LauncherSettings s = loadSettingsFile(file);
    EXPECT_EQ(std::tie(s.refreshToken, s.userName, s.userEmail, s.installPath, s.defaultProjectLocation),
              std::make_tuple("tok", "", "Ada/B@c", "a=b", ""));
    ASSERT_EQ(s.projects.size(), 2u);
    EXPECT_EQ(s.projects[0].name, "one");
    EXPECT_EQ(s.projects[1].name, "two");
  }
}

TEST_F(SettingsTest, RecordCountsAreBounded) {
  const std::string records =
      "Projects%5C1%5Cname=a\nProjects%5C2%5Cname=b\n"
      "Projects%5C100000%5ClastOpened=5\nProjects%5C100001%5ClastOpened=9\n";
  const std::pair<const char*, size_t> counts[] = {
      {"", 0},
      {"Projects%5Csize=0\n", 0},
      {"Projects%5Csize=-2\n", 0},
      {"Projects%5Csize=abc\n", 0},
      {"Projects%5Csize=-99999999999999999999\n", 0},
      {"Projects%5Csize=9\nProjects%5Csize= +2x\n", 2},
      {"Projects%5Csize=2147483647\n", kMaxProjectRecords},
      {"Projects%5Csize=99999999999999999999999\n", kMaxProjectRecords},
  };
  for (const auto& [count, size] : counts) {
    LauncherSettings settings = loadSettingsFile(std::string("[General]\n") + count + records);
    ASSERT_EQ(settings.projects.size(), size) << count;
    EXPECT_TRUE(size <= 2 || settings.projects[0].lastOpened == 5)
        << "the last record within the bound is read";
  }
}

TEST_F(SettingsTest, RecordFields) {
  const std::vector<ProjectRecord> p =
      loadSettingsFile(
          "Projects%5Csize=9\nProjects%5C1%5Cfavorite=1\nProjects%5C2%5Cfavorite=true\n"
          "Projects%5C3%5Cfavorite=TRUE\nProjects%5C4%5Cfavorite=yes\nProjects%5C5%5Cfavorite=\n"
          "Projects%5C5%5ClastOpened=soon\nProjects%5C6%5ClastOpened=12abc\n"
          "Projects%5C7%5ClastOpened=99999999999999999999\nProjects%5C8%5ClastOpened=-3\n"
          "Projects%5C2%5Cname=first\nProjects%5C2%5Cname=second\nProjects%5C3%5Cpath=%20kept%20\n"
          "Projects%5C0%5Cname=zero\nProjects%5C10%5Cname=ten\nProjects%5C-1%5Cname=neg\n")
          .projects;
  ASSERT_EQ(p.size(), 9u);
  // 7 (largest), 6 (12), then 1..5 and 9 at 0 in their numbered order, then 8 (-3).
  EXPECT_EQ(p[0].lastOpened, INT64_MAX);
  EXPECT_EQ(p[1].lastOpened, 12);
  EXPECT_EQ(std::vector<bool>({p[2].favorite, p[3].favorite, p[4].favorite, p[5].favorite, p[6].favorite}),
            std::vector<bool>({true, true, false, false, false}));
  EXPECT_EQ(p[3].name, "second");
  EXPECT_EQ(p[4].path, " kept ");
  EXPECT_EQ(fields(p[7]), fields(ProjectRecord()));
  EXPECT_EQ(p[8].lastOpened, -3);
  for (const ProjectRecord& r : p) EXPECT_TRUE(r.name.empty() || r.name == "second") << r.name;

  LauncherSettings partial = loadSettingsFile("Projects%5Csize=3\nProjects%5C1%5Cname=one\n");
  ASSERT_EQ(partial.projects.size(), 3u);
  saveSettings(partial);
  EXPECT_NE(readWholeFile(settingsPath).find("Projects%5Csize=3\n"), std::string::npos);
  EXPECT_NE(readWholeFile(settingsPath).find("Projects%5C3%5Cfavorite=false\n"), std::string::npos);
}

TEST_F(SettingsTest, UnsetHomeRemembersNothingAndEmptyHomeIsTheWorkingFolder) {
  {
    ScopedEnv unset("HOME", nullptr);
    LauncherSettings settings = loadSettingsFile();
    EXPECT_EQ(settings.filePath, "");
    saveSettings(settings);
  }
  EXPECT_FALSE(std::filesystem::exists(home / ".config"));

  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(home.path());
  LauncherSettings settings;
  {
    ScopedEnv empty("HOME", "");
    settings = loadSettingsFile();
  }
  settings.userName = "rel";
  saveSettings(settings);
  std::filesystem::current_path(saved);
  EXPECT_EQ(settings.filePath, ".config/ZELVAN/Launcher.conf");
  EXPECT_NE(readWholeFile(settingsPath).find("auth%2FuserName=rel\n"), std::string::npos);
}

TEST_F(SettingsTest, FailedSaveKeepsTheOldFileAndAStaleTemporaryFileDoesNotWidenTheMode) {
  LauncherSettings settings = loadSettingsFile();
  settings.userName = "old";
  saveSettings(settings);
  const std::string old = readWholeFile(settingsPath);
  std::filesystem::create_directory(settingsPath + ".tmp");  // the temporary file cannot be opened
  settings.userName = "new";
  saveSettings(settings);
  EXPECT_EQ(readWholeFile(settingsPath), old);

  std::filesystem::remove(settingsPath + ".tmp");
  writeWholeFile(settingsPath + ".tmp", "stale and much longer than the new content will ever be ...", 0666);
  chmod(settingsPath.c_str(), 0644);
  saveSettings(settings);
  EXPECT_EQ(fileMode(settingsPath), 0600u);
  EXPECT_NE(readWholeFile(settingsPath).find("auth%2FuserName=new\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(settingsPath + ".tmp"));
}

// A process killed at any point of a save leaves either the previous or the new file, whole.
TEST_F(SettingsTest, KilledSavesNeverLeaveAPartialFile) {
  LauncherSettings a = loadSettingsFile();
  a.refreshToken = "token-a";
  LauncherSettings b = a;
  b.refreshToken = "token-b";
  for (int i = 0; i < 20000; ++i)
    b.projects.push_back(
        {"Project " + std::to_string(i), "/data/p" + std::to_string(i), "", "", i, i % 2 == 0});
  saveSettings(b);
  const std::string textB = readWholeFile(settingsPath);
  saveSettings(a);
  const std::string textA = readWholeFile(settingsPath);
  ASSERT_GT(textB.size(), 100000u);

  std::mt19937 random(12345);
  for (int round = 0; round < 150; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
      for (;;) saveSettings(b), saveSettings(a);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string now = readWholeFile(settingsPath);
    ASSERT_TRUE(now == textA || now == textB) << "round " << round << ": " << now.size() << " bytes";
    ASSERT_EQ(fileMode(settingsPath), 0600u);
  }
}

}  // namespace
