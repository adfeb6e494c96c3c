#include <gtest/gtest.h>

#include "settings.h"
#include "temp_files.h"

namespace {

TEST(Settings, FirstByteGivesInstallerId)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> content;
        int installerId;
    };
    const Case cases[] = {
        {"\"0\"", {'0'}, 0},     {"\"1\"", {'1'}, 1},
        {"\"7\"", {'7'}, 7},     {"\"A\"", {'A'}, 17},
        {"\"/\"", {'/'}, -1},    {"0xFF", {0xFF}, -49},
        {"0xAF", {0xAF}, 127},   {"0xB0", {0xB0}, -128},
        {"empty file", {}, -48}, {"\"12\": only the first byte counts", {'1', '2'}, 1},
    };
    TempDirectory directory;
    for (const Case& c : cases) {
        const Settings settings = ReadSettings(directory.Write("zef_installer.ini", c.content).c_str());
        EXPECT_TRUE(settings.present) << c.what;
        EXPECT_EQ(settings.installerId, c.installerId) << c.what;
    }
}

TEST(Settings, AbsentFileGivesZeroWithoutLog)
{
    TempDirectory directory;
    const Settings settings = ReadSettings(directory.Path("missing.ini").c_str());
    EXPECT_FALSE(settings.present);
    EXPECT_EQ(settings.installerId, 0);
}

}  // namespace
