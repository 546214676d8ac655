#pragma once

#include "camera/FrameSource.h"

#include <QMutex>
#include <QString>
#include <chrono>
#include <deque>
#include <memory>
#include <opencv2/core.hpp>
#include <thread>

namespace quorvel::test {

// A frame source that plays a script, shared with the test that writes it and with every
// source made from it. Frame number k (counted over all frames delivered from the script, with
// or without image) carries k in its one pixel.
struct FrameScript {
    enum class Step { frame, frameWithoutImage, fail, nothing };

    mutable QMutex mutex;
    std::deque<Step> steps;             // consumed by grab()
    std::deque<OpenStatus> openResults; // consumed by open(); when empty, open() succeeds
    QString openError = QStringLiteral("Device or resource busy");
    bool endless = false; // when the steps run out: frames for ever (else nothing)
    std::chrono::milliseconds grabDelay{0};

    int opens = 0;
    int closes = 0;
    int grabs = 0;
    int retrieves = 0;
    int alive = 0;     // sources not yet destroyed
    int delivered = 0; // frames delivered by all sources of this script
    bool isOpen = false;

    void add(Step step, int count = 1) {
        QMutexLocker lock(&mutex);
        steps.insert(steps.end(), static_cast<size_t>(count), step);
    }
    template <typename T> T read(T FrameScript::*field) const {
        QMutexLocker lock(&mutex);
        return this->*field;
    }
};

inline int frameNumber(const cv::Mat& image) {
    const auto pixel = image.at<cv::Vec3b>(0, 0);
    return pixel[0] + 256 * pixel[1];
}

class ScriptedFrameSource : public FrameSource {
public:
    explicit ScriptedFrameSource(std::shared_ptr<FrameScript> script)
        : m_script(std::move(script)) {
        QMutexLocker lock(&m_script->mutex);
        ++m_script->alive;
    }
    ~ScriptedFrameSource() override {
        QMutexLocker lock(&m_script->mutex);
        --m_script->alive;
    }

    OpenStatus open() override {
        QMutexLocker lock(&m_script->mutex);
        ++m_script->opens;
        if (!m_script->openResults.empty()) {
            const OpenStatus result = m_script->openResults.front();
            m_script->openResults.pop_front();
            if (result != OpenStatus::opened) {
                return result;
            }
        }
        m_script->isOpen = true;
        return OpenStatus::opened;
    }

    GrabResult grab() override {
        std::chrono::milliseconds delay;
        {
            QMutexLocker lock(&m_script->mutex);
            delay = m_script->grabDelay;
        }
        std::this_thread::sleep_for(delay);
        QMutexLocker lock(&m_script->mutex);
        ++m_script->grabs;
        if (!m_script->isOpen) {
            return GrabResult::failed;
        }
        FrameScript::Step step =
            m_script->endless ? FrameScript::Step::frame : FrameScript::Step::nothing;
        if (!m_script->steps.empty()) {
            step = m_script->steps.front();
            m_script->steps.pop_front();
        }
        switch (step) {
        case FrameScript::Step::frame:
        case FrameScript::Step::frameWithoutImage:
            m_current = ++m_script->delivered;
            m_hasImage = step == FrameScript::Step::frame;
            return GrabResult::frame;
        case FrameScript::Step::fail:
            return GrabResult::failed;
        case FrameScript::Step::nothing:
            break;
        }
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // a camera's short wait
        return GrabResult::noFrame;
    }

    bool retrieve(cv::Mat& image) override {
        QMutexLocker lock(&m_script->mutex);
        ++m_script->retrieves;
        if (!m_hasImage) {
            return false;
        }
        image = cv::Mat(1, 1, CV_8UC3, cv::Scalar(m_current % 256, m_current / 256, 0));
        return true;
    }

    void close() override {
        QMutexLocker lock(&m_script->mutex);
        if (m_script->isOpen) {
            ++m_script->closes;
        }
        m_script->isOpen = false;
    }

    QString errorDescription() const override {
        QMutexLocker lock(&m_script->mutex);
        return m_script->openError;
    }

private:
    std::shared_ptr<FrameScript> m_script;
    int m_current = 0;
    bool m_hasImage = false;
};

} // namespace quorvel::test
