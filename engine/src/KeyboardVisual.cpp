#include <pellamy/InstrumentModel.h>
#include <pellamy/KeyboardVisual.h>

#include <algorithm>

namespace pellamy {

Picture::~Picture() = default;
Canvas::~Canvas() = default;

namespace {

const std::string kNoAlias;

// Key widths and heights for a keyboard of `keyCount` keys in width × height.
struct KeyGeometry {
    int whiteWidth = 0;
    int blackWidth = 0;
    int blackHeight = 0;
};

int blackKeysBelow(int keyCount) {
    int count = 0;
    for (int i = 0; i < keyCount; ++i)
        count += KeyboardVisual::isBlackKey(i) ? 1 : 0;
    return count;
}

KeyGeometry geometryFor(int width, int height, int keyCount) {
    KeyGeometry geometry;
    const int whites = keyCount - blackKeysBelow(keyCount);
    if (whites == 0)
        return geometry; // no keys: nothing to lay out
    // Rounded to nearest by adding 0.5 and truncating, as the widths have
    // always been computed (truncation toward zero for negative sizes).
    geometry.whiteWidth = static_cast<int>(static_cast<double>(width) / whites + 0.5);
    geometry.blackHeight = static_cast<int>(height * 0.6 + 0.5);
    geometry.blackWidth = static_cast<int>(geometry.whiteWidth * 0.3);
    return geometry;
}

// Visits every white key with its left and right x, left to right from `left`.
template <class Visit>
void forEachWhiteKey(int left, const KeyGeometry& geometry, int keyCount, Visit visit) {
    int x = left;
    for (int i = 0; i < keyCount; ++i) {
        if (KeyboardVisual::isBlackKey(i))
            continue;
        if (visit(i, x, x + geometry.whiteWidth))
            return;
        x += geometry.whiteWidth;
    }
}

// Visits every black key with its left and right x: centred on the boundary
// after its white key, skipping the boundary that has no black key.
template <class Visit>
void forEachBlackKey(int left, const KeyGeometry& geometry, int keyCount, Visit visit) {
    int x = left + geometry.whiteWidth - geometry.blackWidth / 2;
    for (int i = 0; i < keyCount; ++i) {
        if (!KeyboardVisual::isBlackKey(i))
            continue;
        if (visit(i, x, x + geometry.blackWidth))
            return;
        x += geometry.whiteWidth;
        if (i < keyCount - 2 && !KeyboardVisual::isBlackKey(i + 2))
            x += geometry.whiteWidth;
    }
}

} // namespace

bool KeyboardVisual::isBlackKey(int index) {
    switch (index % 12) {
    case 1:
    case 3:
    case 6:
    case 8:
    case 10:
        return true;
    default:
        return false;
    }
}

KeyboardVisual::KeyboardVisual(const InstrumentModel* instrument) {
    if (instrument == nullptr)
        return;
    const std::size_t count = instrument->soundCount();
    keyPressed_.assign(count, false);
    for (std::size_t i = 0; i < count; ++i)
        keyAliases_.push_back(instrument->aliasAt(i));
    for (const std::string& alias : keyAliases_) {
        const std::uint8_t code = instrument->keyForAlias(alias);
        // Code 0 (no key bound) draws no text.
        keyLabels_.push_back(code == 0 ? std::string() : std::string(1, static_cast<char>(code)));
    }
}

KeyboardVisual::KeyboardVisual(std::vector<std::string> aliases, std::vector<std::string> labels)
    : keyPressed_(aliases.size(), false), keyAliases_(std::move(aliases)), keyLabels_(std::move(labels)) {
    keyLabels_.resize(keyAliases_.size());
}

KeyboardVisual::~KeyboardVisual() = default;

void KeyboardVisual::Paint(Canvas& canvas, const Rect& rect, bool forceRedraw) {
    if (needsRedraw_ || forceRedraw || picture_ == nullptr) {
        picture_ = canvas.createPicture(std::max(0, rect.width()), std::max(0, rect.height()));
        const Rect inner{rect.left + 1, rect.top + 1, rect.right - 1, rect.bottom - 1};
        drawKeys(*picture_, inner);
        activeArea_ = rect;
        needsRedraw_ = false;
    }
    // The picture is in window coordinates; the copy size is the client
    // rectangle's right and bottom, which for a rectangle at (0, 0) are its
    // width and height.
    canvas.copyPicture(*picture_, rect.left, rect.top, rect.right, rect.bottom);
}

void KeyboardVisual::drawKeys(Picture& picture, const Rect& inner) const {
    const int keys = keyCount();
    const KeyGeometry geometry = geometryFor(inner.width(), inner.height(), keys);
    forEachWhiteKey(inner.left, geometry, keys, [&](int i, int left, int right) {
        picture.drawOutlinedRectangle({left, inner.top, right, inner.bottom},
                                      keyPressed_[i] ? kWhiteKeyPressed : kWhiteKey);
        if (!keyLabels_[i].empty())
            picture.drawText(left + geometry.whiteWidth / 2 - 5, inner.top, keyLabels_[i]);
        return false;
    });
    forEachBlackKey(inner.left, geometry, keys, [&](int i, int left, int right) {
        picture.drawOutlinedRectangle({left, inner.top, right, inner.top + geometry.blackHeight},
                                      keyPressed_[i] ? kBlackKeyPressed : kBlackKey);
        if (!keyLabels_[i].empty())
            picture.drawText(left + geometry.blackWidth / 2 - 5, inner.top, keyLabels_[i]);
        return false;
    });
}

int KeyboardVisual::HitTest(int x, int y) const {
    const int keys = keyCount();
    const Rect& area = activeArea_;
    const KeyGeometry geometry = geometryFor(area.width(), area.height(), keys);
    const int blackBottom = area.top + geometry.blackHeight;
    int hit = -1;
    forEachBlackKey(area.left, geometry, keys, [&](int i, int left, int right) {
        if (y < blackBottom && left < x && x < right)
            hit = i;
        return hit != -1;
    });
    if (hit != -1)
        return hit;
    forEachWhiteKey(area.left, geometry, keys, [&](int i, int left, int right) {
        if (left < x && x < right)
            hit = i;
        return hit != -1;
    });
    return hit;
}

void KeyboardVisual::SetKeyState(const std::string& alias, bool pressed) {
    for (std::size_t i = 0; i < keyAliases_.size(); ++i) {
        if (keyAliases_[i] == alias) {
            keyPressed_[i] = pressed;
            return;
        }
    }
}

const std::string& KeyboardVisual::AliasAt(int index) const {
    if (index < 0 || index >= keyCount())
        return kNoAlias;
    return keyAliases_[static_cast<std::size_t>(index)];
}

bool KeyboardVisual::isKeyPressed(int index) const {
    return index >= 0 && index < keyCount() && keyPressed_[static_cast<std::size_t>(index)];
}

const std::string& KeyboardVisual::labelAt(int index) const {
    if (index < 0 || index >= keyCount())
        return kNoAlias;
    return keyLabels_[static_cast<std::size_t>(index)];
}

} // namespace pellamy
