#include "piano/KeyCodes.h"

#include <array>
#include <utility>

namespace kivora {

namespace {

// Windows virtual-key numbers of keys other than letters and digits.
constexpr std::pair<int, int> kVirtualKeys[] = {
    {Qt::Key_Backspace, 0x08},  {Qt::Key_Tab, 0x09},         {Qt::Key_Backtab, 0x09},
    {Qt::Key_Clear, 0x0C},      {Qt::Key_Return, 0x0D},      {Qt::Key_Enter, 0x0D},
    {Qt::Key_Shift, 0x10},      {Qt::Key_Control, 0x11},     {Qt::Key_Alt, 0x12},
    {Qt::Key_Pause, 0x13},      {Qt::Key_CapsLock, 0x14},    {Qt::Key_Escape, 0x1B},
    {Qt::Key_Space, 0x20},      {Qt::Key_PageUp, 0x21},      {Qt::Key_PageDown, 0x22},
    {Qt::Key_End, 0x23},        {Qt::Key_Home, 0x24},        {Qt::Key_Left, 0x25},
    {Qt::Key_Up, 0x26},         {Qt::Key_Right, 0x27},       {Qt::Key_Down, 0x28},
    {Qt::Key_Print, 0x2C},      {Qt::Key_Insert, 0x2D},      {Qt::Key_Delete, 0x2E},
    {Qt::Key_Help, 0x2F},       {Qt::Key_Meta, 0x5B},        {Qt::Key_Menu, 0x5D},
    {Qt::Key_NumLock, 0x90},    {Qt::Key_ScrollLock, 0x91},  {Qt::Key_Semicolon, 0xBA},
    {Qt::Key_Colon, 0xBA},      {Qt::Key_Equal, 0xBB},       {Qt::Key_Plus, 0xBB},
    {Qt::Key_Comma, 0xBC},      {Qt::Key_Less, 0xBC},        {Qt::Key_Minus, 0xBD},
    {Qt::Key_Underscore, 0xBD}, {Qt::Key_Period, 0xBE},      {Qt::Key_Greater, 0xBE},
    {Qt::Key_Slash, 0xBF},      {Qt::Key_Question, 0xBF},    {Qt::Key_QuoteLeft, 0xC0},
    {Qt::Key_AsciiTilde, 0xC0}, {Qt::Key_BracketLeft, 0xDB}, {Qt::Key_BraceLeft, 0xDB},
    {Qt::Key_Backslash, 0xDC},  {Qt::Key_Bar, 0xDC},         {Qt::Key_BracketRight, 0xDD},
    {Qt::Key_BraceRight, 0xDD}, {Qt::Key_Apostrophe, 0xDE},  {Qt::Key_QuoteDbl, 0xDE},
};

// Shifted digits of the US layout give their digit's key.
constexpr std::pair<int, int> kShiftedDigits[] = {
    {Qt::Key_Exclam, '1'},    {Qt::Key_At, '2'},          {Qt::Key_NumberSign, '3'}, {Qt::Key_Dollar, '4'},
    {Qt::Key_Percent, '5'},   {Qt::Key_AsciiCircum, '6'}, {Qt::Key_Ampersand, '7'},  {Qt::Key_Asterisk, '8'},
    {Qt::Key_ParenLeft, '9'}, {Qt::Key_ParenRight, '0'},
};

constexpr int kNumpad0 = 0x60;
constexpr int kF1 = 0x70;

// The US layout by X keycode (evdev + 8), from keycode 10 to 65; 0 for
// positions that hold no character key.
constexpr int kFirstScanCode = 10;
constexpr std::array<int, 56> kUsKeysByScanCode = {
    '1', '2', '3', '4', '5', '6', '7', '8',  '9',  '0',  0xBD, 0xBB, 0, 0,    // 10-23
    'Q', 'W', 'E', 'R', 'T', 'Y', 'U', 'I',  'O',  'P',  0xDB, 0xDD, 0, 0,    // 24-37
    'A', 'S', 'D', 'F', 'G', 'H', 'J', 'K',  'L',  0xBA, 0xDE, 0xC0, 0, 0xDC, // 38-51
    'Z', 'X', 'C', 'V', 'B', 'N', 'M', 0xBC, 0xBE, 0xBF, 0,    0,    0, ' ',  // 52-65
};

} // namespace

int keyCodeForQtKey(int qtKey, Qt::KeyboardModifiers modifiers) {
    if (modifiers.testFlag(Qt::KeypadModifier) && qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9)
        return kNumpad0 + (qtKey - Qt::Key_0);
    if ((qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) || (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9))
        return qtKey; // Qt's numbers for these keys are their upper-case characters
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24)
        return kF1 + (qtKey - Qt::Key_F1);
    for (const auto& [key, code] : kVirtualKeys)
        if (key == qtKey)
            return code;
    for (const auto& [key, code] : kShiftedDigits)
        if (key == qtKey)
            return code;
    return -1;
}

int keyCodeForScanCode(quint32 nativeScanCode) {
    if (nativeScanCode < kFirstScanCode || nativeScanCode >= kFirstScanCode + kUsKeysByScanCode.size())
        return -1;
    const int code = kUsKeysByScanCode[nativeScanCode - kFirstScanCode];
    return code == 0 ? -1 : code;
}

int keyCodeForEvent(const QKeyEvent& event) {
    // Keypad keys keep their own numbers; character keys go by position.
    if (event.nativeScanCode() != 0 && !event.modifiers().testFlag(Qt::KeypadModifier)) {
        const int byPosition = keyCodeForScanCode(event.nativeScanCode());
        if (byPosition >= 0)
            return byPosition;
    }
    return keyCodeForQtKey(event.key(), event.modifiers());
}

bool pressPlaysNote(const QKeyEvent& press) {
    if (press.modifiers() & (Qt::ControlModifier | Qt::AltModifier))
        return false;
    return press.key() != Qt::Key_Tab && press.key() != Qt::Key_Backtab;
}

} // namespace kivora
