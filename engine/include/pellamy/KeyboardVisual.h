// The instrument drawn as a piano keyboard, one key per sound in definition
// order, and the hit test that turns a mouse position into a key.
#pragma once

#include <pellamy/Drawing.h>
#include <pellamy/Export.h>

#include <memory>
#include <string>
#include <vector>

namespace pellamy {

class InstrumentModel;

// Keys follow the twelve-key pattern of an octave that begins with a white
// key: key i is black when i mod 12 is 1, 3, 6, 8 or 10. From a rectangle of
// width W and height H: white key width wW = round(W / whites), black key
// height round(H × 0.6), black key width trunc(wW × 0.3). White keys run left
// to right; black keys sit centred on the boundaries between white keys,
// none between E and F or between B and C.
//
// Thread: interface thread only.
class PELLAMY_API KeyboardVisual {
public:
    static constexpr Rgb kWhiteKey{255, 255, 255};
    static constexpr Rgb kWhiteKeyPressed{255, 255, 100};
    static constexpr Rgb kBlackKey{0, 0, 0};
    static constexpr Rgb kBlackKeyPressed{200, 150, 60};

    // Builds the key tables from the instrument's sounds in definition order,
    // each labelled with the lowest key code bound to its alias (no label
    // when none is).
    explicit KeyboardVisual(const InstrumentModel* instrument);
    // A keyboard of `aliases` in this order, each with its label ("": none),
    // for what plays without an instrument (a model's live voices).
    KeyboardVisual(std::vector<std::string> aliases, std::vector<std::string> labels);
    ~KeyboardVisual();
    KeyboardVisual(const KeyboardVisual&) = delete;
    KeyboardVisual& operator=(const KeyboardVisual&) = delete;

    // Paints into `rect` (the window's client rectangle, top-left (0, 0)).
    // Without a change and without forceRedraw only the cached picture is
    // copied; otherwise the keyboard is drawn anew into a fresh picture
    // within rect shrunk by one pixel, copied, and kept.
    void Paint(Canvas& canvas, const Rect& rect, bool forceRedraw);
    // The key at a client point, or -1: black keys first (above the black
    // keys' bottom), then white keys by x alone; a point on a key's left or
    // right edge hits nothing there.
    int HitTest(int x, int y) const;
    // Marks the first key of `alias` pressed or released; an unknown alias
    // changes nothing.
    void SetKeyState(const std::string& alias, bool pressed);
    // The alias of key `index`; the empty string for -1 or any index without
    // a key.
    const std::string& AliasAt(int index) const;

    // Set when a key's state changed; cleared by a full redraw.
    bool needsRedraw() const { return needsRedraw_; }
    void setNeedsRedraw() { needsRedraw_ = true; }
    // The rectangle of the last full redraw; (-1, -1, -1, -1) before it.
    const Rect& activeArea() const { return activeArea_; }

    int keyCount() const { return static_cast<int>(keyAliases_.size()); }
    bool isKeyPressed(int index) const;
    const std::string& labelAt(int index) const;
    static bool isBlackKey(int index);

private:
    void drawKeys(Picture& picture, const Rect& inner) const;

    bool needsRedraw_ = true;
    std::vector<bool> keyPressed_;
    std::vector<std::string> keyAliases_;
    std::vector<std::string> keyLabels_;
    Rect activeArea_{-1, -1, -1, -1};
    std::unique_ptr<Picture> picture_; // the cached keyboard
};

} // namespace pellamy
