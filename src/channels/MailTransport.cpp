#include "channels/MailTransport.h"

namespace korvane {

MailTransport::~MailTransport() = default;

}  // namespace korvane
