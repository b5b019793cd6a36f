#include "piano/KeyCodes.h"

#include <gtest/gtest.h>

namespace kivora {
namespace {

TEST(KeyCodes, LettersDigitsAndSpaceAreTheirCharacters) {
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_Q), 'Q');
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_M), 'M');
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_2), '2');
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_0), '0');
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_Space), 32);
    // Shifted, a digit key still names its digit.
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_At, Qt::ShiftModifier), '2');
}

TEST(KeyCodes, PressesWithCtrlOrAltAndTabPlayNoNote) {
    const auto plays = [](int key, Qt::KeyboardModifiers modifiers = {}) {
        return pressPlaysNote(QKeyEvent(QEvent::KeyPress, key, modifiers));
    };
    EXPECT_TRUE(plays(Qt::Key_C));
    EXPECT_TRUE(plays(Qt::Key_Q, Qt::ShiftModifier));
    EXPECT_FALSE(plays(Qt::Key_C, Qt::ControlModifier));
    EXPECT_FALSE(plays(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier));
    EXPECT_FALSE(plays(Qt::Key_Q, Qt::AltModifier));
    EXPECT_FALSE(plays(Qt::Key_Tab));
    EXPECT_FALSE(plays(Qt::Key_Backtab, Qt::ShiftModifier));
}

TEST(KeyCodes, OtherKeysTakeTheWindowsVirtualKeyNumbers) {
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_Return), 0x0D);
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_Escape), 0x1B);
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_Left), 0x25);
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_Down), 0x28);
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_F1), 0x70);
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_F12), 0x7B);
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_Semicolon), 0xBA);
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_Comma), 0xBC);
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_BracketRight), 0xDD);
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_5, Qt::KeypadModifier), 0x65);
    EXPECT_EQ(keyCodeForQtKey(Qt::Key_Adiaeresis), -1);
}

TEST(KeyCodes, ScanCodesGiveTheUsLayoutsKeyAtThatPosition) {
    // X keycodes (evdev + 8) of both piano rows.
    const char* const upperRow = "Q2W3ER5T6Y7U";
    const quint32 upperCodes[] = {24, 11, 25, 12, 26, 27, 14, 28, 15, 29, 16, 30};
    const char* const lowerRow = "ZSXDCVGBHNJM";
    const quint32 lowerCodes[] = {52, 39, 53, 40, 54, 55, 42, 56, 43, 57, 44, 58};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(keyCodeForScanCode(upperCodes[i]), upperRow[i]) << i;
        EXPECT_EQ(keyCodeForScanCode(lowerCodes[i]), lowerRow[i]) << i;
    }
    EXPECT_EQ(keyCodeForScanCode(65), ' ');
    EXPECT_EQ(keyCodeForScanCode(9), -1);  // Escape: no character key
    EXPECT_EQ(keyCodeForScanCode(66), -1); // Caps Lock
    EXPECT_EQ(keyCodeForScanCode(0), -1);
}

TEST(KeyCodes, QwertzAndAzertyKeyboardsPlayByPosition) {
    // German: the key right of T gives Z; French: the key of Q gives A.
    const QKeyEvent germanY(QEvent::KeyPress, Qt::Key_Z, {}, 29, 0x7a, 0, QStringLiteral("z"));
    EXPECT_EQ(keyCodeForEvent(germanY), 'Y');
    const QKeyEvent germanZ(QEvent::KeyPress, Qt::Key_Y, {}, 52, 0x79, 0, QStringLiteral("y"));
    EXPECT_EQ(keyCodeForEvent(germanZ), 'Z');
    const QKeyEvent frenchQ(QEvent::KeyPress, Qt::Key_A, {}, 24, 0x61, 0, QStringLiteral("a"));
    EXPECT_EQ(keyCodeForEvent(frenchQ), 'Q');
    const QKeyEvent frenchTwo(QEvent::KeyPress, Qt::Key_Eacute, {}, 11, 0xe9, 0, QStringLiteral("é"));
    EXPECT_EQ(keyCodeForEvent(frenchTwo), '2');
    // Without a scan code (synthesised events) the key itself counts.
    const QKeyEvent synthetic(QEvent::KeyPress, Qt::Key_Y, {});
    EXPECT_EQ(keyCodeForEvent(synthetic), 'Y');
    // Keys off the character block keep their own numbers.
    const QKeyEvent left(QEvent::KeyPress, Qt::Key_Left, {}, 113, 0xff51, 0);
    EXPECT_EQ(keyCodeForEvent(left), 0x25);
}

} // namespace
} // namespace kivora
