#include "ToolSupport.h"

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

} // namespace quorvel::tools
