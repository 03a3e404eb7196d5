#pragma once

#include <QMetaType>
#include <QTest>

#include "core/Messages.h"

namespace korvane {

// A failed comparison names the outcomes.
inline char* toString(Delivery delivery) {
    static const char* const names[] = {"Sent",    "InDoubt",     "Refused",
                                        "Passing", "Unreachable", "AccountRefused"};
    return qstrdup(names[int(delivery)]);
}

}  // namespace korvane

Q_DECLARE_METATYPE(korvane::Delivery)
