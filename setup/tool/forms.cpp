#include "forms.h"

#include "ui.h"

#include <curses.h>
#include <form.h>

#include <memory>
#include <set>
#include <vector>

namespace ui {

namespace {

constexpr int kCtrlC = 3;

// The fields of one form; frees them (and the form) on every way out.
class FormFields {
  public:
    ~FormFields() {
        if (form_) {
            unpost_form(form_);
            free_form(form_);
        }
        for (FIELD* f : fields_)
            if (f) free_field(f);
    }
    FIELD* Label(int row, int col, const char* text) {
        int width = static_cast<int>(std::string_view(text).size());
        FIELD* f = new_field(1, width, row, col, 0, 0);
        set_field_buffer(f, 0, text);
        field_opts_off(f, O_ACTIVE | O_EDIT);
        fields_.push_back(f);
        return f;
    }
    // A one-line input field of the given width; maxChars above the width makes it
    // scroll, and nothing beyond maxChars is taken.
    FIELD* Input(int row, int col, int width, int maxChars) {
        FIELD* f = new_field(1, width, row, col, 0, 0);
        set_field_back(f, A_UNDERLINE);
        field_opts_off(f, O_AUTOSKIP);
        if (maxChars > width) {
            field_opts_off(f, O_STATIC);
            set_max_field(f, maxChars);
        }
        fields_.push_back(f);
        return f;
    }
    FIELD* Choice(int row, int col, int width, const char** choices, const char* preset) {
        FIELD* f = Input(row, col, width, width);
        set_field_type(f, TYPE_ENUM, choices, 0, 0);
        set_field_buffer(f, 0, preset);
        enums_.insert(f);
        return f;
    }
    bool IsChoice(FIELD* f) const { return enums_.count(f) != 0; }
    FORM* Make() {
        fields_.push_back(nullptr);
        form_ = new_form(fields_.data());
        fields_.pop_back();
        return form_;
    }

  private:
    std::vector<FIELD*> fields_;
    std::set<FIELD*> enums_;
    FORM* form_ = nullptr;
};

std::string Value(FIELD* f) {
    const char* b = field_buffer(f, 0);
    std::string s = b ? b : "";
    size_t end = s.find_last_not_of(' ');
    s.erase(end == std::string::npos ? 0 : end + 1);
    return s;
}

// Shows the form centred in a bordered window and handles its keys.
FormEnd Drive(FormFields& fields, FORM* form) {
    int rows = 0, cols = 0;
    if (!form || scale_form(form, &rows, &cols) != E_OK) return FormEnd::Cancelled;
    int wr = std::min(rows + 2, LINES), wc = std::min(cols + 4, COLS);
    WINDOW* win = newwin(wr, wc, std::max(0, (LINES - wr) / 2), std::max(0, (COLS - wc) / 2));
    if (!win) return FormEnd::Cancelled;
    std::unique_ptr<WINDOW, int (*)(WINDOW*)> winGuard(win, delwin);
    WINDOW* sub = derwin(win, rows, cols, 1, 2);
    if (!sub) return FormEnd::Cancelled;
    std::unique_ptr<WINDOW, int (*)(WINDOW*)> subGuard(sub, delwin);
    keypad(win, TRUE);
    box(win, 0, 0);
    set_form_win(form, win);
    set_form_sub(form, sub);
    if (post_form(form) != E_OK) return FormEnd::Cancelled;
    curs_set(1);
    wrefresh(win);
    FormEnd end = FormEnd::Cancelled;
    for (;;) {
        int ch = wgetch(win);
        int rc = E_OK;
        if (ch == ERR || ch == kCtrlC) break;
        if (ch == 10 || ch == 13 || ch == 367 || ch == KEY_ENTER) {
            // Moving on first takes the text of the field being edited.
            rc = form_driver(form, REQ_NEXT_FIELD);
            if (rc == E_OK) {
                end = FormEnd::Accepted;
                break;
            }
        } else if (ch == '\t') {
            rc = form_driver(form, REQ_NEXT_FIELD);
        } else if (ch == 8 || ch == 127 || ch == KEY_BACKSPACE) {
            rc = form_driver(form, REQ_DEL_PREV);
        } else if (ch == KEY_LEFT) {
            rc = form_driver(form, REQ_PREV_CHAR);
        } else if (ch == KEY_RIGHT) {
            rc = form_driver(form, REQ_NEXT_CHAR);
        } else if (ch == ' ' && fields.IsChoice(current_field(form))) {
            rc = form_driver(form, REQ_NEXT_CHOICE);
        } else {
            rc = form_driver(form, ch);
        }
        if (rc != E_OK) beep();
        wrefresh(win);
    }
    curs_set(0);
    unpost_form(form);
    touchwin(stdscr);
    refresh();
    return end;
}

const char* kYesNo[] = {"Y", "N", nullptr};
const char* kAliases[] = {
    quill::Text(quill::kMsgAliasNone),         quill::Text(quill::kMsgAliasManual),
    quill::Text(quill::kMsgAliasFirstLast),    quill::Text(quill::kMsgAliasFLastnam),
    quill::Text(quill::kMsgAliasFirstDotLast), quill::Text(quill::kMsgAliasDotFullname),
    quill::Text(quill::kMsgAliasBarFullname),  nullptr};
const uint32_t kAliasValues[] = {quill::kAliasNone,         quill::kAliasManual,
                                 quill::kAliasFirstLast,    quill::kAliasFLastnam,
                                 quill::kAliasFirstDotLast, quill::kAliasDotFullname,
                                 quill::kAliasBarFullname};

} // namespace

FormEnd LoginForm(std::string& name, std::string& password) {
    FormFields f;
    f.Label(0, 0, quill::Text(quill::kMsgLoginPrompt));
    f.Label(2, 0, quill::Text(quill::kMsgAdminName));
    FIELD* nameField = f.Input(2, 21, 40, 256);
    f.Label(3, 0, quill::Text(quill::kMsgPassword));
    FIELD* pwField = f.Input(3, 21, 40, 256);
    field_opts_off(pwField, O_PUBLIC);
    FORM* form = f.Make();
    if (form) set_current_field(form, nameField);
    FormEnd end = Drive(f, form);
    if (end == FormEnd::Accepted) {
        name = Value(nameField);
        password = Value(pwField);
    }
    return end;
}

FormEnd ConfigForm(quill::ServerConfig& cfg) {
    FormFields f;
    f.Label(0, 8, quill::Text(quill::kMsgParameters));
    f.Label(2, 0, quill::Text(quill::kMsgServerName));
    FIELD* server = f.Input(2, 23, 34, 63);
    set_field_buffer(server, 0, cfg.msgServerName.substr(0, 63).c_str());
    f.Label(3, 0, quill::Text(quill::kMsgDomain));
    FIELD* domain = f.Input(3, 23, 34, 256);
    f.Label(4, 0, quill::Text(quill::kMsgPrimaryDns));
    FIELD* dns1 = f.Input(4, 23, 15, 15);
    f.Label(5, 0, quill::Text(quill::kMsgSecondaryDns));
    FIELD* dns2 = f.Input(5, 23, 15, 15);
    f.Label(7, 0, quill::Text(quill::kMsgEnableFeatures));
    // Switches in tabbing order; the alias choice sits between Forward and Finger.
    FIELD* sw[9] = {};
    FIELD* alias = nullptr;
    const struct {
        int label, row, col;
    } layout[] = {{quill::kMsgSmtp, 8, 2},      {quill::kMsgPop, 8, 23},
                  {quill::kMsgImap, 9, 2},      {quill::kMsgLattice, 9, 23},
                  {quill::kMsgForward, 10, 2},  {quill::kMsgAliasing, 10, 23},
                  {quill::kMsgFinger, 11, 2},   {quill::kMsgLdap, 11, 23},
                  {quill::kMsgAntiSpam, 12, 2}, {quill::kMsgProxy, 12, 23}};
    int s = 0;
    for (const auto& l : layout) {
        f.Label(l.row, l.col, quill::Text(l.label));
        if (l.label == quill::kMsgAliasing) {
            alias = f.Choice(l.row, l.col + 11, 15, kAliases, quill::Text(quill::kMsgAliasNone));
        } else {
            sw[s++] = f.Choice(l.row, l.col + 11, 1, kYesNo, "Y");
        }
    }
    FORM* form = f.Make();
    if (form) set_current_field(form, server);
    FormEnd end = Drive(f, form);
    if (end != FormEnd::Accepted) return end;
    cfg.msgServerName = Value(server);
    cfg.officialName = Value(domain);
    cfg.dns1 = Value(dns1);
    cfg.dns2 = Value(dns2);
    bool* targets[9] = {&cfg.smtp,    &cfg.pop,  &cfg.imap,     &cfg.lattice, &cfg.forward,
                        &cfg.dayward, &cfg.ldap, &cfg.antiSpam, &cfg.proxy};
    for (int i = 0; i < 9; ++i)
        *targets[i] = Value(sw[i]) == "Y";
    cfg.aliasing = quill::kAliasNone;
    std::string a = Value(alias);
    for (int i = 0; kAliases[i]; ++i)
        if (a == kAliases[i]) cfg.aliasing = kAliasValues[i];
    return end;
}

} // namespace ui
