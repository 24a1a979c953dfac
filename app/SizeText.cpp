#include "SizeText.h"

#include "control/ProtectionStatistics.h"

#include <QCoreApplication>
#include <QLocale>

#include <algorithm>

namespace quillet::app {

namespace {

// The units the core writes, listed for lupdate; each is shown translated.
constexpr const char *kSizeUnits[] = {QT_TRANSLATE_NOOP("SizeText", "B"), QT_TRANSLATE_NOOP("SizeText", "KB"),
                                      QT_TRANSLATE_NOOP("SizeText", "MB"), QT_TRANSLATE_NOOP("SizeText", "GB")};

} // namespace

char coreDecimalSeparator() {
    const QString point = QLocale().decimalPoint();
    return point.size() == 1 && point[0].unicode() < 0x80 ? static_cast<char>(point[0].unicode()) : '.';
}

QString translatedUnit(std::string_view unit) {
    for (const char *known : kSizeUnits)
        if (unit == known)
            return QCoreApplication::translate("SizeText", known);
    return QString::fromUtf8(unit.data(), static_cast<qsizetype>(unit.size()));
}

QString shownSize(const std::string &coreText) {
    const std::string_view text = coreText;
    const size_t unitStart =
        static_cast<size_t>(std::find_if(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; }) -
                            text.begin());
    QString number = QString::fromUtf8(text.data(), static_cast<qsizetype>(unitStart));
    const std::string_view unit = text.substr(unitStart);
    const QString point = QLocale().decimalPoint();
    if (coreDecimalSeparator() == '.' && point != QStringLiteral("."))
        number.replace(QLatin1Char('.'), point);
    if (unit.empty())
        return number;
    return QCoreApplication::translate("SizeText", "%1%2").arg(number, translatedUnit(unit));
}

QString shownSize(uint64_t bytes) { return shownSize(sizeText(bytes, coreDecimalSeparator())); }

} // namespace quillet::app
