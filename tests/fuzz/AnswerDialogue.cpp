#include "AnswerDialogue.h"

#include "AnswerReader.h"
#include "InputStream.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace {
using Status = AnswerReader::Status;

// The longest answer the console's quit question takes.
constexpr std::size_t quitWordLength = 19;

// White space and digits as the "C" locale has them, written out so that the expectations do
// not share a character test with the reader.
bool isSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

bool isYes(const std::string& answer) {
    return answer == "y" || answer == "Y" || answer == "yes";
}

const char* statusName(Status status) {
    switch (status) {
    case Status::Answered:
        return "Answered";
    case Status::NotAnumber:
        return "NotAnumber";
    case Status::EndOfInput:
        return "EndOfInput";
    case Status::ReadError:
        return "ReadError";
    }
    return "?";
}

// The bytes quoted, with those that are not printable as \xNN.
std::string quoted(const std::string& bytes) {
    std::string shown = "\"";
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            shown.push_back(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        }
    }
    return shown + "\"";
}

// What a read must give.
struct Expected {
    Status status = Status::EndOfInput;
    int value = 0;
    std::string word;
};

// The answers worked out on the bytes themselves, with a cursor at the first byte not yet
// taken: a read skips white space, then takes an answer or, for a number that is not there,
// leaves the characters after the white space in place.
class Script {
  public:
    Script(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

    std::size_t taken() const {
        return at_;
    }

    Expected nextNumber() {
        skipSpace();
        if (at_ == size_) {
            return {};
        }
        std::size_t digits = at_;
        if (bytes_[digits] == '+' || bytes_[digits] == '-') {
            ++digits;
        }
        if (digits == size_) {
            at_ = size_;
            return {};
        }
        std::size_t end = digits;
        while (end < size_ && isDigit(bytes_[end])) {
            ++end;
        }
        if (end == digits) {
            return {Status::NotAnumber, 0, {}};
        }
        // strtoll saturates at the range of long long, which is wider than int's.
        const std::string number(bytes_ + at_, bytes_ + end);
        const long long parsed = std::strtoll(number.c_str(), nullptr, 10);
        at_ = end;
        return {Status::Answered,
                static_cast<int>(std::clamp<long long>(parsed, INT_MIN, INT_MAX)),
                {}};
    }

    Expected nextWord(std::size_t maxLength) {
        skipSpace();
        if (at_ == size_) {
            return {};
        }
        std::size_t end = at_;
        while (end < size_ && !isSpace(bytes_[end]) && end - at_ < maxLength) {
            ++end;
        }
        Expected expected{Status::Answered, 0, std::string(bytes_ + at_, bytes_ + end)};
        at_ = end;
        return expected;
    }

  private:
    void skipSpace() {
        while (at_ < size_ && isSpace(bytes_[at_])) {
            ++at_;
        }
    }

    const std::uint8_t* bytes_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Asks the reader and the script the same questions and keeps the first disagreement.
class Dialogue {
  public:
    Dialogue(AnswerReader& reader, Script& script) : reader_(reader), script_(script) {}

    const std::string& fault() const {
        return fault_;
    }
    std::size_t taken() const {
        return script_.taken();
    }
    bool ended() const {
        return reader_.ended();
    }

    // A number; 0, as the console's own variables start, when none was answered.
    Status number(const char* question, int& answer) {
        constexpr int untouched = -424242;
        int value = untouched;
        const Status status = reader_.readInt(value);
        const Expected expected = script_.nextNumber();
        checkState(question, status, expected.status);
        if (status == Status::Answered && value != expected.value) {
            fail(question, "read " + std::to_string(value) + ", the input says " +
                               std::to_string(expected.value));
        } else if (status != Status::Answered && value != untouched) {
            fail(question, "changed the value to " + std::to_string(value) + " without an answer");
        }
        answer = status == Status::Answered ? value : 0;
        return status;
    }

    Status word(const char* question, std::string& answer) {
        answer = "untouched";
        const Status status = reader_.readWord(answer, quitWordLength);
        const Expected expected = script_.nextWord(quitWordLength);
        checkState(question, status, expected.status);
        if (status != Status::Answered) {
            return status;
        }
        if (answer.size() > quitWordLength) {
            fail(question, "the word " + quoted(answer) + " is longer than " +
                               std::to_string(quitWordLength) + " characters");
        } else if (std::any_of(answer.begin(), answer.end(),
                               [](char c) { return isSpace(static_cast<unsigned char>(c)); })) {
            fail(question, "the word " + quoted(answer) + " holds white space");
        } else if (answer != expected.word) {
            fail(question, "read " + quoted(answer) + ", the input says " + quoted(expected.word));
        }
        return status;
    }

  private:
    void checkState(const char* question, Status status, Status expected) {
        sawEnd_ = sawEnd_ || status == Status::EndOfInput;
        if (status != expected) {
            fail(question, std::string("answered ") + statusName(status) + ", the input says " +
                               statusName(expected));
        } else if (reader_.ended() != sawEnd_) {
            fail(question, sawEnd_ ? "ended() is false after a read met the end"
                                   : "ended() is true though no read met the end");
        }
    }

    void fail(const char* question, const std::string& what) {
        if (fault_.empty()) {
            fault_ =
                std::string(question) + " at byte " + std::to_string(script_.taken()) + ": " + what;
        }
    }

    AnswerReader& reader_;
    Script& script_;
    bool sawEnd_ = false;
    std::string fault_;
};

// The console's passes: menu choice, confirmation of 1 or 2, quit question. Every pass that does
// not end the dialogue takes at least one byte, so the passes are bounded by the input's size.
std::string playConsole(Dialogue& dialogue, std::size_t size) {
    for (std::size_t pass = 0;; ++pass) {
        if (pass > size + 1) {
            return "the dialogue is still going after " + std::to_string(pass) + " passes over " +
                   std::to_string(size) + " bytes";
        }
        const std::size_t before = dialogue.taken();
        int choice = 0;
        dialogue.number("choice", choice);
        if (choice == 1 || choice == 2) {
            int confirmation = 0;
            dialogue.number("confirmation", confirmation);
        }
        if (!dialogue.fault().empty() || dialogue.ended()) {
            return dialogue.fault();
        }
        std::string quit;
        const Status status = dialogue.word("quit", quit);
        if (!dialogue.fault().empty() || status == Status::EndOfInput || isYes(quit)) {
            return dialogue.fault();
        }
        if (dialogue.taken() == before) {
            return "a pass over the input at byte " + std::to_string(before) + " took nothing";
        }
    }
}

// What the console left, read to the end as further questions would, and once past it.
std::string readToTheEnd(Dialogue& dialogue, std::size_t size) {
    for (std::size_t round = 0; !dialogue.ended(); ++round) {
        if (round > size + 1) {
            return "the input is not over after " + std::to_string(round) + " rounds over " +
                   std::to_string(size) + " bytes";
        }
        int number = 0;
        dialogue.number("a later number", number);
        std::string word;
        dialogue.word("a later word", word);
        if (!dialogue.fault().empty()) {
            return dialogue.fault();
        }
    }
    int number = 0;
    dialogue.number("a number past the end", number);
    return dialogue.fault();
}
} // namespace

std::string checkAnswerDialogue(const std::uint8_t* input, std::size_t size) {
    std::unique_ptr<InputStream> stream;
    try {
        stream =
            std::make_unique<InputStream>(std::string(reinterpret_cast<const char*>(input), size));
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    AnswerReader reader(stream->get());
    Script script(input, size);
    Dialogue dialogue(reader, script);
    std::string fault = playConsole(dialogue, size);
    if (fault.empty()) {
        fault = readToTheEnd(dialogue, size);
    }
    return fault;
}
