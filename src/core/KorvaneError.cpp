#include "core/KorvaneError.h"

namespace korvane {

KorvaneError::KorvaneError(qint32 number, QString description)
    : number_(number),
      description_(std::move(description)),
      what_(errorLine(number_, description_).toStdString()) {}

QString errorLine(qint32 number, const QString& description) {
    return QStringLiteral("Error Occurred: ") + QString::number(number) + QStringLiteral(" --> ") +
           description;
}

QString errorLine(const KorvaneError& error) {
    return errorLine(error.number(), error.description());
}

}  // namespace korvane
