#pragma once

#include <QCommandLineParser>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>
#include <optional>

namespace quorvel::tools {

// The conventions every command-line tool keeps: a wrong command line prints the usage text
// and exits with 2, a failure prints "<tool>: <message>" and exits with 1, and each result is
// one JSON object on one line of standard output, flushed at once so that a reader sees it
// as it comes.
class Tool {
public:
    static constexpr int exitFailure = 1;
    static constexpr int exitUsage = 2;

    Tool(QString name, QString usage) : m_name(std::move(name)), m_usage(std::move(usage)) {}

    // Parses `arguments` (without the program's name) with `parser`; on an unknown option or
    // a missing value, says what is wrong and returns false.
    bool parse(QCommandLineParser& parser, const QStringList& arguments) const;

    int usage() const;                       // returns exitUsage
    int fail(const QString& message) const;  // returns exitFailure
    void warn(const QString& message) const; // the same line, and the tool goes on

    // The value of `option` as a whole number from `min` to `max`, or `fallback` when the
    // option is not given; nothing when it is given but is no such number.
    static std::optional<int> intValue(const QCommandLineParser& parser, const QString& option,
                                       int fallback, int min, int max);
    // The value of `option` as a frame size "WxH", each side 16 or more, or `fallback`
    // when it is not given; nothing when it is given but is no such size.
    static std::optional<cv::Size> sizeValue(const QCommandLineParser& parser,
                                             const QString& option, cv::Size fallback);

private:
    QString m_name;
    QString m_usage;
};

// Writes `line` as compact JSON on one line of standard output and flushes it.
void printJsonLine(const QJsonObject& line);

// A measured figure rounded to `decimals` places; null when it is not a finite number.
QJsonValue jsonNumber(double value, int decimals);

// The picture as a camera of `size` would show it: scaled to fit the frame and centred
// between black borders.
cv::Mat letterboxed(const cv::Mat& image, cv::Size size);

} // namespace quorvel::tools
