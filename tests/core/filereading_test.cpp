#include "core/filereading.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

namespace {

class FileReadingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mPath = std::filesystem::temp_directory_path() /
                ("morvid-filereading-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".bin");
        std::ofstream(mPath, std::ios::binary) << "0123456789";
    }
    void TearDown() override { std::filesystem::remove(mPath); }

    std::filesystem::path mPath;
};

TEST_F(FileReadingTest, ReadsWholeFileAndRanges)
{
    auto const all = Core::readLocalFile(mPath);
    EXPECT_EQ(all, "0123456789");
    auto const middle = Core::readLocalFile(mPath, 3, 4);
    EXPECT_EQ(middle, "3456");
    EXPECT_TRUE(Core::readLocalFile(mPath, 10, 0).empty());
}

TEST_F(FileReadingTest, ShortReadAndMissingFileNameThePath)
{
    try {
        Core::readLocalFile(mPath, 8, 4);
        FAIL() << "a read past the end must throw";
    } catch (std::runtime_error const& error) {
        EXPECT_NE(std::string(error.what()).find(mPath.generic_string()), std::string::npos) << error.what();
    }
    auto const missing = mPath.generic_string() + ".missing";
    try {
        Core::readLocalFile(missing);
        FAIL() << "a missing file must throw";
    } catch (std::runtime_error const& error) {
        EXPECT_NE(std::string(error.what()).find(missing), std::string::npos) << error.what();
    }
}

} // namespace
