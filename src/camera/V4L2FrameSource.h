#pragma once

#include "camera/FrameSource.h"
#include "camera/VideoDeviceCalls.h"

#include <QString>
#include <linux/videodev2.h>
#include <memory>
#include <vector>

struct v4lconvert_data;

namespace quorvel {

// A V4L2 camera, read the way a webcam is cheapest to read: a small frame size, streaming
// into memory-mapped buffers, every frame dequeued and queued again without being looked
// at, and only the frames passed on converted to BGR (by libv4lconvert, which decodes
// Motion-JPEG and the raw formats of webcams and turns the sensors of some laptops the
// right way up).
//
// Of the formats the camera offers, Motion-JPEG is preferred, then YUYV, then the other
// common ones; of the sizes of that format, the smallest one at least requestedSize, else
// the largest one below it.
//
// A grab waits at most pollTimeoutMs for a frame, so that whoever calls it sees a stalled or
// unplugged camera, and a request to stop, within that time.
class V4L2FrameSource : public FrameSource {
public:
    static constexpr int defaultWidth = 320;
    static constexpr int defaultHeight = 240;
    static constexpr int pollTimeoutMs = 250;
    static constexpr unsigned bufferCount = 4;

    explicit V4L2FrameSource(QString devicePath,
                             std::shared_ptr<VideoDeviceCalls> calls = systemVideoDeviceCalls(),
                             cv::Size requestedSize = {defaultWidth, defaultHeight});
    ~V4L2FrameSource() override;

    V4L2FrameSource(const V4L2FrameSource&) = delete;
    V4L2FrameSource& operator=(const V4L2FrameSource&) = delete;

    OpenStatus open() override;
    GrabResult grab() override;
    bool retrieve(cv::Mat& image) override;
    void close() override;
    QString errorDescription() const override { return m_error; }

    QString devicePath() const { return m_path; }
    // The size and format the device agreed to; empty and 0 while closed.
    cv::Size frameSize() const;
    quint32 pixelFormat() const;

private:
    struct Buffer {
        void* start = nullptr;
        std::size_t length = 0;
    };

    OpenStatus failed(OpenStatus status, int error = 0);
    OpenStatus negotiateFormat();
    OpenStatus startStreaming();
    bool queue(quint32 index);

    QString m_path;
    std::shared_ptr<VideoDeviceCalls> m_calls;
    cv::Size m_requested;
    int m_fd = -1;
    bool m_streaming = false;
    std::vector<Buffer> m_buffers;
    v4l2_format m_format{};
    v4lconvert_data* m_convert = nullptr;
    // The buffer of the last grabbed frame, kept from the driver until the next grab.
    int m_held = -1;
    quint32 m_heldBytes = 0;
    QString m_error;
};

} // namespace quorvel
