// The fuzzer's corpus, replayed as a regular test: every session saved there, whether a seed or
// an input the fuzzer found, must keep the rules of checkAnswerDialogue.
#include "AnswerDialogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {
std::string contentOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string check(const std::string& session) {
    return checkAnswerDialogue(reinterpret_cast<const std::uint8_t*>(session.data()),
                               session.size());
}
} // namespace

TEST(AnswerDialogueCorpus, EverySavedSessionKeepsTheRules) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(WSCONSOLE_FUZZ_CORPUS)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 10u) << "corpus folder " << WSCONSOLE_FUZZ_CORPUS;
    for (const auto& file : files) {
        EXPECT_EQ(check(contentOf(file)), "") << file.filename();
    }
}
