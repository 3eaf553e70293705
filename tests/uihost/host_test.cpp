#include "uihost/ui_host.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_launcher.h"
#include "uihost/ui_context.h"
#include "uihost/ui_theme.h"

std::vector<unsigned char> windowPixelsAsShown(int width, int height);  // x_window.cpp

namespace {

TEST(UiHost, WithoutADisplayInitializeFailsWithOneSentence) {
  for (const char* display : {static_cast<const char*>(nullptr), ":9731"}) {
    ScopedEnv env("DISPLAY", display);
    UiHost host;
    const UiHostDesc desc{"ORVO Launcher", 1180, 740, 900, 560};
    std::string error;
    EXPECT_FALSE(host.initialize(desc, &error));
    EXPECT_EQ(error.rfind("No display is available to open the launcher window", 0), 0u) << error;
    EXPECT_EQ(error.back(), '.') << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_FALSE(host.beginFrame()) << "the loop stops";
  }
}

// Xvfb on a display number it picks, with DISPLAY pointing at it while the object lives.
class OwnDisplay {
 public:
  OwnDisplay() {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // also when the test ends abruptly
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-ac", "-nolisten", "tcp", "-screen", "0",
             "1400x900x24", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    char number[32] = {};
    for (size_t got = 0; got < sizeof(number) - 1;) {
      const ssize_t n = read(fds[0], number + got, sizeof(number) - 1 - got);
      if (n <= 0 || number[got + n - 1] == '\n') break;
      got += static_cast<size_t>(n);
    }
    close(fds[0]);
    if (number[0] >= '0' && number[0] <= '9') display_ = ":" + std::string(number, strcspn(number, "\n"));
    env_ = std::make_unique<ScopedEnv>("DISPLAY", display_.c_str());
  }
  ~OwnDisplay() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return !display_.empty(); }

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::unique_ptr<ScopedEnv> env_;
};

// Runs a test's body in a child process that ends with _exit: the GL driver of the real window
// leaks a little and is unloaded before a leak report could name it. The child's failures are
// written where the parent shows them.
void inChildProcess(void (*body)()) {
  EXPECT_EXIT(
      {
        body();
        const ::testing::TestResult* result =
            ::testing::UnitTest::GetInstance()->current_test_info()->result();
        for (int i = 0; i < result->total_part_count(); ++i)
          std::fprintf(stderr, "%s\n", result->GetTestPartResult(i).message());
        std::fflush(stdout);  // what the body reported
        _exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

// A 640 x 400 window with the theme on a display of its own.
struct TestWindow {
  OwnDisplay display;
  UiHost host;
  std::string error = "Xvfb did not start";

  bool open(const char* title) {
    if (!display.ready() || !host.initialize(UiHostDesc{title, 640, 400, 320, 200}, &error)) return false;
    uiThemeInitialize(host.integration);
    return true;
  }
  // One frame, draw filling a full-window Dear ImGui window; false once the host stops.
  bool frame(float shade, const std::function<void(ImDrawList*)>& draw) {
    if (!host.beginFrame()) return false;
    uiThemeSetScale(host.dpiScale());
    uiThemeTick(host.deltaTime);
    uiThemeApplyStyle();
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(640, 400));
    ImGui::Begin("##test", nullptr, ImGuiWindowFlags_NoDecoration);
    draw(ImGui::GetWindowDrawList());
    ImGui::End();
    const float clear[4] = {shade, shade, shade, 1.0f};
    return host.presentFrame(clear);
  }
};

// A frame loop left asleep for good ends the test's child with the message, after 60 s.
const char* gAsleepMessage = "";
void failIfAsleepIn60s(const char* message) {
  gAsleepMessage = message;
  signal(SIGALRM, [](int) {
    [[maybe_unused]] const ssize_t n = write(2, gAsleepMessage, strlen(gAsleepMessage));
    _exit(1);
  });
  alarm(60);
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A window that shows nothing new sleeps without a time-out: only a worker's wake, input or a
// change its idle poll reports starts the next frame, and that frame shows the change. A wake ends
// the wait itself: with a poll due 30 s on, which a lost wake would sleep until, the change is shown
// long before. Otherwise how long the machine takes is reported, not judged: a busy machine
// stretches every frame and sleep.
TEST(UiHost, AnIdleWindowSleepsUntilAWakeOrItsPollSeesAChange) {
  inChildProcess([] {
    TestWindow window;
    ASSERT_TRUE(window.open("Idle")) << window.error;
    UiHost& host = window.host;
    std::atomic<ImU32> mark{IM_COL32(255, 0, 0, 255)};  // what the worker changes before its wake
    std::atomic<bool> changed{false};                   // set just after the mark
    // What the worker sees of the loop: frames so far, when the last ended and how long it took.
    std::atomic<int> frames{0};
    std::atomic<double> lastEnd{now()}, lastLength{0.0};
    // One frame; true when its drawing began after the change, so it drew the new mark.
    auto frame = [&](bool* ok) {
      bool after = false;
      double begun = 0.0;
      *ok = window.frame(0.1f, [&](ImDrawList* list) {
        begun = now();
        lastEnd = DBL_MAX;  // while it draws, the loop is not asleep
        after = changed.load();
        ImGui::TextUnformatted("Nothing moves here.");
        list->AddRectFilled(ImVec2(600, 360), ImVec2(630, 390), mark.load());
      });
      if (*ok) lastLength = now() - begun;
      lastEnd = now();
      ++frames;
      return after;
    };

    for (const double pollSeconds : {0.0, 30.0, 0.5}) {
      const bool poll = pollSeconds == 0.5;
      const char* what = poll          ? "a file-system change"
                         : pollSeconds ? "a worker's wake, a poll due in 30 s"
                                       : "a worker's wake";
      std::atomic<bool> pollSees{false};
      std::atomic<int> polls{0};
      host.idlePoll = [&] {
        ++polls;
        return pollSees.load();
      };
      host.idlePollSeconds = pollSeconds;
      changed = false;
      frames = 0;
      const double since = now();
      const ImU32 next = mark.load() ^ IM_COL32(255, 255, 0, 0);
      // The first frames settle (the window appears, a wake is followed by a few more); then the
      // loop sleeps: no frame for a stretch far longer than a frame takes. A loop that wakes at a
      // time-out or spins never gets there, however slow the machine; after 100 frames it is
      // changed anyway, so the test ends and says so.
      std::atomic<bool> slept{false};
      std::atomic<double> changedAt{0.0};
      std::thread worker([&] {
        while (frames.load() <= 100 && !slept) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          slept = frames.load() > 0 && now() - lastEnd.load() >= std::max(1.0, 10 * lastLength.load());
        }
        const int before = frames.load();
        failIfAsleepIn60s("the idle window was never woken\n");  // a lost wake sleeps for good
        mark = next;
        changed = true;
        changedAt = now();
        poll ? pollSees.store(true) : UiHost::wake();
        std::printf("%s: %d frames, then %s\n", what, before, slept ? "asleep" : "no sleep");
      });
      bool ok = true;
      while (ok && !frame(&ok)) {
      }
      worker.join();
      alarm(0);
      ASSERT_TRUE(ok) << what;
      EXPECT_TRUE(slept) << what << ": " << frames.load() << " frames and no sleep while nothing changed";
      std::printf("%s: shown %.3f s after it was made\n", what, lastEnd.load() - changedAt.load());
      // What the window shows, not only what was drawn: the first frame begun after the change
      // put it on screen.
      const std::vector<unsigned char> shown = windowPixelsAsShown(640, 400);
      ASSERT_FALSE(shown.empty()) << "no window to read";
      const size_t at615 = (375 * 640 + 615) * 3;
      EXPECT_EQ(IM_COL32(shown[at615], shown[at615 + 1], shown[at615 + 2], 255), next) << what;
      // The poll waits its interval after a frame and after each look: at most twice a second.
      if (poll)
        EXPECT_LE(polls.load(), 2 * (now() - since) + 1) << "the poll runs twice a second";
      else
        EXPECT_EQ(polls.load(), 0) << what << ": no poll before it is due";
      if (pollSeconds == 30.0) {
        EXPECT_LT(lastEnd.load() - changedAt.load(), 15.0)
            << "the wake did not end the wait: the poll's time did";
      }
    }
    host.shutdown();
  });
}

// A changed frame is drawn again only where it changed (a spinner: its own square), and the
// window then shows exactly what drawing the whole frame shows.
TEST(UiHost, RedrawingTheChangedPartShowsWhatAWholeRedrawShows) {
  inChildProcess([] {
    TestWindow window;
    ASSERT_TRUE(window.open("Partial")) << window.error;
    UiHost& host = window.host;
    float spin = 0.0f, shade = 0.1f;
    auto frame = [&] {
      UiHost::wake();  // an unchanged frame before would leave the loop asleep
      ASSERT_TRUE(window.frame(shade, [&](ImDrawList* list) {
        list->AddRectFilled(ImVec2(20, 20), ImVec2(620, 380), uiThemeCard(), 12.0f);
        for (int line = 0; line < 12; ++line)
          list->AddText(ImVec2(40, 40.0f + 20 * line), uiThemeForeground(), "Checking for updates...");
        uiThemeSpinner(list, ImVec2(400, 200), 24.0f, spin, uiThemeMutedForeground());
        const float x = 300 + 100 * spin;  // a mark that moves on, leaving its old place
        list->AddRectFilled(ImVec2(x, 230), ImVec2(x + 10.5f, 240.5f), uiThemeForeground(), 3.0f);
      }));
    };
    // The picture the window shows, as the X server has it (not the GL stack's buffer).
    auto shown = [] { return windowPixelsAsShown(640, 400); };
    frame();
    for (spin = 0.1f; spin < 1.0f; spin += 0.15f) frame();
    const UiHostStats before = host.stats();
    spin = 1.05f;
    frame();
    const std::vector<unsigned char> partial = shown();
    ASSERT_FALSE(partial.empty()) << "no window to read";
    const uint64_t redrawn = host.stats().pixelsRendered - before.pixelsRendered;
    EXPECT_EQ(host.stats().framesRendered, before.framesRendered + 1);
    if (host.stats().partialRedraw) {
      EXPECT_LT(redrawn, 640u * 400u / 20) << "more than the spinner was drawn";
    }
    // Another clear colour, then the same frame again: both drawn whole.
    shade = 0.3f;
    frame();
    shade = 0.1f;
    frame();
    EXPECT_EQ(host.stats().pixelsRendered - before.pixelsRendered, redrawn + 2u * 640u * 400u);
    if (host.stats().partialRedraw) {
      EXPECT_TRUE(partial == shown()) << "the partly redrawn window differs from a whole redraw";
    }
    host.shutdown();
  });
}

// Automation and remote desktops send a key's press and release together, between two frames:
// each counts once, its release taking effect a frame later.
TEST(UiHost, KeysPressedAndReleasedBetweenTwoFramesCountOnce) {
  inChildProcess([] {
    TestWindow window;
    ASSERT_TRUE(window.open("Keys")) << window.error;
    GLFWwindow* w = glfwGetCurrentContext();
    const ImGuiKey keys[] = {ImGuiKey_Backspace,  ImGuiKey_Delete,  ImGuiKey_Enter,
                             ImGuiKey_Escape,     ImGuiKey_Tab,     ImGuiKey_LeftArrow,
                             ImGuiKey_RightArrow, ImGuiKey_UpArrow, ImGuiKey_DownArrow};
    char text[64] = "";
    bool typing = false, overOpen = false;
    ImVec2 field, dialogField;  // the text field's left middle; a point in the dialog's field
    int presses[ImGuiKey_COUNT] = {};
    auto frames = [&](int count) {
      UiHost::wake();  // the events below come straight in, not through a wait for them
      for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(window.frame(0.1f, [&](ImDrawList*) {
          // A button that opens a dialog, whose first frame is hidden while it sizes itself; the
          // button comes first, so a press on it takes the frame before the field reads its text.
          const ImVec2 start = ImGui::GetCursorPos();
          ImGui::SetCursorPos(ImVec2(20, 300));
          if (ImGui::Button("Open", ImVec2(100, 30))) ImGui::OpenPopup("Dialog");
          overOpen = ImGui::IsItemHovered();
          ImGui::SetCursorPos(start);
          if (ImGui::GetFrameCount() == 1) ImGui::SetKeyboardFocusHere();
          ImGui::InputText("##search", text, sizeof(text));
          typing = ImGui::IsItemActive();
          field =
              ImVec2(ImGui::GetItemRectMin().x, (ImGui::GetItemRectMin().y + ImGui::GetItemRectMax().y) / 2);
          for (ImGuiKey key : keys) presses[key] += ImGui::IsKeyPressed(ImGui::GetKeyIndex(key), false);
          const ImVec2 padding = ImGui::GetStyle().WindowPadding;
          dialogField = ImVec2(200 + padding.x + 250, 120 + padding.y + ImGui::GetFrameHeight() / 2);
          ImGui::SetNextWindowPos(ImVec2(200, 120));
          if (ImGui::BeginPopupModal("Dialog", nullptr,
                                     ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_AlwaysAutoResize)) {
            ImGui::SetNextItemWidth(300);
            ImGui::InputText("##name", text, sizeof(text));
            typing |= ImGui::IsItemActive();
            ImGui::EndPopup();
          }
        }));
      }
    };
    auto tap = [&](int key, int mods = 0) {
      uiHostKeyEvent(w, key, 0, GLFW_PRESS, mods);
      uiHostKeyEvent(w, key, 0, GLFW_RELEASE, mods);
    };
    failIfAsleepIn60s("the window slept with keys held back\n");
    frames(2);
    for (const char* c = "hello"; *c; ++c) uiHostCharEvent(w, static_cast<unsigned char>(*c));
    uiHostKeyEvent(w, GLFW_KEY_LEFT_CONTROL, 0, GLFW_PRESS, GLFW_MOD_CONTROL);
    tap(GLFW_KEY_A, GLFW_MOD_CONTROL);
    uiHostKeyEvent(w, GLFW_KEY_LEFT_CONTROL, 0, GLFW_RELEASE, 0);
    tap(GLFW_KEY_BACKSPACE);
    uiHostCharEvent(w, 'x');
    frames(6);
    EXPECT_STREQ(text, "x") << "hello, all selected and deleted, then x";
    for (ImGuiKey key : keys) {
      const int before = presses[key];
      tap(ImGui::GetIO().KeyMap[key]);
      tap(ImGui::GetIO().KeyMap[key]);  // twice between the same two frames: twice
      frames(5);
      EXPECT_EQ(presses[key] - before, 2) << "key " << ImGui::GetIO().KeyMap[key];
    }
    // Through the X server, each burst sent while the loop is busy, so the next frame's poll reads it
    // whole. Typed live, a chord's modifier reaches a frame before its key, and xdotool lets go of
    // the modifier first. A click behind typed text, a drag's press, moves and release, and a click
    // on a dialog that has just opened each keep their order; a pointer that left hovers nothing;
    // a wheel turned while the pointer moves keeps pace. The window keeps the focus, as under a
    // desktop's window manager.
    const std::string spaced = "a" + std::string(30, ' ') + "bet";
    const std::string at = "xdotool search --name '^Keys$' ";
    auto point = [](ImVec2 p) { return " " + std::to_string(int(p.x)) + " " + std::to_string(int(p.y)); };
    std::string wheel = at + "mousemove --window %1 500 380";
    for (int i = 0; i < 60; ++i) wheel += " mousemove_relative 1 0 click 5";
    struct Burst {
      std::string keys;
      std::string seen;  // the text, then whether a field is active and the pointer is over Open
      int frames = 200;  // by when the burst must have been handed on
    };
    const Burst bursts[] = {
        {at + "windowfocus --sync %1 mousemove --window %1 600 380", " [typing]"},
        {"xdotool type zzqq && xdotool keydown ctrl", "zzqq [typing]"},
        {"xdotool keydown a keyup ctrl keyup a key BackSpace", " [typing]"},
        {"xdotool type zzqq && xdotool keydown shift", "zzqq [typing]"},
        {"xdotool keydown Home keyup shift keyup Home key BackSpace", " [typing]"},
        {"xdotool type '" + spaced + "' && xdotool mousemove 600 380 click 1", spaced},
        {at + "mousemove --window %1" + point(ImVec2(field.x + 2, field.y)) +
             " mousedown 1 mousemove --window %1" + point(ImVec2(600, field.y)) + " mouseup 1 type Z",
         "Z [typing]"},
        {at + "mousemove --window %1 70 315", "Z [typing] [over Open]"},
        {"xdotool type xyz && xdotool mousedown 1", "Zxyz [over Open]"},
        {at + "mousemove --window %1 1000 315 && xdotool mouseup 1", "Zxyz"},
        {at + "mousemove --window %1 70 315", "Zxyz [over Open]"},
        {at + "mousemove --window %1 1000 315", "Zxyz"},
        {wheel, "Zxyz", 2},
        {at + "mousemove --window %1 70 315 mousedown 1 mouseup 1 mousemove --window %1" +
             point(dialogField) + " mousedown 1 mouseup 1 type Quokka",
         "ZxyzQuokka [typing]"},
    };
    auto seen = [&] {
      return std::string(text) + (typing ? " [typing]" : "") + (overOpen ? " [over Open]" : "");
    };
    for (const Burst& burst : bursts) {
      failIfAsleepIn60s("the window slept with keys held back\n");  // a minute for each burst
      ASSERT_EQ(std::system(burst.keys.c_str()), 0) << burst.keys;
      const std::vector<UiInputEvent>& held = uiContextData(false)->heldInput;
      int handedOn = 201;  // more than any limit: still held after the last frame
      for (int i = 0; i < 200 && (i < 5 || !held.empty() || seen() != burst.seen); ++i) {
        frames(1);
        if (held.empty() && handedOn > 200) handedOn = i + 1;
      }
      frames(1);  // reads what the last frame's end handed on
      EXPECT_EQ(seen(), burst.seen) << "after " << burst.keys;
      EXPECT_LE(handedOn, burst.frames) << "frames to hand on " << burst.keys;
      if (burst.frames < 200) std::printf("handed on in %d frames: %.60s...\n", handedOn, burst.keys.c_str());
    }
    window.host.shutdown();
  });
}

}  // namespace
