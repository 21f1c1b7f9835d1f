// The settings file on Linux, in a config folder of the test's own: read
// and written as private-profile files are, every other line kept, and a
// save that can never write anywhere but the settings file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "settings.h"

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

struct Situation {
    const char* name;
    std::string before;     // the file's text; "" for none
    uint32_t baud, port;    // what a load then finds
    std::string after;      // the file once 205/0x8001 are saved
};

TEST(SettingsFile, LoadAndSaveKeepTheRestOfTheFile)
{
    const Situation rows[] = {
        {"no file", "", 203, 0, "[PELMARIX]\nPORT1=00cd\nPORT4=8001\n"},
        {"keys in any case, with blanks and quotes",
         "; bench\n[other]\nPORT1=00cd\n\n[ pelmarix ]\n  port1 = 00ca \r\nPort4=\"8002\"\n", 202, 0x8002,
         "; bench\n[other]\nPORT1=00cd\n\n[ pelmarix ]\nPORT1=00cd\r\nPORT4=8001\r\n"},
        {"everything else kept, CR LF lines",
         "; my bench\r\n[PELMARIX]\r\nDEVICE=/dev/ttyUSB0\r\nport4=0003\r\n\r\n[last]\r\nx=y", 203, 0,
         "; my bench\r\n[PELMARIX]\r\nDEVICE=/dev/ttyUSB0\r\nPORT4=8001\r\nPORT1=00cd\r\n\r\n[last]\r\nx=y"},
        {"a section of its own at the end", "[other]\nkey=value", 203, 0,
         "[other]\nkey=value\n[PELMARIX]\nPORT1=00cd\nPORT4=8001\n"},
    };
    for (const Situation& row : rows) {
        SCOPED_TRACE(row.name);
        char pattern[] = "/tmp/quorvane-settings-XXXXXX";
        std::string root = mkdtemp(pattern);
        setenv("XDG_CONFIG_HOME", root.c_str(), 1);
        std::string path = root + "/quorvane/KORVIN.INI";
        if (!row.before.empty()) {
            mkdir((root + "/quorvane").c_str(), 0700);
            WriteFile(path, row.before);
        }
        thePortCode = 0;
        theBaudSelector = 0;
        LoadSettings();
        EXPECT_EQ(theBaudSelector, row.baud);
        EXPECT_EQ(thePortCode, row.port);
        theBaudSelector = 205;
        thePortCode = 0x8001;
        char error[200] = "";
        EXPECT_TRUE(SaveSettingsTo(PlatformSettingsStore(), error, sizeof error)) << error;
        EXPECT_EQ(ReadFile(path), row.after);
        std::system(("rm -rf '" + root + "'").c_str());
    }
}

// What a save finds around the file: what it writes, and what it leaves.
TEST(SettingsFile, SaveWritesOnlyTheSettingsFile)
{
    char pattern[] = "/tmp/quorvane-settings-XXXXXX";
    std::string root = mkdtemp(pattern);
    std::string folder = root + "/quorvane", path = folder + "/KORVIN.INI", victim = root + "/passwd";
    setenv("XDG_CONFIG_HOME", root.c_str(), 1);
    mkdir(folder.c_str(), 0700);
    char error[200] = "";
    theBaudSelector = 205;
    thePortCode = 3;
    const std::string saved = "[PELMARIX]\nPORT1=00cd\nPORT4=0003\n";

    // Planted links where a careless save would put its temporary file (the
    // save's own name is made at random, exclusively: no one can plant it).
    WriteFile(victim, "root:x:0:0\n");
    for (const char* name : {"/KORVIN.INI.new", "/KORVIN.INI~", "/KORVIN.INI.tmp", "/.KORVIN.INI.tmp"})
        symlink(victim.c_str(), (folder + name).c_str());
    WriteFile(path, "");
    chmod(path.c_str(), 0600);
    ASSERT_TRUE(SaveSettingsTo(PlatformSettingsStore(), error, sizeof error)) << error;
    EXPECT_EQ(ReadFile(victim), "root:x:0:0\n");
    struct stat status = {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u) << "the file keeps its mode";
    EXPECT_EQ(std::system(("test $(ls -A '" + folder + "' | wc -l) -eq 5").c_str()), 0) << "a temporary file was left";

    // A settings file that links elsewhere: the target is written, the link stays.
    std::string target = root + "/shared.ini";
    unlink(path.c_str());
    WriteFile(target, "");
    symlink(target.c_str(), path.c_str());
    ASSERT_TRUE(SaveSettingsTo(PlatformSettingsStore(), error, sizeof error)) << error;
    EXPECT_EQ(ReadFile(target), saved);
    EXPECT_EQ(lstat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    std::system(("rm -rf '" + root + "'").c_str());
}

}  // namespace
