// The small drawing interface through which the engine paints: the window
// layer implements it (with QPainter in the program, with a recorder in
// tests), so the engine needs no GUI toolkit.
#pragma once

#include <pellamy/Export.h>

#include <cstdint>
#include <memory>
#include <string_view>

namespace pellamy {

// A rectangle in window pixels; right and bottom are exclusive.
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int width() const { return right - left; }
    int height() const { return bottom - top; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct Rgb {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// An off-screen picture, kept between paints and copied to a canvas.
class PELLAMY_API Picture {
public:
    virtual ~Picture();

    // Outlines `rect` with a solid black pen 3 pixels wide (centred on the
    // rectangle's edges, as a pen of that width draws them), then fills the
    // region with the corners (left, top), (right, top), (right, bottom),
    // (left, bottom) with `fill`.
    virtual void drawOutlinedRectangle(const Rect& rect, Rgb fill) = 0;
    // Writes `text` (one byte per character, Latin-1) in the system font,
    // black on an opaque white background, its top-left corner at (x, y).
    virtual void drawText(int x, int y, std::string_view text) = 0;
};

// Where a window paints.
class PELLAMY_API Canvas {
public:
    virtual ~Canvas();

    // A new picture of width × height pixels, white all over, that any
    // canvas can copy; it stays valid after this canvas is gone.
    virtual std::unique_ptr<Picture> createPicture(int width, int height) = 0;
    // Copies the picture's pixels from its point (0, 0) to the canvas at
    // (x, y), width × height pixels.
    virtual void copyPicture(const Picture& picture, int x, int y, int width, int height) = 0;
};

} // namespace pellamy
