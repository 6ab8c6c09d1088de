// The setup tool's screen: curses session, progress area, message boxes and menus.
#pragma once

#include "quillschema.h"

#include <string>
#include <string_view>

namespace ui {

// Full-screen terminal mode for the life of the object; the terminal is restored on
// every way out (normal end, exit(), fatal signals).
class Session {
  public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};
// Leaves full-screen mode now (idempotent); used before printing to the console.
void EndScreen();

// Progress area from screen line 6: headings at column 1, items at column 3.
void Progress(quill::Step step, std::string_view text);

void ClearScreen();

// Blanks a screen row and writes text at its start.
void TopLine(std::string_view text, int row = 0);

// A bordered box with a title. The confirming kind waits for Enter (returns 0) or
// Control-C (returns 255); the notice kind returns after any key (0).
int MessageBox(std::string_view title, std::string_view text, bool confirm);

// Yes/no question; true for "Yes".
bool YesNo(std::string_view title);

// The main menu; returns the chosen row of programMesgTable (4 to 7).
int MainMenu();

// Appends a line to the log named by QUILLSETUP_LOG, when set.
void Log(std::string_view line);

} // namespace ui
