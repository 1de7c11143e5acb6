#include "framework/MessageForm.h"

#include <algorithm>

#include "framework/Application.h"
#include "framework/ExtCtrls.h"
#include "framework/FormPainter.h"
#include "framework/Graphics.h"
#include "framework/StdCtrls.h"
#include "platform/X11Text.h"

namespace zr {

namespace {

constexpr int kMargin = 12;
constexpr int kIconSize = 32;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kButtonGap = 8;
constexpr int kMaxTextWidth = 380;
constexpr int kMinTextWidth = 120;
// The form is laid out before any window exists, so text is measured with
// the average size of the dialog font's characters, a little generously.
constexpr int kCharWidth = 7;
constexpr int kLineHeight = 14;

int EstimatedWidth(const std::string& text) {
    return kCharWidth * static_cast<int>(os::DecodeUtf8(text).size());
}

std::uintptr_t IconOf(TMsgDlgType type) {
    switch (type) {
        case mtWarning:
            return IDI_EXCLAMATION;
        case mtError:
            return IDI_HAND;
        case mtInformation:
            return IDI_ASTERISK;
        case mtConfirmation:
            return IDI_QUESTION;
        case mtCustom:
            break;
    }
    return 0;
}

// The label shows the message as it is: its '&' are no accelerators.
std::string WithoutAccelerators(const std::string& text) {
    std::string out;
    for (char ch : text) {
        out.push_back(ch);
        if (ch == '&') out.push_back('&');
    }
    return out;
}

}  // namespace

std::string ButtonCaption(TMsgDlgBtn button) {
    switch (button) {
        case mbYes:
            return "&Yes";
        case mbNo:
            return "&No";
        case mbOK:
            return "OK";
        case mbCancel:
            return "Cancel";
        case mbAbort:
            return "&Abort";
        case mbRetry:
            return "&Retry";
        case mbIgnore:
            return "&Ignore";
        case mbAll:
            return "&All";
        case mbNoToAll:
            return "N&o to All";
        case mbYesToAll:
            return "Yes to &All";
        case mbHelp:
            return "&Help";
    }
    return {};
}

std::unique_ptr<TForm> CreateMessageForm(const TMessageDialog& dialog) {
    auto form = std::make_unique<TForm>(nullptr);
    form->SetBorderStyle(bsDialog);
    form->SetPosition(poScreenCenter);
    form->SetCaption(dialog.Title);

    int textLeft = kMargin;
    if (const std::uintptr_t icon = IconOf(dialog.Type)) {
        auto* image = new TImage(form.get());
        image->SetParent(form.get());
        image->SetBounds(kMargin, kMargin, kIconSize, kIconSize);
        TIcon picture;
        picture.SetHandle(LoadIcon(nullptr, icon));
        image->Picture()->SetIcon(&picture);
        textLeft += kIconSize + kMargin;
    }

    const auto lines = LayoutLines(dialog.Text, kMaxTextWidth, EstimatedWidth);
    int textWidth = kMinTextWidth;
    for (const auto& line : lines) textWidth = std::max(textWidth, EstimatedWidth(line));
    textWidth = std::min(textWidth, kMaxTextWidth);
    const int textHeight = std::max(static_cast<int>(lines.size()), 1) * kLineHeight;
    auto* label = new TLabel(form.get());
    label->SetParent(form.get());
    label->SetWordWrap(true);
    label->SetCaption(WithoutAccelerators(dialog.Text));
    label->SetBounds(textLeft, kMargin, textWidth, textHeight);

    std::vector<TMsgDlgBtn> buttons;
    for (int b = mbYes; b <= mbHelp; ++b)
        if (dialog.Buttons.Contains(static_cast<TMsgDlgBtn>(b)))
            buttons.push_back(static_cast<TMsgDlgBtn>(b));
    if (buttons.empty()) buttons.push_back(mbOK);
    const int rowWidth =
        static_cast<int>(buttons.size()) * (kButtonWidth + kButtonGap) - kButtonGap;
    const int clientWidth = std::max(textLeft + textWidth + kMargin, rowWidth + 2 * kMargin);
    const int rowTop = kMargin + std::max(textHeight, kIconSize) + kMargin;
    form->SetClientWidth(clientWidth);
    form->SetClientHeight(rowTop + kButtonHeight + kMargin);

    const TMsgDlgBtn enterButton = DefaultButtonOf(dialog.Buttons);
    const TModalResult escResult = CancelResultOf(dialog.Buttons);
    bool haveCancel = false;
    int left = (clientWidth - rowWidth) / 2;
    for (TMsgDlgBtn b : buttons) {
        auto* button = new TButton(form.get());
        button->SetParent(form.get());
        button->SetName("btn" + GetEnumName(EnumInfo<TMsgDlgBtn>(), b).substr(2));
        button->SetCaption(ButtonCaption(b));
        button->SetBounds(left, rowTop, kButtonWidth, kButtonHeight);
        button->SetModalResult(ModalResultOf(b));
        button->SetDefault(b == enterButton);
        if (!haveCancel && ModalResultOf(b) == escResult) {
            button->SetCancel(true);
            haveCancel = true;
        }
        if (b == mbHelp) {
            const int context = dialog.HelpContext;
            button->SetOnClick(TNotifyEvent::FromFunction([context](TObject*) {
                if (Application) Application->HelpContext(context);
            }));
        }
        if (b == enterButton) form->SetActiveControl(button);
        left += kButtonWidth + kButtonGap;
    }
    return form;
}

TModalResult ShowMessageForm(const TMessageDialog& dialog) {
    auto form = CreateMessageForm(dialog);
    return form->ShowModal();
}

}  // namespace zr
