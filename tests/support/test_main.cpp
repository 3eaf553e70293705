// The test programs start as the launcher does: a write to a peer that has gone away fails the
// write, it does not end the program.
#include <gtest/gtest.h>

#include "platform/desktop.h"

int main(int argc, char** argv) {
  ignoreBrokenPipes();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
