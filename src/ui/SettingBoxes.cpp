#include "ui/SettingBoxes.h"

#include <iterator>

namespace korvane {

namespace {
using C = RunConfiguration;

struct Box {
    QString C::*text;
    qint32 C::*flag;
    const char* name;
};

const Box kBoxes[] = {
    {&C::dsnName, nullptr, "txtDSN"},
    {&C::dsnDbUser, nullptr, "txtDBUser"},
    {&C::dsnDbPassword, nullptr, "txtDBPassword"},
    {&C::cellServer, nullptr, "txtCellServer"},
    {&C::cellPort, nullptr, "txtCellPort"},
    {&C::cellUserName, nullptr, "txtCellUser"},
    {&C::cellPassword, nullptr, "txtCellPassword"},
    {&C::smtpServer, nullptr, "txtSMTPServer"},
    {&C::smtpPort, nullptr, "txtSMTPPort"},
    {&C::smtpUserName, nullptr, "txtSMTPUser"},
    {&C::smtpPassword, nullptr, "txtSMTPPassword"},
    {nullptr, &C::runAppOnStartup, "chkRunAppOnStartup"},
    {nullptr, &C::dontSendProcessedMsgs, "chkDontSendProcessedMsgs"},
};
}  // namespace

QString boxOf(const Setting& setting) {
    for (const Box& box : kBoxes) {
        if ((setting.isFlag() && box.flag == setting.flag) ||
            (!setting.isFlag() && box.text == setting.text)) {
            return QString::fromLatin1(box.name);
        }
    }
    return QString();
}

}  // namespace korvane
