#include "core/Conversion.h"

#include <cmath>
#include <limits>

#include "core/KorvaneError.h"

namespace korvane {

qint32 toInt32(const QVariant& value) {
    if (value.isNull()) {
        throw KorvaneError(ErrorNumber::InvalidUseOfNull, QStringLiteral("Invalid use of Null"));
    }
    const QString text = value.toString().trimmed();
    bool ok = false;
    double number = static_cast<double>(text.toLongLong(&ok));
    if (!ok) {
        number = text.toDouble(&ok);
        if (!ok || !std::isfinite(number)) {
            throw KorvaneError(ErrorNumber::TypeMismatch, QStringLiteral("Type mismatch"));
        }
        number = std::nearbyint(number);
    }
    if (number < std::numeric_limits<qint32>::min() ||
        number > std::numeric_limits<qint32>::max()) {
        throw KorvaneError(ErrorNumber::Overflow, QStringLiteral("Overflow"));
    }
    return static_cast<qint32>(number);
}

}  // namespace korvane
