#include "AnswerReader.h"

#include <cctype>
#include <climits>

int AnswerReader::get() {
    if (!pending_.empty()) {
        const unsigned char c = static_cast<unsigned char>(pending_.back());
        pending_.pop_back();
        return c;
    }
    return std::getc(in_);
}

void AnswerReader::putBack(int c) {
    if (c != EOF) {
        pending_.push_back(static_cast<char>(c));
    }
}

int AnswerReader::skipSpace() {
    int c = get();
    while (c != EOF && std::isspace(c)) {
        c = get();
    }
    return c;
}

AnswerReader::Status AnswerReader::readInt(int& value) {
    const int first = skipSpace();
    if (first == EOF) {
        ended_ = true;
        return Status::EndOfInput;
    }
    int c = first;
    const bool hasSign = c == '-' || c == '+';
    if (hasSign) {
        c = get();
    }
    if (c == EOF || !std::isdigit(c)) {
        if (c == EOF) {
            ended_ = true;
            return Status::EndOfInput;
        }
        putBack(c);
        if (hasSign) {
            putBack(first);
        }
        return Status::NotAnumber;
    }
    // The magnitude saturates just past the range of int, so that any number of digits is
    // taken without overflow.
    const bool negative = first == '-';
    long long magnitude = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    while (c != EOF && std::isdigit(c)) {
        if (magnitude <= limit) {
            magnitude = magnitude * 10 + (c - '0');
        }
        c = get();
    }
    putBack(c);
    if (magnitude > limit) {
        magnitude = limit;
    }
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return Status::Answered;
}

AnswerReader::Status AnswerReader::readWord(std::string& word, std::size_t maxLength) {
    word.clear();
    int c = skipSpace();
    if (c == EOF) {
        ended_ = true;
        return Status::EndOfInput;
    }
    while (c != EOF && !std::isspace(c) && word.size() < maxLength) {
        word.push_back(static_cast<char>(c));
        c = get();
    }
    putBack(c);
    return Status::Answered;
}

AnswerReader& consoleAnswers() {
    static AnswerReader reader(stdin);
    return reader;
}
