// A file that fails part-way: nothing built from a partly read line may reach
// the device. (glibc's custom streams make the failing file.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "scripted_port.h"

namespace {

using namespace quorvane_test;

struct FailingFile {
    std::string text;  // delivered first, then every read fails
    size_t offset;
};

ssize_t ReadThenFail(void* cookie, char* buffer, size_t size)
{
    FailingFile& file = *static_cast<FailingFile*>(cookie);
    if (file.offset == file.text.size()) return -1;
    size_t count = std::min(size, file.text.size() - file.offset);
    std::memcpy(buffer, file.text.data() + file.offset, count);
    file.offset += count;
    return ssize_t(count);
}

WriteOutcome RunOnFailingFile(ScriptedPort& port, const std::string& text, WriteJob& job)
{
    FailingFile failing = {text, 0};
    cookie_io_functions_t functions = {ReadThenFail, nullptr, nullptr, nullptr};
    FILE* file = fopencookie(&failing, "rb", functions);
    PrepareWriteJob(job);
    job.source = file;
    job.seam = SeamFor(port);
    job.ackMode = 1;
    job.answerTimeoutMs = 0;
    port.job = &job;
    WriteOutcome outcome = RunWriteJob(job);
    std::fclose(file);
    return outcome;
}

const std::string kData = "S1130000285F245F2212226A000424290008237C2A\n";

TEST(TransferWorkerReadError, NothingOfAPartlyReadLineIsSent)
{
    const struct {
        const char* what;
        std::string text;
        unsigned long line;
        std::vector<Note> notes;
    } rows[] = {
        {"at the start of a line", kData, 2, {{WriteNote::Progress, 16}, {WriteNote::Error, 0}}},
        // The cut line would still encode ("S1030000" is a complete empty record).
        {"within a line", kData + "S1030000", 2, {{WriteNote::Progress, 16}, {WriteNote::Error, 0}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedPort port;
        AnswerEveryFrame(port);
        WriteJob job;
        EXPECT_EQ(RunOnFailingFile(port, row.text, job), WriteOutcome::Error);
        EXPECT_EQ(job.failure, WriteFailure::FileReadError);
        EXPECT_EQ(job.line, row.line);
        EXPECT_EQ(port.wire, WireFor({kData}, false));
        EXPECT_EQ(port.notes, row.notes);
    }
}

// A stream read in blocks whose last block holds one byte: that byte is
// the last digit of the last frame's data, and it arrives.
TEST(TransferWorkerStream, ALastBlockOfOneByteIsRead)
{
    const std::string header = "S00600004844521B\n";
    std::vector<std::string> lines = {"S00600004844521BXXXX\n"};
    lines.insert(lines.end(), 962, header);
    lines.push_back("S104000057");
    std::string text;
    for (const std::string& line : lines) text += line;
    ASSERT_EQ(text.size(), sizeof(LineReader::block) + 1);
    FILE* file = fmemopen(&text[0], text.size(), "r");
    ScriptedPort port;
    AnswerEveryFrame(port);
    WriteJob job;
    PrepareWriteJob(job);
    job.source = file;
    job.seam = SeamFor(port);
    job.ackMode = 1;
    port.job = &job;
    EXPECT_EQ(RunWriteJob(job), WriteOutcome::Error);
    EXPECT_EQ(job.failure, WriteFailure::FileEnded);
    EXPECT_EQ(port.wire, WireFor(lines, false));
    std::fclose(file);
}

}  // namespace
