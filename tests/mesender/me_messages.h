// Messages as the modem sender reads them from a store, built with gsmlib
// (me_messages_gsm.cc) and handed to SmsSenderMe::processMessage, so that
// the tests themselves stay free of gsmlib's headers.
#ifndef KST_TESTS_ME_MESSAGES_H
#define KST_TESTS_ME_MESSAGES_H

#include <time.h>

#include <string>

class SmsSenderMe;

// An SMS-DELIVER; the service centre time stamp is 7 December 2004,
// 14:03:09.
void processDeliver(SmsSenderMe& sender, const std::string& originator, const std::string& scAddress,
                    const std::string& text);
// An SMS-STATUS-REPORT for `recipient` quoting `reference`, with the same
// service centre time stamp.
// A report whose service centre time stamp is `scTime` (-1: now), written
// in a zone `zoneQuarters` quarter hours east of UTC.
void processStatusReport(SmsSenderMe& sender, const std::string& recipient, unsigned char reference,
                         unsigned char status, time_t scTime = -1, int zoneQuarters = 0);
// An SMS-SUBMIT, as a store holds for a message written but not received.
void processSubmit(SmsSenderMe& sender);
// A null message, as reading an empty slot gives.
void processNull(SmsSenderMe& sender);
// The PDU (service centre address "00" first, upper-case hexadecimal) that
// gsmlib's own SMSSubmitMessage encodes for `text` to `destination`, as the
// modem sender built its messages before it had its own encoder.
std::string gsmlibSubmitPdu(const std::string& destination, const std::string& text, bool statusReportRequest);

#endif
