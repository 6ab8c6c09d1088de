#include "ui.h"

#include "state.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <menu.h>
#include <unistd.h>
#include <vector>

namespace ui {

namespace {

bool gActive = false;
int gItemLine = -1; // row of the last item, for its result text
int gItemEnd = 0;   // column after the last item's name

constexpr int kFirstProgressLine = 6;
std::string gPending; // the item line being built, for the log

void FlushPending() {
    if (!gPending.empty()) Log(gPending);
    gPending.clear();
}
constexpr int kCtrlC = 3;

void OnFatalSignal(int sig) {
    // Give the terminal back before the default action ends the process.
    if (gActive) {
        endwin();
        gActive = false;
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void Put(int row, int col, std::string_view text) {
    if (row < 0 || row >= LINES || col >= COLS) return;
    mvaddnstr(row, col, text.data(), static_cast<int>(std::min<size_t>(text.size(), COLS - col)));
}

// Splits text at its line breaks and wraps each line at width columns.
std::vector<std::string> Wrap(std::string_view text, size_t width) {
    std::vector<std::string> out;
    if (width == 0) width = 1;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        std::string_view line =
            text.substr(start, nl == std::string_view::npos ? text.npos : nl - start);
        while (line.size() > width) {
            size_t cut = line.rfind(' ', width);
            if (cut == std::string_view::npos || cut == 0) cut = width;
            out.emplace_back(line.substr(0, cut));
            line.remove_prefix(cut);
            while (!line.empty() && line.front() == ' ')
                line.remove_prefix(1);
        }
        out.emplace_back(line);
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }
    return out;
}

WINDOW* CenteredWindow(int rows, int cols, int top) {
    rows = std::min(rows, LINES);
    cols = std::min(cols, COLS);
    if (top < 0) top = 0;
    if (top + rows > LINES) top = LINES - rows;
    WINDOW* w = newwin(rows, cols, top, (COLS - cols) / 2);
    if (w) {
        keypad(w, TRUE);
        box(w, 0, 0);
    }
    return w;
}

// Runs a menu of the given rows until one is chosen; returns its index.
int RunMenu(WINDOW* win, const std::vector<const char*>& rows, int top, int left) {
    std::vector<ITEM*> items;
    for (const char* r : rows)
        items.push_back(new_item(r, ""));
    items.push_back(nullptr);
    MENU* menu = new_menu(items.data());
    set_menu_mark(menu, "");
    menu_opts_off(menu, O_NONCYCLIC);
    int mr = 0, mc = 0;
    scale_menu(menu, &mr, &mc);
    set_menu_win(menu, win);
    WINDOW* sub = derwin(win, mr, mc, top, left);
    set_menu_sub(menu, sub);
    post_menu(menu);
    wrefresh(win);
    int chosen = -1;
    while (chosen < 0) {
        int ch = wgetch(win);
        int req = 0;
        switch (ch) {
        case '\t':
        case 'n':
        case KEY_DOWN:
        case kCtrlC:
            req = REQ_NEXT_ITEM;
            break;
        case 'p':
        case KEY_UP:
            req = REQ_PREV_ITEM;
            break;
        case 10:
        case KEY_ENTER:
        case 361:
            chosen = item_index(current_item(menu));
            continue;
        case ERR:
            // Input gone (terminal closed): take the last row, which always leaves.
            chosen = static_cast<int>(rows.size()) - 1;
            continue;
        default:
            beep();
            continue;
        }
        if (menu_driver(menu, req) != E_OK) beep();
        wrefresh(win);
    }
    unpost_menu(menu);
    free_menu(menu);
    for (ITEM* i : items)
        if (i) free_item(i);
    delwin(sub);
    return chosen;
}

} // namespace

Session::Session() {
    initscr();
    gActive = true;
    // Raw rather than cbreak: Control-C must reach the forms as a key, not end the
    // program with the terminal still in full-screen mode.
    raw();
    noecho();
    keypad(stdscr, TRUE);
    clear();
    refresh();
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV, SIGABRT, SIGBUS, SIGFPE})
        std::signal(sig, OnFatalSignal);
    std::atexit(EndScreen);
}

Session::~Session() {
    EndScreen();
}

void EndScreen() {
    FlushPending();
    if (!gActive) return;
    clear();
    refresh();
    endwin();
    gActive = false;
}

void Log(std::string_view line) {
    const char* path = std::getenv("QUILLSETUP_LOG");
    if (!path || !*path) return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%.*s\n", static_cast<int>(line.size()), line.data());
        std::fclose(f);
    }
}

void Progress(quill::Step step, std::string_view text) {
    switch (step) {
    case quill::Step::Clear:
        FlushPending();
        clear();
        ProgressLine = kFirstProgressLine;
        gItemLine = -1;
        break;
    case quill::Step::Heading:
    case quill::Step::Item: {
        FlushPending();
        bool heading = step == quill::Step::Heading;
        if (ProgressLine < kFirstProgressLine || ProgressLine >= LINES - 1)
            ProgressLine = kFirstProgressLine;
        move(ProgressLine, 0);
        clrtoeol();
        int col = heading ? 1 : 3;
        Put(ProgressLine, col, text);
        gItemLine = heading ? -1 : ProgressLine;
        gItemEnd = col + static_cast<int>(text.size());
        ++ProgressLine;
        if (heading)
            Log(" " + std::string(text));
        else
            gPending = "   " + std::string(text);
        break;
    }
    case quill::Step::Result:
        if (gItemLine >= 0) Put(gItemLine, gItemEnd, text);
        gPending += text;
        FlushPending();
        break;
    }
    refresh();
}

void ClearScreen() {
    clear();
    refresh();
}

void TopLine(std::string_view text, int row) {
    move(row, 0);
    clrtoeol();
    Put(row, 0, text);
    refresh();
    if (!text.empty()) Log(text);
}

int MessageBox(std::string_view title, std::string_view text, bool confirm) {
    const int rows = std::min(10, LINES);
    const int cols = std::min(70, COLS);
    int top = std::min(confirm ? 10 : 11, std::max(0, LINES - rows));
    int left = std::min(40, std::max(0, COLS - cols));
    WINDOW* w = newwin(rows, cols, top, left);
    if (!w) return confirm ? 255 : 0;
    keypad(w, TRUE);
    box(w, 0, 0);
    if (!title.empty()) {
        std::string t = " " + std::string(title) + " ";
        mvwaddnstr(w, 0, 2, t.c_str(), std::max(0, cols - 4));
    }
    if (!title.empty()) Log(title);
    int row = 1;
    for (const std::string& line : Wrap(text, static_cast<size_t>(std::max(1, cols - 4)))) {
        if (row >= rows - 2) break;
        mvwaddnstr(w, row++, 2, line.c_str(), cols - 4);
        Log(line);
    }
    const char* prompt =
        confirm ? "Press Enter to continue or <CTRL-C> to abort" : "Press any key to terminate";
    mvwaddnstr(w, confirm ? std::min(8, rows - 2) : std::min(row, rows - 2), 2, prompt, cols - 4);
    Log(prompt);
    wrefresh(w);
    int result = 0;
    for (;;) {
        int ch = wgetch(w);
        if (!confirm) break;
        if (ch == 10 || ch == 13 || ch == 367 || ch == KEY_ENTER) break;
        if (ch == kCtrlC || ch == ERR) {
            result = 255;
            break;
        }
    }
    delwin(w);
    touchwin(stdscr);
    refresh();
    return result;
}

bool YesNo(std::string_view title) {
    const int menuRows = 2;
    std::string t(title);
    WINDOW* w = CenteredWindow(menuRows + 3, static_cast<int>(t.size()) + 3, LINES - menuRows - 6);
    if (!w) return false;
    mvwaddnstr(w, 1, 2, t.c_str(), getmaxx(w) - 3);
    Log(t);
    int chosen = RunMenu(w, {"Yes", "No"}, 2, 2);
    delwin(w);
    touchwin(stdscr);
    refresh();
    return chosen == 0;
}

int MainMenu() {
    std::vector<const char*> rows{
        quill::Text(quill::kMsgMenuAddSchema), quill::Text(quill::kMsgMenuRemoveSchema),
        quill::Text(quill::kMsgMenuConfigure), quill::Text(quill::kMsgMenuExit)};
    int width = 0;
    for (const char* r : rows)
        width = std::max(width, static_cast<int>(std::strlen(r)));
    const int menuRows = static_cast<int>(rows.size());
    WINDOW* help = newwin(4, COLS, std::max(0, LINES - 4), 0);
    if (help) {
        box(help, 0, 0);
        mvwaddnstr(help, 1, 2, "Press <TAB> or the arrow keys to switch fields, <ENTER> to accept,",
                   COLS - 4);
        mvwaddnstr(help, 2, 2, "<SPACE> to switch between options", COLS - 4);
        wrefresh(help);
    }
    WINDOW* w = CenteredWindow(menuRows + 2, width + 4, LINES - menuRows - 6);
    int chosen = w ? RunMenu(w, rows, 1, 2) : 3;
    if (w) delwin(w);
    if (help) delwin(help);
    touchwin(stdscr);
    refresh();
    return 4 + chosen;
}

} // namespace ui
