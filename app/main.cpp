#include "AnswerReader.h"
#include "ConsoleCodePage.h"
#include "ConsoleWrite.h"
#include "Menu.h"
#include "StandardStreams.h"
#include <wsclient/WebServiceReport.h>

#include <string>
#include <string_view>

namespace {
// The client's messages go through the console's own writes, which count their failures in the
// exit status and keep them in order with the dialogue.
void reportOnConsole(ReportStream stream, std::string_view text) {
    if (stream == ReportStream::Error) {
        writeErr(text);
    } else {
        writeOut(text);
    }
}

// The question offers "y" and "n"; "y" ends the program, and so do "Y" and "yes".
bool isYes(const std::string& answer) {
    return answer == "y" || answer == "Y" || answer == "yes";
}
} // namespace

int main() {
    if (!openClosedStandardStreams()) {
        return 1;
    }
    setReportFunction(&reportOnConsole);
    // A Windows console shows the UTF-8 texts as such while the program runs.
    const ConsoleCodePage utf8Output;
    writeOut("bonjour et bienvenue sur l'interface de test du stagiaire malefique : \n");

    bool quit = false;
    while (!quit) {
        Menu menu;
        menu.run();
        // An input that ended or failed at one of the pass's questions leaves nothing to answer
        // with, and an output that failed leaves nobody to ask.
        if (consoleAnswers().ended() || !consoleWritesOk()) {
            break;
        }
        std::string buffer;
        if (!writeOut("wanna quit? y/n : \n") ||
            consoleAnswers().readWord(buffer, 19) != AnswerReader::Status::Answered ||
            isYes(buffer)) {
            quit = true;
        }
    }
    return consoleExitStatus();
}
