#include "core/filereading.h"

#include "support/tempfolder.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

namespace {

using TestSupport::thrownMessage;

TEST(FileReadingTest, ReadsWholeFilesAndRangesAndNamesThePathOnFailure)
{
    TestSupport::TempFolder const folder("filereading");
    auto const path = folder.path() / "node.bin";
    std::ofstream(path, std::ios::binary) << "0123456789";
    EXPECT_EQ(Core::readLocalFile(path), "0123456789");
    EXPECT_EQ(Core::readLocalFile(path, 3, 4), "3456");
    EXPECT_TRUE(Core::readLocalFile(path, 10, 0).empty());

    auto const missing = folder.path() / "missing.bin";
    EXPECT_NE(thrownMessage<std::runtime_error>([&] { Core::readLocalFile(path, 8, 4); }).find(path.generic_string()),
              std::string::npos);
    EXPECT_NE(thrownMessage<std::runtime_error>([&] { Core::readLocalFile(missing); }).find(missing.generic_string()),
              std::string::npos);
}

} // namespace
