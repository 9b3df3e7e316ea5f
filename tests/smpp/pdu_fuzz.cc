// The SMPP sender's reading path fed arbitrary bytes: framing, the checks
// before the library, unpacking and the receipt text.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "smpp_pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    while (at < size) {
        smpp::Header header;
        const smpp::FrameState state = smpp::readFrame(data + at, size - at, header);
        if (state != smpp::FrameState::Complete) break;
        smpp::Pdu pdu;
        std::string error;
        if (smpp::decode(data + at, header.length, pdu, error) && pdu.header.commandId == smpp::deliverSm) {
            smpp::Receipt receipt;
            if (smpp::parseReceipt(pdu.shortMessage, receipt)) smpp::receiptStatus(receipt.stat);
        }
        at += header.length;
    }
    smpp::Receipt receipt;
    smpp::parseReceipt(std::string(reinterpret_cast<const char*>(data), size), receipt);
    return 0;
}
