// The settings through the real private-profile file: "KORVIN.INI" in the
// Windows directory, as the program finds and leaves it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "settings.h"

namespace {

std::string SettingsPath()
{
    char folder[MAX_PATH];
    UINT length = GetWindowsDirectoryA(folder, sizeof folder);
    return std::string(folder, length) + "\\" + kSettingsFile;
}

// The profile functions may keep a file cached; this makes them read it anew.
void ForgetCachedProfile() { WritePrivateProfileStringA(nullptr, nullptr, nullptr, kSettingsFile); }

void RemoveSettingsFile()
{
    DeleteFileA(SettingsPath().c_str());
    ForgetCachedProfile();
}

void WriteSettingsFile(const std::string& content)
{
    RemoveSettingsFile();
    FILE* file = std::fopen(SettingsPath().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
    ForgetCachedProfile();
}

// The file's lines without their line ends; empty when there is no file.
std::vector<std::string> SettingsFileLines()
{
    ForgetCachedProfile();
    std::vector<std::string> lines;
    FILE* file = std::fopen(SettingsPath().c_str(), "rb");
    if (!file) return lines;
    std::string line;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += char(c);
        }
    }
    if (!line.empty()) lines.push_back(line);
    std::fclose(file);
    return lines;
}

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveSettingsFile();
        thePortCode = 0;
        theBaudSelector = 0;
    }
    void TearDown() override { RemoveSettingsFile(); }
};

TEST_F(SettingsFile, NoFileGivesNineThousandSixHundredAndNoPort)
{
    LoadSettings();
    EXPECT_EQ(theBaudSelector, 203);
    EXPECT_EQ(thePortCode, 0);
    EXPECT_TRUE(SettingsFileLines().empty()) << "loading must not create the file";
}

TEST_F(SettingsFile, LoadsWhatTheFileSays)
{
    const struct {
        const char* content;
        uint32_t baud, port;
    } rows[] = {
        {"[PELMARIX]\r\nPORT1=00ca\r\nPORT4=8002\r\n", 202, 0x8002},
        {"[PELMARIX]\nPORT4=00031\nPORT1=CD\n", 205, 3},
        {"[PELMARIX]\r\nPORT1=00c9\r\nPORT4=0001\r\n", 203, 0},
        {"[PELMARIX]\r\nPORT1=\r\nPORT4=0003\r\n", 203, 0},
        {"[PELMARIX]\r\nPORT1=00cc\r\n", 204, 0},
        {"[OTHER]\r\nPORT1=00ca\r\nPORT4=0003\r\n", 203, 0},
        {"[PELMARIX]\r\nPORT1=0xcb\r\nPORT4=ffff\r\n", 203, 0xffff},
    };
    for (const auto& row : rows) {
        WriteSettingsFile(row.content);
        thePortCode = 0;
        theBaudSelector = 0;
        LoadSettings();
        EXPECT_EQ(theBaudSelector, row.baud) << row.content;
        EXPECT_EQ(thePortCode, row.port) << row.content;
    }
}

TEST_F(SettingsFile, SaveWithoutAFileCreatesItInTheWindowsFolder)
{
    LoadSettings();
    SaveSettings();
    EXPECT_EQ(SettingsFileLines(), (std::vector<std::string>{"[PELMARIX]", "PORT1=00cb", "PORT4=0000"}));
}

TEST_F(SettingsFile, SaveWritesBothKeysEvenWhenNothingChanged)
{
    WriteSettingsFile("[PELMARIX]\r\nPORT1=CD\r\nPORT4=00031\r\n");
    LoadSettings();
    SaveSettings();
    EXPECT_EQ(SettingsFileLines(), (std::vector<std::string>{"[PELMARIX]", "PORT1=00cd", "PORT4=0003"}));
}

TEST_F(SettingsFile, SaveKeepsTheRestOfTheFile)
{
    WriteSettingsFile("[OTHER]\r\nX=1\r\n[PELMARIX]\r\nPORT4=0003\r\nPORT1=00ca\r\n");
    LoadSettings();
    thePortCode = 0x8001;
    SaveSettings();
    EXPECT_EQ(SettingsFileLines(),
              (std::vector<std::string>{"[OTHER]", "X=1", "[PELMARIX]", "PORT4=8001", "PORT1=00ca"}));
}

}  // namespace
