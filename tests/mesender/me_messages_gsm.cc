#include "me_messages.h"

#include <gsmlib/gsm_sms.h>
#include <gsmlib/gsm_sms_codec.h>

#include "sms_sender_me.h"

namespace {

gsmlib::Timestamp reportTime() {
    gsmlib::Timestamp timestamp;
    timestamp._year = 4;
    timestamp._month = 12;
    timestamp._day = 7;
    timestamp._hour = 14;
    timestamp._minute = 3;
    timestamp._seconds = 9;
    return timestamp;
}

}  // namespace

void processDeliver(SmsSenderMe& sender, const std::string& originator, const std::string& scAddress,
                    const std::string& text) {
    gsmlib::Ref<gsmlib::SMSDeliverMessage> message = new gsmlib::SMSDeliverMessage();
    gsmlib::Address from(originator);
    message->setOriginatingAddress(from);
    gsmlib::Address centre(scAddress);
    message->setServiceCentreAddress(centre);
    gsmlib::Timestamp timestamp = reportTime();
    message->setServiceCentreTimestamp(timestamp);
    message->setUserData(text);
    sender.processMessage(gsmlib::SMSMessageRef(message.getptr()));
}

void processStatusReport(SmsSenderMe& sender, const std::string& recipient, unsigned char reference,
                         unsigned char status) {
    gsmlib::Ref<gsmlib::SMSStatusReportMessage> message = new gsmlib::SMSStatusReportMessage();
    message->setRecipientAddress(gsmlib::Address(recipient));
    message->setMessageReference(reference);
    message->setServiceCentreTimestamp(reportTime());
    message->setStatus(status);
    sender.processMessage(gsmlib::SMSMessageRef(message.getptr()));
}

void processSubmit(SmsSenderMe& sender) {
    gsmlib::SMSMessageRef message = new gsmlib::SMSSubmitMessage("Draft", "+420777000222");
    sender.processMessage(message);
}

void processNull(SmsSenderMe& sender) { sender.processMessage(gsmlib::SMSMessageRef()); }
