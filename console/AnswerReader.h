#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Reads the user's answers from a stream. Characters that are not taken as an answer stay in
// the stream and are what the next question reads first.
//
// A read that the system interrupts is made again, and on a non-blocking stream that has no data
// yet the reader waits until there is some. Any other read error ends the answers as the end of
// the stream does, but is told apart: error() keeps it.
class AnswerReader {
  public:
    enum class Status : std::uint8_t {
        Answered,   // an answer was read
        NotAnumber, // the next characters are not a decimal integer; nothing was taken
        EndOfInput, // the stream ended before an answer
        ReadError   // reading the stream failed before an answer; see error()
    };

    explicit AnswerReader(std::FILE* in) : in_(in) {}

    // Reads a decimal integer as "%d" does: white space skipped, an optional sign, digits.
    // A value beyond the range of int is clamped to INT_MIN or INT_MAX.
    Status readInt(int& value);

    // Reads one word of at most `maxLength` characters, skipping white space before it; what is
    // longer stays for the next read.
    Status readWord(std::string& word, std::size_t maxLength);

    // True once a read has met the end of the stream or a read error before an answer: no more
    // answers will come.
    bool ended() const {
        return ended_;
    }

    // The system's error number of the read that failed, or 0 when none has.
    int error() const {
        return error_;
    }

  private:
    int get();
    void putBack(int c);
    int skipSpace();
    Status endStatus();

    std::FILE* in_;
    std::string pending_; // characters read but not taken, the next one last
    bool ended_ = false;
    int error_ = 0;
};

// The reader of standard input that the whole console shares.
AnswerReader& consoleAnswers();
