// The error dialog at a terminal. With no window to show, a person who runs
// the program at a terminal still needs to read the error and to mail the log
// or open the support page: while the dialog is up, its text and its visible
// buttons are written to the terminal, one key per button, and the keys typed
// (each followed by Enter) press them. Enter alone presses the default
// button, as it does in the dialog; the end of the input closes the dialog.
//
// Input is read by a thread of its own, which only posts what it read to the
// main thread; the buttons are pressed there, inside the dialog's modal loop,
// so anything else queued for the dialog is still served in order.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../framework/MessageQueue.h"

namespace zr {

class TfrmKVLogErrorDialog;
class TControl;

class TLogDlgTerminal {
  public:
    static constexpr int kStdin = 0;
    static constexpr int kStderr = 2;

    // Standard input and standard error are both a terminal.
    static bool Available();

    // Reads keys from `input` and writes to `output` (descriptors the caller
    // keeps open for the front end's life).
    TLogDlgTerminal(TfrmKVLogErrorDialog& dialog, int input, int output);
    // Stops reading; keys read but not yet acted on are dropped.
    ~TLogDlgTerminal();
    TLogDlgTerminal(const TLogDlgTerminal&) = delete;
    TLogDlgTerminal& operator=(const TLogDlgTerminal&) = delete;

    // Writes the dialog and starts reading keys. Main thread.
    void Start();

    struct Choice {
        char key = 0;
        TControl* control = nullptr;
        std::string label;  // the caption without its accelerator mark
    };
    // The visible buttons and check box in tab order, each with its key:
    // the caption's accelerator, else its first free letter.
    std::vector<Choice> Choices() const;

  private:
    void Print(bool withText);
    void ReadKeys();
    void WndProc(TMessage& message);
    void Act(char key);
    void Write(const std::string& text);

    TfrmKVLogErrorDialog& dialog_;
    int input_;
    int output_;
    int stopPipe_[2] = {-1, -1};
    HWND window_ = nullptr;
    std::thread reader_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace zr
