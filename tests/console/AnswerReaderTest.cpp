#include "AnswerReader.h"
#include "InputStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {
using Status = AnswerReader::Status;

// A reader over an in-memory input; the stream is closed with the fixture.
class Answers {
  public:
    explicit Answers(std::string input) : stream_(std::move(input)) {
        reader_ = std::make_unique<AnswerReader>(stream_.get());
    }
    AnswerReader& reader() {
        return *reader_;
    }

    int number() {
        int value = 0;
        EXPECT_EQ(reader_->readInt(value), Status::Answered);
        return value;
    }
    std::string word(std::size_t maxLength = 19) {
        std::string value;
        EXPECT_EQ(reader_->readWord(value, maxLength), Status::Answered);
        return value;
    }

  private:
    InputStream stream_;
    std::unique_ptr<AnswerReader> reader_;
};
} // namespace

TEST(AnswerReader, ReadsDecimalIntegersAsPercentD) {
    Answers answers(" 1\n\t-7 +3 0002 -0");
    EXPECT_EQ(answers.number(), 1);
    EXPECT_EQ(answers.number(), -7);
    EXPECT_EQ(answers.number(), 3);
    EXPECT_EQ(answers.number(), 2);
    EXPECT_EQ(answers.number(), 0);
    EXPECT_FALSE(answers.reader().ended());
}

TEST(AnswerReader, ClampsNumbersBeyondTheRangeOfInt) {
    Answers answers("2147483647 2147483648 -2147483648 -2147483649 "
                    "99999999999999999999999999999999999999 -00000000000000000000001 4294967297");
    EXPECT_EQ(answers.number(), INT_MAX);
    EXPECT_EQ(answers.number(), INT_MAX);
    EXPECT_EQ(answers.number(), INT_MIN);
    EXPECT_EQ(answers.number(), INT_MIN);
    EXPECT_EQ(answers.number(), INT_MAX);
    EXPECT_EQ(answers.number(), -1);
    EXPECT_EQ(answers.number(), INT_MAX); // 2^32 + 1 must not wrap around to 1
}

TEST(AnswerReader, LeavesWhatIsNotANumberForTheNextQuestion) {
    Answers answers("abc -x ++1 12y");
    int value = 5;
    EXPECT_EQ(answers.reader().readInt(value), Status::NotAnumber);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(answers.word(), "abc");
    EXPECT_EQ(answers.reader().readInt(value), Status::NotAnumber);
    EXPECT_EQ(answers.word(), "-x");
    EXPECT_EQ(answers.reader().readInt(value), Status::NotAnumber);
    EXPECT_EQ(answers.word(), "++1");
    EXPECT_EQ(answers.number(), 12);
    EXPECT_EQ(answers.word(), "y");
}

TEST(AnswerReader, ReadsWordsOfAtMostTheGivenLengthAndLeavesTheRest) {
    Answers answers("1 1 y\nabcdefghijklmnopqrstuvwxyz n");
    EXPECT_EQ(answers.number(), 1);
    EXPECT_EQ(answers.number(), 1);
    EXPECT_EQ(answers.word(), "y");
    EXPECT_EQ(answers.word(), "abcdefghijklmnopqrs");
    EXPECT_EQ(answers.word(), "tuvwxyz");
    EXPECT_EQ(answers.word(), "n");
}

TEST(AnswerReader, EndOfInputEndsEveryKindOfQuestion) {
    for (const std::string input : {"", "  \n\t ", "-", "+"}) {
        Answers answers(input);
        int value = 9;
        EXPECT_EQ(answers.reader().readInt(value), Status::EndOfInput) << '"' << input << '"';
        EXPECT_EQ(value, 9);
        EXPECT_TRUE(answers.reader().ended());
        std::string word = "kept?";
        EXPECT_EQ(answers.reader().readWord(word, 19), Status::EndOfInput);
        EXPECT_EQ(word, "");
    }
    Answers lastAnswer("2");
    EXPECT_EQ(lastAnswer.number(), 2);
    EXPECT_FALSE(lastAnswer.reader().ended()); // an answer right at the end still counts
}

#ifdef __GLIBC__ // glibc: fopencookie
namespace {
// One read of a scripted stream: some text, or a failure with the error number `error`.
struct ReadStep {
    const char* text;
    int error;
};

ssize_t readScripted(void* cookie, char* buffer, std::size_t size) {
    auto& steps = *static_cast<std::vector<ReadStep>*>(cookie);
    if (steps.empty()) {
        return 0;
    }
    const ReadStep step = steps.front();
    steps.erase(steps.begin());
    if (step.error != 0) {
        errno = step.error;
        return -1;
    }
    const std::size_t length = std::min(size, std::strlen(step.text));
    std::memcpy(buffer, step.text, length);
    return static_cast<ssize_t>(length);
}
} // namespace

TEST(AnswerReader, RetriesAnInterruptedReadAndStopsAtAnyOtherError) {
    const struct {
        std::vector<ReadStep> steps;
        Status numberStatus;
        int number;
        Status wordStatus;
        const char* word;
        int error;
    } cases[] = {
        {{{"1", 0}, {"", EINTR}, {"2 y", 0}}, Status::Answered, 12, Status::Answered, "y", 0},
        // A number that a failed read cut short is no answer, and the stream is not read again.
        {{{"1", 0}, {"", EIO}, {"2 y", 0}}, Status::ReadError, 0, Status::ReadError, "", EIO},
    };
    for (auto test : cases) {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(
            fopencookie(&test.steps, "r", {readScripted, nullptr, nullptr, nullptr}), std::fclose);
        AnswerReader reader(stream.get());
        int number = 0;
        std::string word;
        EXPECT_EQ(reader.readInt(number), test.numberStatus);
        EXPECT_EQ(number, test.number);
        EXPECT_EQ(reader.readWord(word, 19), test.wordStatus);
        EXPECT_EQ(word, test.word);
        EXPECT_EQ(reader.error(), test.error);
    }
}
#endif
