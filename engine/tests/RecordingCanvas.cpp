#include "RecordingCanvas.h"

namespace pellamy::testing {

namespace {

class RecordingPicture : public Picture {
public:
    explicit RecordingPicture(std::vector<std::string>& operations) : operations_(operations) {}

    void drawOutlinedRectangle(const Rect& rect, Rgb fill) override {
        operations_.push_back("rect " + std::to_string(rect.left) + " " + std::to_string(rect.top) + " " +
                              std::to_string(rect.right) + " " + std::to_string(rect.bottom) + " fill " +
                              std::to_string(fill.red) + "," + std::to_string(fill.green) + "," +
                              std::to_string(fill.blue));
    }
    void drawText(int x, int y, std::string_view text) override {
        operations_.push_back("text " + std::to_string(x) + " " + std::to_string(y) + " '" +
                              std::string(text) + "'");
    }

private:
    std::vector<std::string>& operations_;
};

} // namespace

std::unique_ptr<Picture> RecordingCanvas::createPicture(int width, int height) {
    operations.push_back("picture " + std::to_string(width) + " " + std::to_string(height));
    return std::make_unique<RecordingPicture>(operations);
}

void RecordingCanvas::copyPicture(const Picture&, int x, int y, int width, int height) {
    operations.push_back("copy " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(width) +
                         " " + std::to_string(height));
}

std::vector<std::string> RecordingCanvas::only(const std::string& kind) const {
    std::vector<std::string> found;
    for (const std::string& operation : operations)
        if (operation.rfind(kind + " ", 0) == 0)
            found.push_back(operation);
    return found;
}

} // namespace pellamy::testing
