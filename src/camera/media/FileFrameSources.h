#pragma once

#include "camera/FrameSource.h"

#include <QString>
#include <chrono>
#include <memory>
#include <opencv2/videoio.hpp>

namespace quorvel {

// Frames from a video file, or from an image sequence given as a printf-style pattern
// ("frames/img_%04d.png"). Grabs as fast as it is asked; wrap it in a PacedFrameSource to
// play it at a frame rate. The end of the file is a failed grab; opening again starts over.
//
// `apiPreference` picks OpenCV's reader: cv::CAP_OPENCV_MJPEG reads Motion-JPEG .avi files
// the way a camera delivers them (grab takes the compressed frame, retrieve decodes it).
class VideoFileFrameSource : public FrameSource {
public:
    explicit VideoFileFrameSource(QString path, int apiPreference = cv::CAP_ANY);

    OpenStatus open() override;
    GrabResult grab() override;
    bool retrieve(cv::Mat& image) override;
    void close() override;
    QString errorDescription() const override { return m_error; }

private:
    QString m_path;
    int m_apiPreference;
    cv::VideoCapture m_capture;
    QString m_error;
};

// One still image, delivered as every frame. Grabs as fast as it is asked; wrap it in a
// PacedFrameSource for a frame rate.
class ImageFrameSource : public FrameSource {
public:
    // Reads the image file at each open().
    explicit ImageFrameSource(QString path);
    // Delivers `image` (converted to 8-bit BGR); an empty image fails to open.
    explicit ImageFrameSource(cv::Mat image);

    OpenStatus open() override;
    GrabResult grab() override;
    bool retrieve(cv::Mat& image) override;
    void close() override;
    QString errorDescription() const override { return m_error; }

private:
    QString m_path;
    cv::Mat m_given;
    cv::Mat m_image;
    bool m_open = false;
    QString m_error;
};

// Paces another source to a frame rate, the way a camera does: each grab waits for the next
// frame time, then grabs from the inner source. A grab that comes late does not make the
// following ones hurry (late frames are dropped, not queued).
class PacedFrameSource : public FrameSource {
public:
    PacedFrameSource(std::unique_ptr<FrameSource> inner, double framesPerSecond);

    OpenStatus open() override;
    GrabResult grab() override;
    bool retrieve(cv::Mat& image) override { return m_inner->retrieve(image); }
    void close() override { m_inner->close(); }
    QString errorDescription() const override { return m_inner->errorDescription(); }

private:
    std::unique_ptr<FrameSource> m_inner;
    std::chrono::steady_clock::duration m_period;
    std::chrono::steady_clock::time_point m_next;
};

} // namespace quorvel
