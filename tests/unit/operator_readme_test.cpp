// The operator's README.txt says, per first byte of the settings file, what
// a run does; this holds its table to the program's own decisions for
// every byte and for an absent file.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "settings.h"

namespace {

struct Effect {
    bool log;
    bool shutdown;
    bool stamp;
};

struct Row {
    std::string key;  // "no file", "0xNN ...", "0xNN to 0xNN" or "any other byte"
    std::string effect;
};

// Splits "text  more" at its first gap of two or more spaces: {text, more}.
std::pair<std::string, std::string> AtGap(const std::string& line)
{
    const size_t gap = line.find("  ");
    if (gap == std::string::npos)
        return {line, ""};
    return {line.substr(0, gap), line.substr(line.find_first_not_of(' ', gap))};
}

// The rows of the section "The settings file": a row starts two spaces in,
// its key and its effect apart by two or more spaces; lines four spaces in
// go on the row above.
std::vector<Row> SettingsRows(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line) && line != "The settings file") {
    }
    std::vector<Row> rows;
    while (std::getline(file, line) && line.rfind("The log", 0) != 0) {
        if (line.rfind("    ", 0) == 0 && !rows.empty())
            rows.back().effect += " " + AtGap(line.substr(4)).second;
        else if (line.rfind("  ", 0) == 0 && line.size() > 2 && line[2] != ' ')
            rows.push_back({AtGap(line.substr(2)).first, AtGap(line.substr(2)).second});
    }
    return rows;
}

// A key "0xNN ..." or "0xNN to 0xNN": the bytes it names, or {-1, -1}.
std::pair<int, int> Bytes(const std::string& key)
{
    if (key.rfind("0x", 0) != 0)
        return {-1, -1};
    const int low = std::stoi(key.substr(2, 2), nullptr, 16);
    const bool to = key.compare(4, 6, " to 0x") == 0;
    return {low, to ? std::stoi(key.substr(10, 2), nullptr, 16) : low};
}

Effect Said(const std::string& effect)
{
    return {effect.rfind("log", 0) == 0, effect.find("shutdown at the end") != std::string::npos,
            effect.find("version") != std::string::npos};
}

Effect Does(int8_t installerId)
{
    return {true, RequestsShutdown(installerId), StampsImages(installerId)};
}

TEST(OperatorReadme, SettingsTableSaysWhatTheProgramDoes)
{
    const std::vector<Row> rows = SettingsRows(OPERATOR_README);
    ASSERT_EQ(rows.size(), 5u) << "the table's rows in " << OPERATOR_README;
    for (int byte = 0; byte < 256; ++byte) {
        const Row* said = nullptr;
        for (const Row& row : rows) {
            const std::pair<int, int> named = Bytes(row.key);
            if (byte >= named.first && byte <= named.second)
                said = &row;
            else if (row.key == "any other byte" && said == nullptr) {
                said = &row;
            }
        }
        ASSERT_NE(said, nullptr) << "no row for byte " << byte;
        const Effect expected = Said(said->effect),
                     actual = Does(InstallerIdFromByte(static_cast<uint8_t>(byte)));
        EXPECT_EQ(std::make_tuple(actual.log, actual.shutdown, actual.stamp),
                  std::make_tuple(expected.log, expected.shutdown, expected.stamp))
            << "byte 0x" << std::hex << byte << ": the README says \"" << said->effect << "\"";
    }
    ASSERT_EQ(rows.front().key, "no file");
    const Effect absent = Said(rows.front().effect);
    EXPECT_FALSE(absent.log);
    EXPECT_EQ(absent.shutdown, RequestsShutdown(0)) << "an absent file counts as InstallerId 0";
}

}  // namespace
