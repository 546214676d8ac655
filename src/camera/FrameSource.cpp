#include "camera/FrameSource.h"

#include <cstring>
#include <opencv2/imgproc.hpp>

namespace quorvel {

QString systemErrorDescription(int errorNumber) {
    char buffer[256] = {};
    // The GNU strerror_r returns the text, which may or may not live in the buffer.
    const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
    return QString::fromLocal8Bit(text);
}

bool convertToBgr8(cv::Mat& image) {
    if (image.empty()) {
        return false;
    }
    if (image.depth() == CV_16U) {
        image.convertTo(image, CV_8U, 1.0 / 256.0);
    } else if (image.depth() != CV_8U) {
        return false;
    }
    switch (image.channels()) {
    case 3:
        return true;
    case 1:
        cv::cvtColor(image, image, cv::COLOR_GRAY2BGR);
        return true;
    case 4:
        cv::cvtColor(image, image, cv::COLOR_BGRA2BGR);
        return true;
    default:
        return false;
    }
}

} // namespace quorvel
