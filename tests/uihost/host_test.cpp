#include "uihost/ui_host.h"

#include <gtest/gtest.h>

#include "support/temp_launcher.h"

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

}  // namespace
