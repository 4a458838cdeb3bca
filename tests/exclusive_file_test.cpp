#include "held_file.h"
#include "package_files.h"
#include "platform/exclusive_file.h"

#include <gtest/gtest.h>

namespace {

TEST(ExclusiveFile, AFileHeldByAnotherProgramCannotBeOpened) {
    TempFolder folder;
    const auto path = folder / "held.qeff";
    WriteBytes(path, BuildPackage(SamplePackage()));
    {
        HeldFile other(path);
        ASSERT_TRUE(other.Held());
        EXPECT_EQ(OpenFileExclusive(path.string()), nullptr);
    }
    const auto mine = OpenFileExclusive(path.string());
    ASSERT_NE(mine, nullptr);
    EXPECT_FALSE(FreeToHold(path)) << "while we hold it, nobody else may";
    EXPECT_EQ(mine->Size(), BuildPackage(SamplePackage()).size());
}

TEST(ExclusiveFile, ReadsTheWholeFileFromItsStartEveryTime) {
    TempFolder folder;
    const auto path = folder / "p.qeff";
    const auto bytes = CountingPayload(10000);
    WriteBytes(path, bytes);
    const auto file = OpenFileExclusive(path.string());
    ASSERT_NE(file, nullptr);
    std::vector<std::uint8_t> first(100), all(bytes.size() + 10);
    EXPECT_EQ(file->ReadFromStart(first), 100u);
    EXPECT_EQ(file->ReadFromStart(all), bytes.size()) << "a read past the end stops at the end";
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), all.begin()));
}

TEST(ExclusiveFile, MissingFilesAndFoldersDoNotOpen) {
    TempFolder folder;
    EXPECT_EQ(OpenFileExclusive((folder / "absent.qeff").string()), nullptr);
    EXPECT_EQ(OpenFileExclusive(folder.Path().string()), nullptr);
}

}  // namespace
