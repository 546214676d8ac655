#include "ToolSupport.h"

#include <opencv2/imgproc.hpp>

#include <QJsonDocument>

#include <cmath>
#include <cstdio>

namespace quorvel::tools {

bool Tool::parse(QCommandLineParser& parser, const QStringList& arguments) const {
    if (parser.parse(QStringList{m_name} + arguments)) {
        return true;
    }
    warn(parser.errorText());
    return false;
}

int Tool::usage() const {
    std::fputs(qUtf8Printable(m_usage), stderr);
    return exitUsage;
}

int Tool::fail(const QString& message) const {
    warn(message);
    return exitFailure;
}

void Tool::warn(const QString& message) const {
    std::fprintf(stderr, "%s: %s\n", qUtf8Printable(m_name), qUtf8Printable(message));
}

std::optional<int> Tool::intValue(const QCommandLineParser& parser, const QString& option,
                                  int fallback, int min, int max) {
    if (!parser.isSet(option)) {
        return fallback;
    }
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

void printJsonLine(const QJsonObject& line) {
    std::fputs(QJsonDocument(line).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    std::fflush(stdout);
}

QJsonValue jsonNumber(double value, int decimals) {
    if (!std::isfinite(value)) {
        return QJsonValue::Null;
    }
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

std::optional<cv::Size> Tool::sizeValue(const QCommandLineParser& parser, const QString& option,
                                        cv::Size fallback) {
    if (!parser.isSet(option)) {
        return fallback;
    }
    const QStringList wh = parser.value(option).split('x');
    const cv::Size size{wh.value(0).toInt(), wh.value(1).toInt()};
    if (wh.size() != 2 || size.width < 16 || size.height < 16) {
        return std::nullopt;
    }
    return size;
}

cv::Mat letterboxed(const cv::Mat& image, cv::Size size) {
    const double scale = std::min(static_cast<double>(size.width) / image.cols,
                                  static_cast<double>(size.height) / image.rows);
    cv::Mat scaled;
    cv::resize(image, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::Mat frame(size, CV_8UC3, cv::Scalar::all(0));
    scaled.copyTo(frame(cv::Rect((size.width - scaled.cols) / 2, (size.height - scaled.rows) / 2,
                                 scaled.cols, scaled.rows)));
    return frame;
}

} // namespace quorvel::tools
