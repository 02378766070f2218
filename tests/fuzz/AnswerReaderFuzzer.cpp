// libFuzzer entry point: every input is a session typed on the console's standard input.
#include "AnswerDialogue.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = checkAnswerDialogue(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "answer dialogue: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
