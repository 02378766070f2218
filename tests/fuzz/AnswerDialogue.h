#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Plays the console's dialogue over `input` as if it were typed on standard input, with an
// AnswerReader over an in-memory stream: the choice, the endpoint confirmation after a choice of
// 1 or 2, then the quit question (a word of at most 19 characters), pass after pass, until the
// input ends or the quit answer is "y", "Y" or "yes". Whatever input is left is then read to
// its end, a number then a word at a time. Every answer is compared with what the bytes
// themselves say it must be, and the reader's state with the answers it gave. Returns an empty
// string when every rule held, otherwise a description of the first one broken.
std::string checkAnswerDialogue(const std::uint8_t* input, std::size_t size);
