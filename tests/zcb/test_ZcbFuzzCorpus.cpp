// Replays the fuzz seed corpora (fuzz/corpus/parse, fuzz/corpus/utils) through the
// same property checks the fuzz targets apply, in the normal build: every input the
// fuzzers ever kept, or that once broke something, stays checked.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/FuzzChecks.hpp"
#include "support/TestSupport.hpp"

namespace {

namespace fs = std::filesystem;

fs::path CorpusDir(const char *name)
{
    return fs::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "corpus" / name;
}

std::vector<fs::path> CorpusFiles(const char *name)
{
    std::vector<fs::path> files;
    std::error_code       ec;
    for (const auto &entry : fs::directory_iterator(CorpusDir(name), ec))
    {
        if (entry.is_regular_file())
            files.push_back(entry.path());
    }
    return files;
}

std::string ReadFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using Check = std::string (*)(const uint8_t *, size_t);

void Replay(const char *name, Check check)
{
    std::vector<fs::path> files = CorpusFiles(name);
    ASSERT_GE(files.size(), 8u) << "corpus " << CorpusDir(name) << " is missing or nearly empty";
    for (const fs::path &file : files)
    {
        std::string data = ReadFile(file);
        EXPECT_EQ("", check(reinterpret_cast<const uint8_t *>(data.data()), data.size())) << file.filename();
    }
}

class ZcbFuzzCorpusTest : public ::testing::Test
{
protected:
    // Every statement formatted, none printed, as in the fuzz targets.
    LogCapture log_{0};
};

TEST_F(ZcbFuzzCorpusTest, ParseCorpusKeepsItsProperties) { Replay("parse", zcbfuzz::CheckParse); }

TEST_F(ZcbFuzzCorpusTest, UtilsCorpusKeepsItsProperties) { Replay("utils", zcbfuzz::CheckUtils); }

// The checks themselves must catch a broken frame: a good frame passes, and the same
// frame seen with a forged CRC by the watching hook is reported.
TEST_F(ZcbFuzzCorpusTest, ChecksRejectAForgedFrame)
{
    std::vector<zcbfuzz::SeenFrame> frames;
    std::string                     failure;
    zcbfuzz::WatchedParse("<zvsper-uLeaveAck>{00:dce5}", frames, failure);
    EXPECT_EQ("", failure);
    ASSERT_EQ(1u, frames.size());

    zcbfuzz::ParseRun run{"<zvsper-uLeaveAck>{00:dce6}", {}, {}};
    ZcbIncomingMsg    forged{kZcbMsg_uLeaveAck, "00:dce6", 0, 0xdce6};
    zcbfuzz::WatchHook(forged, &run);
    EXPECT_NE(std::string::npos, run.failure.find("bad CRC")) << run.failure;
}

} // namespace
