#pragma once

// While it lives, the console shows the program's output as UTF-8, the encoding of its texts
// ("é" among them), without changing a byte of them. The console's previous output code page
// comes back when it goes, and also when Ctrl-C or closing the window ends the program.
// Only Windows consoles have an output code page; elsewhere it does nothing.
class ConsoleCodePage {
  public:
    ConsoleCodePage();
    ~ConsoleCodePage(); // NOLINT(performance-trivially-destructible): Windows restores here
    ConsoleCodePage(const ConsoleCodePage&) = delete;
    ConsoleCodePage& operator=(const ConsoleCodePage&) = delete;
};
