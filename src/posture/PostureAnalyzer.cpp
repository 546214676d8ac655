#include "posture/PostureAnalyzer.h"

#include "posture/PostureLogging.h"

#include <QMutexLocker>

namespace quorvel {

PostureAnalyzer::PostureAnalyzer(SettingsManager& settings) : m_settings(settings) {
    m_calibrationFrames.reserve(calibrationFrameCount);
}

bool PostureAnalyzer::isCalibrating() const {
    QMutexLocker lock(&m_mutex);
    return m_isCalibrating;
}

void PostureAnalyzer::setIsCalibrating(bool value) {
    QMutexLocker lock(&m_mutex);
    m_isCalibrating = value;
}

bool PostureAnalyzer::isCalibrated() const {
    return m_settings.isCalibrated() && m_settings.baselineShoulderWidth() > 0.0;
}

void PostureAnalyzer::startCalibration() {
    QMutexLocker lock(&m_mutex);
    m_isCalibrating = true;
    m_calibrationFrames.clear();
    qCInfo(lcPosture) << "calibration started:" << calibrationFrameCount << "frames to collect";
}

bool PostureAnalyzer::addCalibrationFrame(const BodyJoints& joints) {
    double meanWidth = 0.0;
    double meanHeight = 0.0;
    quint64 generation = 0;
    {
        QMutexLocker lock(&m_mutex);
        if (!m_isCalibrating || !joints.hasValidKeyJoints()) {
            return false;
        }
        m_calibrationFrames.push_back(joints);
        if (static_cast<int>(m_calibrationFrames.size()) < calibrationFrameCount) {
            return false;
        }
        // Finalise. Every collected frame had valid key joints when it was added.
        m_isCalibrating = false;
        for (const auto& frame : m_calibrationFrames) {
            meanWidth += frame.shoulderWidth();
            meanHeight += frame.shoulderMidpoint().y;
        }
        const auto n = static_cast<double>(m_calibrationFrames.size());
        meanWidth /= n;
        meanHeight /= n;
        m_calibrationFrames.clear();
        generation = m_resets;
    }
    // The store is written outside m_mutex, since its observers may call back into the
    // analyzer. A reset that came after this calibration finished wins: the baseline is
    // written only while no reset has happened since, before each value (an observer of an
    // earlier value may have reset), and a reset on another thread waits for the writes.
    qCInfo(lcPosture, "calibrated: shoulder width %.3f at height %.3f", meanWidth, meanHeight);
    QMutexLocker writing(&m_storeMutex);
    const auto unchanged = [&] {
        QMutexLocker lock(&m_mutex);
        return m_resets == generation;
    };
    if (unchanged()) {
        m_settings.setBaselineShoulderWidth(meanWidth);
    }
    if (unchanged()) {
        m_settings.setBaselineShoulderY(meanHeight);
    }
    if (unchanged()) {
        m_settings.setIsCalibrated(true);
    }
    return true;
}

PostureStatus PostureAnalyzer::analyze(const BodyJoints& joints) const {
    if (!isCalibrated()) {
        return PostureStatus::calibrating;
    }
    if (!joints.hasValidKeyJoints()) {
        return PostureStatus::noPersonDetected;
    }
    const double width = joints.shoulderWidth();
    if (width <
        m_settings.baselineShoulderWidth() * shoulderWidthThreshold(m_settings.sensitivity())) {
        return PostureStatus::slouching;
    }
    if (!(m_settings.baselineShoulderY() > 0.0)) {
        return PostureStatus::good;
    }
    const double height = joints.shoulderMidpoint().y;
    if (height < m_settings.baselineShoulderY() * shoulderDropThreshold(m_settings.sensitivity())) {
        return PostureStatus::slouching;
    }
    return PostureStatus::good;
}

void PostureAnalyzer::resetCalibration() {
    qCInfo(lcPosture) << "calibration reset";
    QMutexLocker writing(&m_storeMutex);
    {
        QMutexLocker lock(&m_mutex);
        ++m_resets;
    }
    m_settings.setIsCalibrated(false);
    m_settings.setBaselineShoulderWidth(0.0);
    m_settings.setBaselineShoulderY(0.0);
    QMutexLocker lock(&m_mutex);
    m_calibrationFrames.clear();
    m_isCalibrating = false;
}

int PostureAnalyzer::calibrationFrameCountSoFar() const {
    QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_calibrationFrames.size());
}

} // namespace quorvel
