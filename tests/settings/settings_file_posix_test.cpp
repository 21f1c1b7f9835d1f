// The settings file on Linux, through LoadSettings and SaveSettings, in a
// config folder of the test's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "settings.h"

namespace {

class SettingsFilePosix : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quorvane-settings-XXXXXX";
        root = mkdtemp(pattern);
        setenv("XDG_CONFIG_HOME", root.c_str(), 1);
        thePortCode = 0;
        theBaudSelector = 0;
    }
    void TearDown() override { std::system(("rm -rf '" + root + "'").c_str()); }

    std::string Path() const { return root + "/quorvane/KORVIN.INI"; }
    void Write(const std::string& text) const
    {
        std::system(("mkdir -p '" + root + "/quorvane'").c_str());
        std::ofstream(Path(), std::ios::binary) << text;
    }
    std::string Read() const
    {
        std::ifstream file(Path(), std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    std::string root;
};

TEST_F(SettingsFilePosix, NoFileGivesTheDefaults)
{
    LoadSettings();
    EXPECT_EQ(theBaudSelector, 203);
    EXPECT_EQ(thePortCode, 0);
}

TEST_F(SettingsFilePosix, ReadsKeysInAnyCaseWithBlanks)
{
    Write("; quorvane\n[other]\nPORT1=00cd\n\n[ pelmarix ]\n  port1 = 00ca \r\nPort4=\"8002\"\n");
    LoadSettings();
    EXPECT_EQ(theBaudSelector, 202);
    EXPECT_EQ(thePortCode, 0x8002);
}

TEST_F(SettingsFilePosix, SaveMakesTheFolderAndWritesBothKeys)
{
    LoadSettings();
    SaveSettings();
    EXPECT_EQ(Read(), "[PELMARIX]\nPORT1=00cb\nPORT4=0000\n");
    theBaudSelector = 205;
    thePortCode = 0x8001;
    SaveSettings();
    EXPECT_EQ(Read(), "[PELMARIX]\nPORT1=00cd\nPORT4=8001\n");
    LoadSettings();
    EXPECT_EQ(theBaudSelector, 205);
    EXPECT_EQ(thePortCode, 0x8001);
}

TEST_F(SettingsFilePosix, SaveKeepsEverythingElseInTheFile)
{
    Write("; my bench\r\n[other]\r\nPORT1=1\r\n[PELMARIX]\r\nDEVICE=/dev/ttyUSB0\r\nport4=0003\r\n\r\n[last]\r\nx=y");
    theBaudSelector = 204;
    thePortCode = 7;
    SaveSettings();
    EXPECT_EQ(Read(),
              "; my bench\r\n[other]\r\nPORT1=1\r\n[PELMARIX]\r\nDEVICE=/dev/ttyUSB0\r\nPORT4=0007\r\n"
              "PORT1=00cc\r\n\r\n[last]\r\nx=y");
}

TEST_F(SettingsFilePosix, ASectionOfItsOwnIsAddedAtTheEnd)
{
    Write("[other]\nkey=value");
    theBaudSelector = 203;
    SaveSettings();
    EXPECT_EQ(Read(), "[other]\nkey=value\n[PELMARIX]\nPORT1=00cb\nPORT4=0000\n");
}

TEST_F(SettingsFilePosix, OtherKeysOfTheSectionThroughTheStore)
{
    SettingsStore store = PlatformSettingsStore();
    store.writeText(store.context, "DEVICE", "/dev/ttyACM0");
    char text[64];
    store.readText(store.context, "device", "", text, sizeof text);
    EXPECT_STREQ(text, "/dev/ttyACM0");
    store.readText(store.context, "MISSING", "0000", text, sizeof text);
    EXPECT_STREQ(text, "0000");
}

}  // namespace
