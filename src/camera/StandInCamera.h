#pragma once

#include "camera/VideoDeviceCalls.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <chrono>
#include <linux/videodev2.h>
#include <optional>
#include <vector>

namespace quorvel {

// A webcam made of software, behind VideoDeviceCalls: it answers the V4L2 requests of a
// capture the way a UVC webcam's driver does (formats and sizes offered, the nearest offered
// size set, memory-mapped buffers queued and dequeued, poll), and takes its frames from
// nextFrame(). One device, opened at most once at a time.
class StandInCamera : public VideoDeviceCalls {
public:
    struct Format {
        quint32 pixelFormat = 0;
        std::vector<std::pair<quint32, quint32>> sizes; // width, height
    };

    explicit StandInCamera(std::vector<Format> formats);

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(std::size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override;

    bool isOpen() const {
        QMutexLocker lock(&m_mutex);
        return m_open;
    }
    int mappedBuffers() const {
        QMutexLocker lock(&m_mutex);
        return m_mappedBuffers;
    }

    // The descriptor open() hands out.
    static constexpr int deviceFd = 1 << 20;

protected:
    // The next frame's bytes in `format`, waiting for it at most `timeout`; nothing when no
    // frame came in that time. Called without the lock held.
    virtual std::optional<QByteArray> nextFrame(const v4l2_pix_format& format,
                                                std::chrono::milliseconds timeout) = 0;

    // Held while any call runs; the state below is read by subclasses under it.
    mutable QMutex m_mutex;
    bool m_open = false;
    bool m_streaming = false;
    int m_mappedBuffers = 0;
    v4l2_pix_format m_format{};

private:
    int fillFormat(v4l2_format& format) const;

    struct Buffer {
        std::vector<unsigned char> memory;
        bool mapped = false;
        bool queued = false;
        bool done = false;
        quint32 bytesused = 0;
        quint32 sequence = 0;
    };
    std::vector<Format> m_formats;
    std::vector<Buffer> m_buffers;
    quint32 m_sequence = 0;
};

// Plays a recording to the capture as a Motion-JPEG webcam would: a file of JPEG images one
// after another (as `ffmpeg -f mjpeg` writes them, or a camera's frames saved in a row), at
// framesPerSecond, from the start again after the last. The camera offers Motion-JPEG at
// the size of the first image. For running the app and its benchmarks without a camera.
class RecordedCamera final : public StandInCamera {
public:
    // Nothing when the file cannot be read or holds no JPEG image; `error` then says why.
    static std::shared_ptr<RecordedCamera> load(const QString& path, double framesPerSecond,
                                                QString* error);

    RecordedCamera(std::vector<QByteArray> frames, quint32 width, quint32 height,
                   double framesPerSecond);

    // The JPEG images in `bytes`, in order.
    static std::vector<QByteArray> splitJpegStream(const QByteArray& bytes);

protected:
    std::optional<QByteArray> nextFrame(const v4l2_pix_format& format,
                                        std::chrono::milliseconds timeout) override;

private:
    std::vector<QByteArray> m_frames;
    std::size_t m_next = 0;
    std::chrono::steady_clock::duration m_period;
    std::chrono::steady_clock::time_point m_due;
};

} // namespace quorvel
