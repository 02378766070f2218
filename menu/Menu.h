#pragma once

#include <string>

// One pass of the console: shows the menu, reads the choice and the endpoint confirmation, and
// makes the chosen call. It keeps nothing between passes; every pass uses a fresh Menu.
class Menu {
  public:
    void run();

    // Sends the JSON document {"page":"unIDdepage"} as the text field "message" to `url` and
    // writes the answer.
    void callWithMessage(std::string url);

    // Sends the two image files as the file fields "file" and "file2" to `url` and writes the
    // answer.
    void callWithImage(std::string url);
};
