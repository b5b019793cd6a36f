// A canvas that writes down what is drawn, one line per operation.
#pragma once

#include <pellamy/Drawing.h>

#include <memory>
#include <string>
#include <vector>

namespace pellamy::testing {

class RecordingCanvas : public Canvas {
public:
    // Every operation on this canvas and on the pictures it made, in order:
    //   "picture W H", "rect L T R B fill R,G,B", "text X Y 'T'", "copy X Y W H"
    std::vector<std::string> operations;

    std::unique_ptr<Picture> createPicture(int width, int height) override;
    void copyPicture(const Picture& picture, int x, int y, int width, int height) override;

    // The operations of one kind ("rect", "text", ...).
    std::vector<std::string> only(const std::string& kind) const;
};

} // namespace pellamy::testing
