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
                         unsigned char status, time_t scTime, int zoneQuarters) {
    const time_t local = (scTime < 0 ? time(nullptr) : scTime) + zoneQuarters * 15 * 60;
    struct tm fields;
    gmtime_r(&local, &fields);
    gsmlib::Timestamp timestamp;
    timestamp._year = static_cast<short>(fields.tm_year % 100);
    timestamp._month = static_cast<short>(fields.tm_mon + 1);
    timestamp._day = static_cast<short>(fields.tm_mday);
    timestamp._hour = static_cast<short>(fields.tm_hour);
    timestamp._minute = static_cast<short>(fields.tm_min);
    timestamp._seconds = static_cast<short>(fields.tm_sec);
    // As gsmlib decodes a zone: its sign inverted.
    timestamp._timeZoneMinutes = static_cast<short>(zoneQuarters < 0 ? -zoneQuarters * 15 : zoneQuarters * 15);
    timestamp._negativeTimeZone = zoneQuarters > 0;
    gsmlib::Ref<gsmlib::SMSStatusReportMessage> message = new gsmlib::SMSStatusReportMessage();
    message->setRecipientAddress(gsmlib::Address(recipient));
    message->setMessageReference(reference);
    message->setServiceCentreTimestamp(timestamp);
    message->setStatus(status);
    sender.processMessage(gsmlib::SMSMessageRef(message.getptr()));
}

void processSubmit(SmsSenderMe& sender) {
    gsmlib::SMSMessageRef message = new gsmlib::SMSSubmitMessage("Draft", "+420777000222");
    sender.processMessage(message);
}

void processNull(SmsSenderMe& sender) { sender.processMessage(gsmlib::SMSMessageRef()); }

std::string gsmlibSubmitPdu(const std::string& destination, const std::string& text, bool statusReportRequest) {
    gsmlib::Ref<gsmlib::SMSSubmitMessage> message = new gsmlib::SMSSubmitMessage();
    message->setStatusReportRequest(statusReportRequest);
    gsmlib::Address address(destination);
    message->setDestinationAddress(address);
    message->setUserData(text);
    return message->encode();
}
