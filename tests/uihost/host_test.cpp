#include "uihost/ui_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Points DISPLAY somewhere for the test and puts it back afterwards.
class DisplayOverride {
 public:
  explicit DisplayOverride(const char* value) {
    if (const char* old = std::getenv("DISPLAY")) saved_ = old;
    if (value)
      setenv("DISPLAY", value, 1);
    else
      unsetenv("DISPLAY");
  }
  ~DisplayOverride() {
    if (saved_)
      setenv("DISPLAY", saved_->c_str(), 1);
    else
      unsetenv("DISPLAY");
  }

 private:
  std::optional<std::string> saved_;
};

UiHostDesc launcherDesc() {
  UiHostDesc desc;
  desc.title = "ORVO Launcher";
  desc.width = 1180;
  desc.height = 740;
  desc.minWidth = 900;
  desc.minHeight = 560;
  return desc;
}

TEST(UiHost, WithoutADisplayInitializeFailsWithOneSentence) {
  for (const char* display : {static_cast<const char*>(nullptr), ":9731"}) {
    DisplayOverride override(display);
    UiHost host;
    std::string error;
    EXPECT_FALSE(host.initialize(launcherDesc(), &error));
    ASSERT_FALSE(error.empty());
    EXPECT_EQ(error.rfind("No display is available to open the launcher window", 0), 0u) << error;
    EXPECT_EQ(error.back(), '.') << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(host.integration, nullptr);
    // The loop's calls stay safe and say stop; destroying without shutdown is the failure path.
    EXPECT_FALSE(host.beginFrame());
    const float clear[4] = {0, 0, 0, 1};
    EXPECT_FALSE(host.presentFrame(clear));
    EXPECT_FLOAT_EQ(host.dpiScale(), 1.0f);
  }
}

}  // namespace
