// The portable rules of walking a path without following links.
#include "tinylib/plain_path.h"

#include <gtest/gtest.h>

#include <string>

TEST(PlainPath, AReparsePointIsALinkWhateverElseItIs) {
  EXPECT_EQ(PathKindOfAttributes(0xFFFFFFFF), kPathMissing);
  EXPECT_EQ(PathKindOfAttributes(0x10), kPathFolder);
  EXPECT_EQ(PathKindOfAttributes(0x20), kPathFile);
  EXPECT_EQ(PathKindOfAttributes(0x410), kPathLink);  // a junction
  EXPECT_EQ(PathKindOfAttributes(0x420), kPathLink);  // a file symbolic link
  EXPECT_EQ(PathKindOfAttributes(0x12), kPathFolder);  // hidden
}

TEST(PlainPath, LinksAreDroppedOnlyWhereTheInstallerOwnsTheFolders) {
  for (uint32_t flags : {0u, 1u * kChainMake}) {
    EXPECT_EQ(DecideChainStep(kPathFolder, flags), kStepEnter);
    EXPECT_EQ(DecideChainStep(kPathLink, flags), kStepRefuse);
    EXPECT_EQ(DecideChainStep(kPathFile, flags), kStepRefuse);
    EXPECT_EQ(DecideChainStep(kPathLink, flags | kChainOwned), kStepDrop);
    EXPECT_EQ(DecideChainStep(kPathFile, flags | kChainOwned), kStepDrop);
  }
  EXPECT_EQ(DecideChainStep(kPathMissing, 0), kStepStop);
  EXPECT_EQ(DecideChainStep(kPathMissing, kChainOwned), kStepStop);
  EXPECT_EQ(DecideChainStep(kPathMissing, kChainMake), kStepMake);
}

TEST(PlainPath, FolderCutsNameEveryFolderBelowTheTrustedPart) {
  const char* path = "C:\\inst\\Pellinor.staging\\new\\data\\x.dll";
  int base = 8;  // "C:\inst\"
  int cuts[8];
  ASSERT_EQ(FolderCuts(path, base, cuts, 8), 3);
  std::string text(path);
  EXPECT_EQ(text.substr(0, cuts[0]), "C:\\inst\\Pellinor.staging");
  EXPECT_EQ(text.substr(0, cuts[1]), "C:\\inst\\Pellinor.staging\\new");
  EXPECT_EQ(text.substr(0, cuts[2]), "C:\\inst\\Pellinor.staging\\new\\data");
  EXPECT_EQ(FolderCuts(path, base, cuts, 2), -1) << "deeper than the room: refused, not cut";
  EXPECT_EQ(FolderCuts("C:\\inst\\x.dll", base, cuts, 8), 0);
  EXPECT_EQ(FolderCuts("C:\\inst\\a\\\\b\\", base, cuts, 8), 2) << "empty components end nothing";
  // From the root: every folder, the drive part included.
  ASSERT_EQ(FolderCuts("C:\\a\\b\\", 3, cuts, 8), 2);
  EXPECT_EQ(cuts[0], 4);
}
