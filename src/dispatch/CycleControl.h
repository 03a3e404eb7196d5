#pragma once

namespace korvane {

// What a dispatch cycle needs of processing control: the configuration check, the Stop
// action for an incomplete configuration, the stop request and Timer1.
class CycleControl {
public:
    virtual ~CycleControl() = default;
    virtual bool ValidateConfiguration() = 0;
    virtual void cmdStop_Click() = 0;
    virtual bool StopRequested() const = 0;
    virtual void setTimer1(bool on) = 0;
};

}  // namespace korvane
