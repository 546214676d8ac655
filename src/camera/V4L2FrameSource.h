#pragma once

#include "camera/FrameSource.h"

#include <QString>
#include <opencv2/videoio.hpp>

namespace quorvel {

// A V4L2 camera through OpenCV's V4L2 backend, asked for a small frame size (the driver
// picks the nearest size it offers).
//
// Before OpenCV takes the device, open() checks it directly so that a failure comes with the
// system's reason: a missing node, no rights, not a V4L2 device, or another program holding
// the capture queue ("Device or resource busy").
class V4L2FrameSource : public FrameSource {
public:
    static constexpr int defaultWidth = 320;
    static constexpr int defaultHeight = 240;

    explicit V4L2FrameSource(QString devicePath,
                             cv::Size requestedSize = {defaultWidth, defaultHeight});

    OpenStatus open() override;
    GrabResult grab() override;
    bool retrieve(cv::Mat& image) override;
    void close() override;
    QString errorDescription() const override { return m_error; }

    QString devicePath() const { return m_path; }
    // The size the device agreed to; empty while closed.
    cv::Size frameSize() const;

    // Checks a device node the way open() does: 0 when it may be taken for capture, else the
    // errno that stands in the way (ENOENT, EACCES, ENOTTY, EBUSY, ...); -1 when it opens but
    // is no video capture device.
    static int probeDevice(const QString& devicePath);

private:
    QString m_path;
    cv::Size m_requested;
    cv::VideoCapture m_capture;
    QString m_error;
};

} // namespace quorvel
