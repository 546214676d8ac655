#include "camera/media/FileFrameSources.h"

#include <QFileInfo>
#include <cerrno>
#include <opencv2/imgcodecs.hpp>
#include <thread>

namespace quorvel {

namespace {

// An image-sequence pattern names no single file that could be checked up front.
bool isSequencePattern(const QString& path) {
    return path.contains(QLatin1Char('%'));
}

} // namespace

VideoFileFrameSource::VideoFileFrameSource(QString path, int apiPreference)
    : m_path(std::move(path)), m_apiPreference(apiPreference) {}

OpenStatus VideoFileFrameSource::open() {
    close();
    m_error.clear();
    if (!isSequencePattern(m_path) && !QFileInfo(m_path).isFile()) {
        m_error = systemErrorDescription(ENOENT);
        return OpenStatus::inputFailed;
    }
    try {
        m_capture.open(m_path.toStdString(), m_apiPreference);
    } catch (const cv::Exception&) {
        m_capture.release();
    }
    if (!m_capture.isOpened()) {
        m_error = QStringLiteral("Cannot read video file %1").arg(m_path);
        return OpenStatus::inputFailed;
    }
    return OpenStatus::opened;
}

GrabResult VideoFileFrameSource::grab() {
    try {
        return m_capture.grab() ? GrabResult::frame : GrabResult::failed;
    } catch (const cv::Exception&) {
        return GrabResult::failed;
    }
}

bool VideoFileFrameSource::retrieve(cv::Mat& image) {
    try {
        return m_capture.retrieve(image) && convertToBgr8(image);
    } catch (const cv::Exception&) {
        return false;
    }
}

void VideoFileFrameSource::close() {
    m_capture.release();
}

ImageFrameSource::ImageFrameSource(QString path) : m_path(std::move(path)) {}

ImageFrameSource::ImageFrameSource(cv::Mat image) : m_given(std::move(image)) {}

OpenStatus ImageFrameSource::open() {
    m_error.clear();
    m_open = false;
    if (m_path.isEmpty()) {
        m_image = m_given.clone();
    } else if (!QFileInfo(m_path).isFile()) {
        m_error = systemErrorDescription(ENOENT);
        return OpenStatus::inputFailed;
    } else {
        m_image = cv::imread(m_path.toStdString(), cv::IMREAD_COLOR);
    }
    if (!convertToBgr8(m_image)) {
        m_error = QStringLiteral("Cannot read image %1").arg(m_path);
        return OpenStatus::inputFailed;
    }
    m_open = true;
    return OpenStatus::opened;
}

GrabResult ImageFrameSource::grab() {
    return m_open ? GrabResult::frame : GrabResult::failed;
}

bool ImageFrameSource::retrieve(cv::Mat& image) {
    if (!m_open) {
        return false;
    }
    image = m_image; // shared, read-only pixels
    return true;
}

void ImageFrameSource::close() {
    m_open = false;
}

PacedFrameSource::PacedFrameSource(std::unique_ptr<FrameSource> inner, double framesPerSecond)
    : m_inner(std::move(inner)),
      m_period(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(1.0 / (framesPerSecond > 0 ? framesPerSecond : 30.0)))) {}

OpenStatus PacedFrameSource::open() {
    m_next = std::chrono::steady_clock::now() + m_period;
    return m_inner->open();
}

GrabResult PacedFrameSource::grab() {
    const auto now = std::chrono::steady_clock::now();
    if (now < m_next) {
        std::this_thread::sleep_until(m_next);
        m_next += m_period;
    } else {
        m_next = now + m_period;
    }
    return m_inner->grab();
}

} // namespace quorvel
