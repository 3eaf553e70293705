#include "projects/project_record.h"

#include <gtest/gtest.h>

namespace {

ProjectRecord stamped(const std::string& name, int64_t lastOpened) {
  ProjectRecord record;
  record.name = name;
  record.lastOpened = lastOpened;
  return record;
}

std::string names(const std::vector<ProjectRecord>& projects) {
  std::string out;
  for (const ProjectRecord& record : projects) out += record.name;
  return out;
}

TEST(ProjectRecordTest, FolderOfAProjectFileIsItsParent) {
  EXPECT_EQ(projectFolderFromPath("/a/b/c.zelvanproj"), "/a/b");
  EXPECT_EQ(projectFolderFromPath("rel/c.zelvanproj"), "rel");
  EXPECT_EQ(projectFolderFromPath("/a/b/c.tar.zelvanproj"), "/a/b");
}

TEST(ProjectRecordTest, OtherPathsAreTheirOwnFolder) {
  EXPECT_EQ(projectFolderFromPath("/a/b/c.txt"), "/a/b/c.txt");
  EXPECT_EQ(projectFolderFromPath("/a/b"), "/a/b");
  EXPECT_EQ(projectFolderFromPath("/a/b/c.ZelvanProj"), "/a/b/c.ZelvanProj");
  EXPECT_EQ(projectFolderFromPath("/a/b/c.zelvanproj.bak"), "/a/b/c.zelvanproj.bak");
  // A name that starts with its only dot has no extension.
  EXPECT_EQ(projectFolderFromPath("/a/b/.zelvanproj"), "/a/b/.zelvanproj");
  EXPECT_EQ(projectFolderFromPath(""), "");
}

TEST(ProjectRecordTest, SortIsNewestFirstAndStable) {
  std::vector<ProjectRecord> projects = {stamped("a", 5), stamped("b", 9), stamped("c", 9), stamped("d", 0)};
  sortProjectsByLastOpened(projects);
  EXPECT_EQ(names(projects), "bcad");

  projects = {stamped("n", -1),        stamped("z", 0),         stamped("p", 1),
              stamped("m", INT64_MIN), stamped("x", INT64_MAX), stamped("z2", 0)};
  sortProjectsByLastOpened(projects);
  EXPECT_EQ(names(projects), "xpzz2nm");
}

}  // namespace
