#include "config/settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "app/app_state.h"
#include "temp_home.h"

namespace {

// Loads the settings the way start-up does, from whatever file the test left under HOME.
LauncherSettings loadFromDisk() {
  AppState app;
  initAppState(app);
  loadSettings(app);
  LauncherSettings settings = *app.settings;
  destroyAppState(app);
  return settings;
}

LauncherSettings loadFromText(const TempHome& home, const std::string& text) {
  writeTextFile(home.settingsPath(), text);
  return loadFromDisk();
}

ProjectRecord record(const std::string& name, const std::string& path, int64_t lastOpened, bool favorite) {
  ProjectRecord r;
  r.name = name;
  r.path = path;
  r.lastOpened = lastOpened;
  r.favorite = favorite;
  return r;
}

void expectSameRecord(const ProjectRecord& a, const ProjectRecord& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.path, b.path);
  EXPECT_EQ(a.targetPlatform, b.targetPlatform);
  EXPECT_EQ(a.editorVersion, b.editorVersion);
  EXPECT_EQ(a.lastOpened, b.lastOpened);
  EXPECT_EQ(a.favorite, b.favorite);
}

TEST(SettingsTextTest, TrimDecodeAndEscape) {
  EXPECT_EQ(trimIniToken(" \t\r a b \r\t "), "a b");
  EXPECT_EQ(trimIniToken("\na\n"), "\na\n");
  EXPECT_EQ(trimIniToken(" \t\r"), "");

  EXPECT_EQ(percentDecode("auth%2frefreshToken"), "auth/refreshToken");
  EXPECT_EQ(percentDecode("%2541"), "%41");
  EXPECT_EQ(percentDecode("a+b%"), "a+b%");
  EXPECT_EQ(percentDecode("%4"), "%4");
  EXPECT_EQ(percentDecode("%%41"), "%A");
  EXPECT_EQ(percentDecode("%zz%00x"), std::string("%zz\0x", 5));
  EXPECT_EQ(percentDecode("%C3%A9"), "\xC3\xA9");

  EXPECT_EQ(escapeIniKey("Projects\\1\\name"), "Projects%5C1%5Cname");
  EXPECT_EQ(escapeIniKey("a b%c/d=e@f\xC3\xA9\t"), "a%20b%25c%2Fd%3De%40f\xC3\xA9\t");
  EXPECT_EQ(escapeIniValue("a\nb%c@d\r\t =/\\"), "a%0Ab%25c%40d\r\t =/\\");

  const std::string everyByte = [] {
    std::string s;
    for (int c = 0; c < 256; ++c) s += char(c);
    return s;
  }();
  EXPECT_EQ(percentDecode(escapeIniKey(everyByte)), everyByte);
  EXPECT_EQ(percentDecode(escapeIniValue(everyByte)), everyByte);
}

TEST(SettingsFileTest, SampleFileIsWrittenByteForByte) {
  TempHome home;
  LauncherSettings settings = loadFromDisk();
  ASSERT_EQ(settings.filePath, home.settingsPath());
  EXPECT_TRUE(std::filesystem::is_directory(home.dir() + "/.config/ZELVAN"));
  settings.defaultProjectLocation = "/data/work";
  settings.lastAddedProjectLocation = "/data/work";
  settings.projects.push_back(record("Demo", "/data/work/Demo/Demo.zelvanproj", 900, false));
  saveSettings(settings);

  EXPECT_EQ(readTextFile(home.settingsPath()),
            "[General]\n"
            "auth%2FrefreshToken=\n"
            "install%2Fpath=\n"
            "projects%2FdefaultLocation=/data/work\n"
            "projects%2FlastAddedLocation=/data/work\n"
            "Projects%5Csize=1\n"
            "Projects%5C1%5Cname=Demo\n"
            "Projects%5C1%5Cpath=/data/work/Demo/Demo.zelvanproj\n"
            "Projects%5C1%5ClastOpened=900\n"
            "Projects%5C1%5Cfavorite=false\n");
  EXPECT_EQ(fileMode(home.settingsPath()), 0600u);
}

TEST(SettingsFileTest, EverythingRoundTrips) {
  TempHome home;
  LauncherSettings settings = loadFromDisk();
  settings.refreshToken = "1//tok%en@x";
  settings.userName = "Ada\nLovelace";
  settings.userEmail = "ada@example.org";
  settings.installPath = "/opt/with space/=eq";
  settings.defaultProjectLocation = "/home/a\\b";
  settings.lastAddedProjectLocation = "/d\xC3\xA9j\xC3\xA0";
  ProjectRecord full = record("Full %41", "/p/full.zelvanproj", 300, true);
  full.targetPlatform = "Linux";
  full.editorVersion = "1.2.3";
  settings.projects = {full, record("Neg", "/p/neg", -5, false), record("Zero", "", 0, true)};
  saveSettings(settings);

  const std::string text = readTextFile(home.settingsPath());
  EXPECT_NE(text.find("auth%2FrefreshToken=1//tok%25en%40x\n"), std::string::npos);
  EXPECT_NE(text.find("auth%2FuserName=Ada%0ALovelace\n"), std::string::npos);
  EXPECT_NE(text.find("Projects%5C1%5Cfavorite=true\nProjects%5C1%5CtargetPlatform=Linux\n"
                      "Projects%5C1%5CeditorVersion=1.2.3\nProjects%5C2%5Cname=Neg\n"),
            std::string::npos);
  EXPECT_NE(text.find("Projects%5C2%5ClastOpened=-5\n"), std::string::npos);

  LauncherSettings back = loadFromDisk();
  EXPECT_EQ(back.refreshToken, settings.refreshToken);
  EXPECT_EQ(back.userName, settings.userName);
  EXPECT_EQ(back.userEmail, settings.userEmail);
  EXPECT_EQ(back.installPath, settings.installPath);
  EXPECT_EQ(back.defaultProjectLocation, settings.defaultProjectLocation);
  EXPECT_EQ(back.lastAddedProjectLocation, settings.lastAddedProjectLocation);
  ASSERT_EQ(back.projects.size(), 3u);
  // Read back newest first: 300, 0, -5.
  expectSameRecord(back.projects[0], settings.projects[0]);
  expectSameRecord(back.projects[1], settings.projects[2]);
  expectSameRecord(back.projects[2], settings.projects[1]);
}

TEST(SettingsFileTest, EmptySettingsOmitNameAndEmailButKeepTokenAndCount) {
  TempHome home;
  LauncherSettings settings = loadFromDisk();
  saveSettings(settings);
  EXPECT_EQ(readTextFile(home.settingsPath()),
            "[General]\nauth%2FrefreshToken=\ninstall%2Fpath=\nprojects%2FdefaultLocation=\n"
            "projects%2FlastAddedLocation=\nProjects%5Csize=0\n");
  LauncherSettings back = loadFromDisk();
  EXPECT_TRUE(back.projects.empty());
  EXPECT_TRUE(back.refreshToken.empty());
}

TEST(SettingsFileTest, HandWrittenFilesReadLikeWrittenOnes) {
  TempHome home;
  const std::string lf =
      "[General]\n"
      "auth%2FrefreshToken=tok\n"
      "auth%2FuserName=Ada\n"
      "Projects%5Csize=1\n"
      "Projects%5C1%5Cname=Demo\n";
  LauncherSettings reference = loadFromText(home, lf);
  ASSERT_EQ(reference.refreshToken, "tok");
  ASSERT_EQ(reference.projects.size(), 1u);

  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  LauncherSettings fromCrlf = loadFromText(home, crlf);
  EXPECT_EQ(fromCrlf.refreshToken, "tok");
  EXPECT_EQ(fromCrlf.userName, "Ada");
  ASSERT_EQ(fromCrlf.projects.size(), 1u);
  EXPECT_EQ(fromCrlf.projects[0].name, "Demo");

  LauncherSettings unescaped = loadFromText(home,
                                            "# comment\n"
                                            "; another=comment\n"
                                            "  [General]  \n"
                                            "auth/refreshToken = tok \t\r\n"
                                            "auth%2fuserName=Ada%2fB%40c\n"
                                            "Projects\\size=1\n"
                                            "Projects%5c1%5cname=  Demo  \n"
                                            "install/path=a=b\n"
                                            "noequals\n"
                                            "auth/refreshToken=later");
  EXPECT_EQ(unescaped.refreshToken, "later");
  EXPECT_EQ(unescaped.userName, "Ada/B@c");
  EXPECT_EQ(unescaped.installPath, "a=b");
  ASSERT_EQ(unescaped.projects.size(), 1u);
  EXPECT_EQ(unescaped.projects[0].name, "Demo");
}

TEST(SettingsFileTest, PlainKeysOnlyInTheGeneralSectionRecordsAnywhere) {
  TempHome home;
  LauncherSettings settings = loadFromText(home,
                                           "auth%2FuserName=before\n"
                                           "Projects%5Csize=2\n"
                                           "[ General ]\n"
                                           "auth%2FuserEmail=spaced\n"
                                           "[general]\n"
                                           "install%2Fpath=lower\n"
                                           "[General\n"
                                           "projects%2FdefaultLocation=unclosed\n"
                                           "[General]\n"
                                           "auth%2FrefreshToken=inside\n"
                                           "[Other]\n"
                                           "auth%2FuserName=other\n"
                                           "Projects%5C1%5Cname=one\n"
                                           "[General]\n"
                                           "Projects%5C2%5Cname=two\n");
  EXPECT_EQ(settings.refreshToken, "inside");
  EXPECT_EQ(settings.userName, "");
  EXPECT_EQ(settings.userEmail, "");
  EXPECT_EQ(settings.installPath, "");
  EXPECT_EQ(settings.defaultProjectLocation, "");
  ASSERT_EQ(settings.projects.size(), 2u);
  EXPECT_EQ(settings.projects[0].name, "one");
  EXPECT_EQ(settings.projects[1].name, "two");
}

TEST(SettingsFileTest, RecordCountRules) {
  TempHome home;
  const std::string records = "Projects%5C1%5Cname=a\nProjects%5C2%5Cname=b\n";
  EXPECT_TRUE(loadFromText(home, "[General]\n" + records).projects.empty());
  EXPECT_TRUE(loadFromText(home, "[General]\nProjects%5Csize=0\n" + records).projects.empty());
  EXPECT_TRUE(loadFromText(home, "[General]\nProjects%5Csize=-2\n" + records).projects.empty());
  EXPECT_TRUE(loadFromText(home, "[General]\nProjects%5Csize=abc\n" + records).projects.empty());
  EXPECT_TRUE(
      loadFromText(home, "[General]\nProjects%5Csize=-99999999999999999999\n" + records).projects.empty());
  // The last count line wins; "2x" reads as 2.
  EXPECT_EQ(loadFromText(home, "Projects%5Csize=9\nProjects%5Csize= +2x\n" + records).projects.size(), 2u);

  // Three records with only the first in the file: the others stay, empty, and are saved.
  LauncherSettings partial =
      loadFromText(home,
                   "[General]\nProjects%5Csize=3\nProjects%5C1%5Cname=one\n"
                   "Projects%5C1%5ClastOpened=7\nProjects%5C0%5Cname=zero\nProjects%5C4%5Cname=four\n"
                   "Projects%5C%5Cname=empty\nProjects%5C-1%5Cname=neg\n");
  ASSERT_EQ(partial.projects.size(), 3u);
  EXPECT_EQ(partial.projects[0].name, "one");
  EXPECT_EQ(partial.projects[1].name, "");
  EXPECT_EQ(partial.projects[1].lastOpened, 0);
  EXPECT_EQ(partial.projects[2].name, "");
  saveSettings(partial);
  EXPECT_NE(readTextFile(home.settingsPath()).find("Projects%5Csize=3\n"), std::string::npos);
  EXPECT_NE(readTextFile(home.settingsPath()).find("Projects%5C3%5Cfavorite=false\n"), std::string::npos);
}

TEST(SettingsFileTest, HugeCountsAreBounded) {
  TempHome home;
  const std::string last = std::to_string(kMaxProjectRecords);
  const std::string beyond = std::to_string(kMaxProjectRecords + 1);
  for (const char* count : {"2147483647", "99999999999999999999999", "100001"}) {
    LauncherSettings settings =
        loadFromText(home, std::string("Projects%5Csize=") + count + "\nProjects%5C" + last +
                               "%5ClastOpened=5\nProjects%5C" + last + "%5Cname=last\nProjects%5C" + beyond +
                               "%5Cname=beyond\nProjects%5C" + beyond + "%5ClastOpened=9\n");
    ASSERT_EQ(settings.projects.size(), size_t(kMaxProjectRecords)) << count;
    EXPECT_EQ(settings.projects[0].name, "last");
    EXPECT_EQ(settings.projects[0].lastOpened, 5);
    EXPECT_EQ(settings.projects[1].name, "");
  }
}

TEST(SettingsFileTest, RecordFieldValues) {
  TempHome home;
  LauncherSettings settings = loadFromText(home,
                                           "Projects%5Csize=8\n"
                                           "Projects%5C1%5Cfavorite=1\n"
                                           "Projects%5C2%5Cfavorite=true\n"
                                           "Projects%5C3%5Cfavorite=TRUE\n"
                                           "Projects%5C4%5Cfavorite=yes\n"
                                           "Projects%5C5%5Cfavorite=\n"
                                           "Projects%5C5%5ClastOpened=soon\n"
                                           "Projects%5C6%5ClastOpened=12abc\n"
                                           "Projects%5C7%5ClastOpened=99999999999999999999\n"
                                           "Projects%5C8%5ClastOpened=-3\n"
                                           "Projects%5C1%5Cunknown=x\n"
                                           "Projects%5C2%5Cname=first\n"
                                           "Projects%5C2%5Cname=second\n"
                                           "Projects%5C3%5Cname=  padded\t\n"
                                           "Projects%5C3%5Cpath=%20kept%20\n");
  ASSERT_EQ(settings.projects.size(), 8u);
  // Order: 7 (max), 6 (12), then 1..5 at 0 keeping their numbered order, then 8 (-3).
  const auto& p = settings.projects;
  EXPECT_EQ(p[0].lastOpened, INT64_MAX);
  EXPECT_EQ(p[1].lastOpened, 12);
  EXPECT_TRUE(p[2].favorite);  // record 1
  EXPECT_TRUE(p[3].favorite);  // record 2
  EXPECT_EQ(p[3].name, "second");
  EXPECT_FALSE(p[4].favorite);  // record 3
  EXPECT_EQ(p[4].name, "padded");
  EXPECT_EQ(p[4].path, " kept ");
  EXPECT_FALSE(p[5].favorite);  // record 4
  EXPECT_FALSE(p[6].favorite);  // record 5
  EXPECT_EQ(p[6].lastOpened, 0);
  EXPECT_EQ(p[7].lastOpened, -3);
}

TEST(SettingsFileTest, UnsetHomeRemembersNothing) {
  TempHome home;
  unsetenv("HOME");
  LauncherSettings settings = loadFromDisk();
  EXPECT_TRUE(settings.filePath.empty());
  settings.refreshToken = "tok";
  saveSettings(settings);  // must not write anywhere
  EXPECT_FALSE(std::filesystem::exists(home.settingsPath()));
}

TEST(SettingsFileTest, EmptyHomeIsRelativeToTheWorkingFolder) {
  TempHome home;
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(home.dir());
  setenv("HOME", "", 1);
  LauncherSettings settings = loadFromDisk();
  EXPECT_EQ(settings.filePath, ".config/ZELVAN/Launcher.conf");
  settings.userName = "rel";
  saveSettings(settings);
  std::filesystem::current_path(saved);
  EXPECT_NE(readTextFile(home.settingsPath()).find("auth%2FuserName=rel\n"), std::string::npos);
}

TEST(SettingsFileTest, FailedSaveLeavesTheOldFile) {
  TempHome home;
  LauncherSettings settings = loadFromDisk();
  settings.userName = "old";
  saveSettings(settings);
  const std::string old = readTextFile(home.settingsPath());
  // A folder where the temporary file should go: it cannot be opened for writing.
  std::filesystem::create_directory(home.settingsPath() + ".tmp");
  settings.userName = "new";
  saveSettings(settings);
  EXPECT_EQ(readTextFile(home.settingsPath()), old);
}

TEST(SettingsFileTest, StaleTemporaryFileDoesNotWidenTheMode) {
  TempHome home;
  LauncherSettings settings = loadFromDisk();
  writeTextFile(home.settingsPath() + ".tmp", "stale and much longer than the new content will be ...\n");
  chmod((home.settingsPath() + ".tmp").c_str(), 0666);
  writeTextFile(home.settingsPath(), "old");
  chmod(home.settingsPath().c_str(), 0644);
  saveSettings(settings);
  EXPECT_EQ(fileMode(home.settingsPath()), 0600u);
  EXPECT_EQ(readTextFile(home.settingsPath()).rfind("[General]\n", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(home.settingsPath() + ".tmp"));
}

// A process killed at any point of a save leaves either the previous or the new file, whole.
TEST(SettingsFileTest, KilledSavesNeverLeaveAPartialFile) {
  TempHome home;
  LauncherSettings a = loadFromDisk();
  a.refreshToken = "token-a";
  LauncherSettings b = a;
  b.refreshToken = "token-b";
  for (int i = 0; i < 20000; ++i)
    b.projects.push_back(record("Project " + std::to_string(i), "/data/p" + std::to_string(i), i, i % 2));
  saveSettings(b);
  const std::string textB = readTextFile(home.settingsPath());
  saveSettings(a);
  const std::string textA = readTextFile(home.settingsPath());
  ASSERT_GT(textB.size(), 100000u);

  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delayMicros(0, 20000);
  for (int round = 0; round < 150; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) {
        saveSettings(b);
        saveSettings(a);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string now = readTextFile(home.settingsPath());
    ASSERT_TRUE(now == textA || now == textB) << "round " << round << ": " << now.size() << " bytes";
    ASSERT_EQ(fileMode(home.settingsPath()), 0600u);
  }
}

}  // namespace
