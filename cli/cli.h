// Commands of quorvane-cli and what they share.
#pragma once

// Exit statuses, the same for every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the job would fail, or the file has problems
constexpr int kExitUsage = 2;   // bad arguments, or a file that cannot be opened

int RunFramesCommand(int argc, char** argv);
int RunCheckCommand(int argc, char** argv);
int RunWriteCommand(int argc, char** argv);
int RunPortsCommand(int argc, char** argv);

// 4800, 9600, 19200 or 38400 from its decimal text; 0 for anything else.
long ParseBaud(const char* text);

// Standard output carries raw bytes unchanged (no CR inserted on Windows).
void SetBinaryStdout();
