// libFuzzer target for the SMPP PDU reader and the deliver_sm reader (receipts and replies
// from phones, parts put together): whatever a gateway sends, reading it must neither crash
// nor loop, and a reply's part is always within its message. Build with scripts/fuzz.
#include <cstddef>
#include <cstdint>

#include "channels/DeliverSm.h"
#include "channels/SmppPdu.h"
#include "dispatch/ReplyAssembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvane::smpp;
    QByteArray stream(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // Fed in two pieces, as a socket may deliver it.
    QByteArray buffer = stream.left(stream.size() / 2);
    QByteArray rest = stream.mid(stream.size() / 2);
    korvane::ReplyAssembler assembler;
    QDateTime at(QDate(2026, 12, 8), QTime(9, 0));
    for (int round = 0; round < 2; ++round) {
        Pdu pdu;
        PduReader::Result result;
        int guard = 0;
        while ((result = PduReader::take(buffer, pdu)) == PduReader::Result::Complete) {
            int offset = 0;
            QByteArray field;
            while (readCString(pdu.body, offset, 65, field)) {
            }
            describeStatus(pdu.status);
            if (const auto sm = korvane::DeliverSm::read(pdu.body); sm && !sm->receipt) {
                const korvane::ReplyPart& part = sm->reply;
                if (part.sequence < 1 || part.sequence > part.total) {
                    __builtin_trap();
                }
                assembler.add(part, at);
                at = at.addSecs(1);
                assembler.overdue(at);
            }
            if (++guard > 100000) {
                __builtin_trap();  // take() must always consume input
            }
        }
        buffer += rest;
        rest.clear();
    }
    return 0;
}
