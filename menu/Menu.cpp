#include "Menu.h"

#include "AnswerReader.h"
#include "ConsoleWrite.h"
#include "Endpoints.h"

#include <string>

namespace {
// Shows `url` and reads the confirmation: only 1 confirms it.
bool confirmEndpoint(const std::string& url) {
    if (!writeOut("quelle URL appeler ? \n " + url + " tapez 1 \n")) {
        return false;
    }
    int buffer2 = 0;
    consoleAnswers().readInt(buffer2);
    return buffer2 == 1;
}
} // namespace

void Menu::run() {
    const std::string whatToDo = "que voulez vous faire ? : \n appeller le web service avec un "
                                 "message (tapez 1) \n appeler le web service avec une image "
                                 "(tapez 2) \n ";
    // A question that could not be shown is not asked: the program is about to end.
    if (!writeOut(whatToDo)) {
        return;
    }

    int buffer = 0;
    consoleAnswers().readInt(buffer);
    if (buffer == 1) {
        if (confirmEndpoint(messageEndpoint)) {
            callWithMessage(messageEndpoint);
        }
    } else if (buffer == 2) {
        if (confirmEndpoint(imageEndpoint)) {
            callWithImage(imageEndpoint);
        }
    }
}
