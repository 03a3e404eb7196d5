#pragma once

#include <QDateTime>

namespace korvane {

// Where "now" comes from, so that day boundaries can be tested.
class Clock {
public:
    virtual ~Clock();
    virtual QDateTime now() const = 0;
};

class SystemClock : public Clock {
public:
    QDateTime now() const override;
};

}  // namespace korvane
