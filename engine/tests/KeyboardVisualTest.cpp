#include "RecordingCanvas.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/KeyboardVisual.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace pellamy;
using pellamy::testing::RecordingCanvas;

namespace {

// An instrument of `count` sounds named k0, k1, ..., the first 24 bound to
// the default keys.
InstrumentModel keyboardInstrument(int count) {
    InstrumentModel instrument;
    for (int i = 0; i < count; ++i) {
        const std::string alias = "k" + std::to_string(i);
        instrument.addSound(alias, Sound::make(std::vector<std::int16_t>(8, 1), 8000, 1, 16, 1.0f));
        if (i < 24)
            instrument.bindKey(static_cast<std::uint8_t>(DefaultKeyOrder[static_cast<std::size_t>(i)]),
                               alias);
    }
    instrument.markLoaded();
    return instrument;
}

void paint(KeyboardVisual& visual, const Rect& rect) {
    RecordingCanvas canvas;
    visual.Paint(canvas, rect, true);
}

} // namespace

TEST(KeyboardVisual, TwelveKeysDrawSevenWhiteAndFiveBlackKeysOnTheBoundaries) {
    const InstrumentModel instrument = keyboardInstrument(12);
    KeyboardVisual visual(&instrument);
    visual.SetKeyState("k4", true);   // white
    visual.SetKeyState("k6", true);   // black
    visual.SetKeyState("nope", true); // no such key
    RecordingCanvas canvas;
    // Inner rectangle (1, 1)-(701, 101): white keys 100 wide, black keys
    // 30 wide and 60 high.
    visual.Paint(canvas, {0, 0, 702, 102}, true);

    const std::vector<std::string> expected = {
        "picture 702 102", "rect 1 1 101 101 fill 255,255,255",
        "text 46 1 'Q'",   "rect 101 1 201 101 fill 255,255,255",
        "text 146 1 'W'",  "rect 201 1 301 101 fill 255,255,100",
        "text 246 1 'E'",  "rect 301 1 401 101 fill 255,255,255",
        "text 346 1 'R'",  "rect 401 1 501 101 fill 255,255,255",
        "text 446 1 'T'",  "rect 501 1 601 101 fill 255,255,255",
        "text 546 1 'Y'",  "rect 601 1 701 101 fill 255,255,255",
        "text 646 1 'U'",  "rect 86 1 116 61 fill 0,0,0",
        "text 96 1 '2'",   "rect 186 1 216 61 fill 0,0,0",
        "text 196 1 '3'",  "rect 386 1 416 61 fill 200,150,60",
        "text 396 1 '5'",  "rect 486 1 516 61 fill 0,0,0",
        "text 496 1 '6'",  "rect 586 1 616 61 fill 0,0,0",
        "text 596 1 '7'",  "copy 0 0 702 102",
    };
    EXPECT_EQ(canvas.operations, expected);
    EXPECT_EQ(visual.activeArea(), (Rect{0, 0, 702, 102}));
    EXPECT_FALSE(visual.needsRedraw());
}

TEST(KeyboardVisual, WhiteKeyWidthIsRoundedToNearestAndBlackWidthTruncated) {
    const InstrumentModel instrument = keyboardInstrument(12);
    KeyboardVisual visual(&instrument);
    RecordingCanvas canvas;
    // W = 696: 696 / 7 = 99.43 rounds to 99; black width 29.7 truncates to 29;
    // H = 99: black height 59.4 rounds to 59.
    visual.Paint(canvas, {0, 0, 698, 101}, true);
    const auto rects = canvas.only("rect");
    ASSERT_EQ(rects.size(), 12u);
    EXPECT_EQ(rects[1], "rect 100 1 199 100 fill 255,255,255");
    EXPECT_EQ(rects[7], "rect 86 1 115 60 fill 0,0,0"); // 1 + 99 - 29 / 2
}

TEST(KeyboardVisual, TwentyFourKeysSkipTheBoundaryBetweenTheOctaves) {
    const InstrumentModel instrument = keyboardInstrument(24);
    KeyboardVisual visual(&instrument);
    RecordingCanvas canvas;
    visual.Paint(canvas, {0, 0, 1402, 102}, true); // 14 white keys of 100
    const auto rects = canvas.only("rect");
    ASSERT_EQ(rects.size(), 24u);
    EXPECT_EQ(rects[13], "rect 1301 1 1401 101 fill 255,255,255");
    // Black keys 1, 3, 6, 8, 10 on boundaries 1, 2, 4, 5, 6; then 13, 15, 18,
    // 20, 22 on boundaries 8, 9, 11, 12, 13.
    const int boundaries[] = {1, 2, 4, 5, 6, 8, 9, 11, 12, 13};
    for (int b = 0; b < 10; ++b)
        EXPECT_EQ(rects[14 + static_cast<std::size_t>(b)],
                  "rect " + std::to_string(1 + 100 * boundaries[b] - 15) + " 1 " +
                      std::to_string(1 + 100 * boundaries[b] + 15) + " 61 fill 0,0,0")
            << "black key " << b;
}

TEST(KeyboardVisual, HitTestPrefersBlackKeysAndExcludesKeyEdges) {
    const InstrumentModel instrument = keyboardInstrument(24);
    KeyboardVisual visual(&instrument);
    paint(visual, {0, 0, 1402, 100});
    // From the active area: white keys 100 wide from x = 0, black keys 30 wide
    // from x = 85, black bottom at y = 60.
    EXPECT_EQ(visual.HitTest(100, 10), 1); // inside black key 1 over white keys 0 and 2
    EXPECT_EQ(visual.HitTest(86, 59), 1);
    EXPECT_EQ(visual.HitTest(86, 60), 0);   // below the black keys: the white key
    EXPECT_EQ(visual.HitTest(85, 10), 0);   // the black key's left edge is not in it
    EXPECT_EQ(visual.HitTest(150, 10), 2);  // between two black keys: the white key
    EXPECT_EQ(visual.HitTest(100, 80), -1); // exactly between two white keys
    EXPECT_EQ(visual.HitTest(50, 5000), 0); // below the keyboard: by x alone
    EXPECT_EQ(visual.HitTest(800, 10), 13); // second octave's first black key, boundary 8
    EXPECT_EQ(visual.HitTest(600, 10), 10); // boundary 6
    EXPECT_EQ(visual.HitTest(701, 10), 12); // boundary 7 has no black key
    EXPECT_EQ(visual.HitTest(1399, 10), 23);
    EXPECT_EQ(visual.HitTest(1400, 10), -1); // right of the last key
    EXPECT_EQ(visual.HitTest(-5, 10), -1);
}

TEST(KeyboardVisual, NothingIsHitBeforeTheFirstRedrawOrWithoutSounds) {
    const InstrumentModel instrument = keyboardInstrument(12);
    KeyboardVisual fresh(&instrument);
    EXPECT_EQ(fresh.activeArea(), (Rect{-1, -1, -1, -1}));
    EXPECT_TRUE(fresh.needsRedraw());
    EXPECT_EQ(fresh.HitTest(0, 0), -1);
    EXPECT_EQ(fresh.HitTest(-1, -1), -1);

    const InstrumentModel empty = keyboardInstrument(0);
    KeyboardVisual visual(&empty);
    RecordingCanvas canvas;
    visual.Paint(canvas, {0, 0, 300, 80}, true);
    EXPECT_EQ(canvas.operations, (std::vector<std::string>{"picture 300 80", "copy 0 0 300 80"}));
    for (int x = -1; x <= 301; x += 7)
        EXPECT_EQ(visual.HitTest(x, 10), -1);
    EXPECT_EQ(visual.AliasAt(-1), "");
    EXPECT_EQ(visual.AliasAt(0), "");
}

TEST(KeyboardVisual, AnUnchangedKeyboardIsOnlyCopiedUntilAKeyChanges) {
    const InstrumentModel instrument = keyboardInstrument(3);
    KeyboardVisual visual(&instrument);
    RecordingCanvas first;
    visual.Paint(first, {0, 0, 200, 50}, false); // the first paint always draws
    EXPECT_EQ(first.only("picture").size(), 1u);

    RecordingCanvas again;
    visual.Paint(again, {0, 0, 200, 50}, false);
    EXPECT_EQ(again.operations, (std::vector<std::string>{"copy 0 0 200 50"}));

    visual.SetKeyState("k1", true);
    visual.setNeedsRedraw();
    RecordingCanvas changed;
    visual.Paint(changed, {0, 0, 200, 50}, false);
    EXPECT_EQ(changed.only("picture").size(), 1u);
    EXPECT_EQ(changed.only("rect")[2], "rect 86 1 115 30 fill 200,150,60");
    EXPECT_TRUE(visual.isKeyPressed(1));

    RecordingCanvas forced;
    visual.Paint(forced, {0, 0, 200, 50}, true);
    EXPECT_EQ(forced.only("picture").size(), 1u);
}

TEST(KeyboardVisual, KeysWithoutABoundKeyShowNoLabel) {
    // 30 sounds: the last six are bound to no key. Two keys for one alias:
    // the lower code labels it.
    InstrumentModel instrument = keyboardInstrument(30);
    instrument.bindKey('A', "k0");
    KeyboardVisual visual(&instrument);
    EXPECT_EQ(visual.labelAt(0), "A");
    EXPECT_EQ(visual.labelAt(23), "M");
    EXPECT_EQ(visual.labelAt(24), "");
    EXPECT_EQ(visual.AliasAt(29), "k29");
    RecordingCanvas canvas;
    visual.Paint(canvas, {0, 0, 1800, 100}, true);
    EXPECT_EQ(canvas.only("rect").size(), 30u);
    EXPECT_EQ(canvas.only("text").size(), 24u);
}
