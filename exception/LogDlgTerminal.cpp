#include "exception/LogDlgTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "exception/LogDlg.h"
#include "framework/Controls.h"

namespace zr {

namespace {

// What the reader posts: the key typed, or one of these.
constexpr UINT kKeyMessage = WM_USER + 1;
constexpr WPARAM kEnterKey = '\r';
constexpr WPARAM kEscapeKey = 0x1B;
constexpr WPARAM kEndOfInput = 0x04;

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool IsKeyLetter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// The caption as it reads (without the '&' that marks the accelerator;
// "&&" stands for one '&'), and the accelerator itself, 0 when none.
std::string PlainCaption(const std::string& caption, char& accelerator) {
    std::string plain;
    accelerator = 0;
    for (std::size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size()) {
            ++i;
            if (caption[i] != '&' && accelerator == 0) accelerator = Lower(caption[i]);
        }
        plain += caption[i];
    }
    return plain;
}

// The terminal shows line feeds; the dialog's text carries CR LF.
std::string ForTerminal(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

// The key of a line typed: its first character that is not blank; Enter
// alone is the default button's key.
WPARAM KeyOfLine(const std::string& line) {
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r') continue;
        return static_cast<unsigned char>(c == 0x1B ? c : Lower(c));
    }
    return kEnterKey;
}

}  // namespace

bool TLogDlgTerminal::Available() {
    return ::isatty(kStdin) == 1 && ::isatty(kStderr) == 1;
}

TLogDlgTerminal::TLogDlgTerminal(TfrmKVLogErrorDialog& dialog, int input, int output)
    : dialog_(dialog), input_(input), output_(output) {}

TLogDlgTerminal::~TLogDlgTerminal() {
    if (reader_.joinable()) {
        dialog_.TerminalAttached(false);
        const char stop = 0;
        // The reader wakes on the pipe whatever this write returns.
        [[maybe_unused]] auto written = ::write(stopPipe_[1], &stop, 1);
        reader_.join();
    }
    for (int fd : stopPipe_)
        if (fd >= 0) ::close(fd);
    if (window_) DeallocateHWnd(window_);
}

void TLogDlgTerminal::Start() {
    if (reader_.joinable()) return;
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return;  // no reader: the queue still serves
    window_ = AllocateHWnd(TWndMethod(this, &TLogDlgTerminal::WndProc));
    Print(true);
    reader_ = std::thread([this] { ReadKeys(); });
    dialog_.TerminalAttached(true);
}

std::vector<TLogDlgTerminal::Choice> TLogDlgTerminal::Choices() const {
    std::vector<Choice> choices;
    std::string taken;
    for (TWinControl* control : dialog_.TabList()) {
        if (!control->Visible()) continue;
        if (control != dialog_.btnClose && control != dialog_.btnEmail &&
            control != dialog_.cbAttachScreenshot && control != dialog_.btnGoWEB)
            continue;
        Choice choice;
        choice.control = control;
        char accelerator = 0;
        choice.label = PlainCaption(control->Caption(), accelerator);
        auto free = [&](char c) { return IsKeyLetter(c) && taken.find(c) == std::string::npos; };
        if (accelerator != 0 && free(accelerator)) choice.key = accelerator;
        for (std::size_t i = 0; choice.key == 0 && i < choice.label.size(); ++i)
            if (free(Lower(choice.label[i]))) choice.key = Lower(choice.label[i]);
        for (char digit = '1'; choice.key == 0 && digit <= '9'; ++digit)
            if (free(digit)) choice.key = digit;
        if (choice.key == 0) continue;
        taken += choice.key;
        choices.push_back(std::move(choice));
    }
    return choices;
}

void TLogDlgTerminal::Print(bool withText) {
    std::string text;
    if (withText) {
        text +=
            "\n" + (dialog_.Caption().empty() ? std::string("Error") : dialog_.Caption()) + "\n";
        for (int i = 0; i < dialog_.lblErrorText->Lines()->Count(); ++i)
            text += "  " + ForTerminal(dialog_.lblErrorText->Lines()->Strings(i)) + "\n";
    }
    std::string line;
    for (const Choice& choice : Choices()) {
        line += std::string(line.empty() ? "" : "   ") + "[" + choice.key + "] " + choice.label;
        if (auto* box = dynamic_cast<TCheckBox*>(choice.control))
            line += box->Checked() ? " (yes)" : " (no)";
    }
    char accelerator = 0;
    const TButton* byEnter = dialog_.DefaultButton();
    text += line + "\nType a key and Enter (Enter alone: " +
            (byEnter ? PlainCaption(byEnter->Caption(), accelerator) : std::string("nothing")) +
            "): ";
    Write(text);
}

void TLogDlgTerminal::Write(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(output_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a terminal that is gone: the queue still serves the dialog
        done += static_cast<std::size_t>(n);
    }
}

void TLogDlgTerminal::ReadKeys() {
    std::string line;
    for (;;) {
        pollfd fds[2] = {{input_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents == 0) continue;
        char buffer[256];
        const ssize_t n = ::read(input_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            // Nobody can type any more: the dialog must not wait for ever.
            PostMessage(window_, kKeyMessage, kEndOfInput);
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                line += buffer[i];
                continue;
            }
            PostMessage(window_, kKeyMessage, KeyOfLine(line));
            line.clear();
        }
    }
}

void TLogDlgTerminal::WndProc(TMessage& message) {
    if (message.Msg != kKeyMessage) return;
    Act(static_cast<char>(message.WParam));
}

void TLogDlgTerminal::Act(char key) {
    const std::weak_ptr<int> alive = alive_;
    if (key == static_cast<char>(kEnterKey)) {
        dialog_.PressKey(VK_RETURN);
    } else if (key == static_cast<char>(kEscapeKey) || key == static_cast<char>(kEndOfInput)) {
        if (key == static_cast<char>(kEndOfInput)) Write("\n");
        dialog_.PressKey(VK_ESCAPE);
    } else {
        bool found = false;
        for (const Choice& choice : Choices()) {
            if (choice.key != key) continue;
            found = true;
            if (auto* box = dynamic_cast<TCheckBox*>(choice.control))
                box->Toggle();
            else
                choice.control->Click();
            break;
        }
        if (!found) Write("No button has the key '" + std::string(1, key) + "'.\n");
    }
    // A click may have closed (and freed) the dialog, and this front end with it.
    if (alive.expired() || !dialog_.Visible() || dialog_.ModalResult() != mrNone) return;
    Print(false);
}

}  // namespace zr
