#include "AnswerReader.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>

namespace {
using Status = AnswerReader::Status;

// A reader over an in-memory input; the stream is closed with the fixture.
class Answers {
  public:
    explicit Answers(std::string input) : input_(std::move(input)) {
        stream_.reset(fmemopen(input_.empty() ? nullptr : input_.data(),
                               input_.size() + (input_.empty() ? 1 : 0), "r"));
        if (input_.empty()) {
            std::fgetc(stream_.get()); // an empty stream: step over the one placeholder byte
        }
        reader_ = std::make_unique<AnswerReader>(stream_.get());
    }
    AnswerReader& reader() { return *reader_; }

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
    struct Close {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::string input_;
    std::unique_ptr<std::FILE, Close> stream_;
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
