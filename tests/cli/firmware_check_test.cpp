// The strict check reads the lines the worker reads: for awkward files, its
// forecast of the job (frames, bytes, data, where and why it ends) is what
// the worker really does.
#include <gtest/gtest.h>

#include <string>

#include "cli.h"
#include "scripted_port.h"

namespace {

using namespace quorvane_test;

const std::string kData = "S1130000285F245F2212226A000424290008237C2A";
const std::string kLongest = "S3FF00000000" + std::string(500, '7') + "00";  // 514 characters

struct AwkwardFile {
    const char* what;
    std::string text;
};

TEST(FirmwareCheck, ForecastsWhatTheWorkerDoes)
{
    const AwkwardFile files[] = {
        {"CR LF", "S00600004844521B\r\n" + kData + "\r\nS9030000FC\r\n"},
        {"no final line end", kData + "\nS9030000FC"},
        {"data last, no line end", kData + "\n" + kData},
        {"NUL byte in a record", kData + std::string("\nS1050000AB\0CD\n", 15) + kData + "\nS9030000FC\n"},
        {"NUL byte ending a record", std::string("S10400005\0" "7\nS9030000FC\n", 23)},
        {"514-character records", kLongest + "\r\n" + kLongest + "\nS9030000FC\n"},
        {"overlong line", kData + "\n" + kLongest + "XYZ\n" + kData + "\nS9030000FC\n"},
        {"rejected line", kData + "\nhello\nS9030000FC\n"},
        {"lines after the end", kData + "\nS9030000FC\nS1 garbage\n" + kLongest + kLongest + "\n"},
        {"empty", ""},
    };
    for (const AwkwardFile& file : files) {
        SCOPED_TRACE(file.what);
        std::string bytes = file.text;
        static FirmwareCheck check;
        CheckFirmware({&bytes[0], bytes.size(), false, ""}, check);

        ScriptedPort port;
        AnswerEveryFrame(port);
        WriteJob job;
        WriteOutcome outcome = RunScripted(port, file.text, 1, 0, &job);
        EXPECT_EQ(check.jobFailure == WriteFailure::None, outcome == WriteOutcome::End);
        EXPECT_EQ(check.jobFailure, job.failure);
        EXPECT_EQ(check.jobLine, job.line);
        EXPECT_EQ(check.frames, job.frames);
        EXPECT_EQ(check.frameData, (unsigned long long)job.total);
        size_t controls = outcome == WriteOutcome::End ? 2 : 1;
        EXPECT_EQ(check.frameBytes + controls * kControlSequenceSize, port.wire.size());
    }
}

}  // namespace
