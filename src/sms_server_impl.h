// The servant of the remote interface: queues messages and answers the
// statistics. It holds no state; everything it touches is global.
#ifndef KST_SMS_SERVER_IMPL_H
#define KST_SMS_SERVER_IMPL_H

#include <string>
#include <vector>

#include "sms_server.hh"

class SmsServer_impl : public POA_SmsServer {
public:
    SmsServer_impl() = default;
    ~SmsServer_impl() override = default;

    void KeepAlive() override;
    // Converts the text to ASCII, cuts a text over 160 characters into at
    // most five numbered parts and queues every part for every non-empty
    // number of the comma-separated list. Always returns 0.
    CORBA::Long SendSms(const char* phoneNumber, const char* text, const char* remoteAddr,
                        CORBA::Boolean onDisplay, const char* mailTo) override;
    char* version() override;
    CORBA::Long getStats(SmsServer::Stats_out stats_out) override;

    // The texts that SendSms queues for one destination: the whole text when
    // it fits one message, otherwise parts headed "i/N ".
    static std::vector<std::string> splitText(const std::string& asciiText);
};

#endif
