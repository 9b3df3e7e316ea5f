// The error codes an SMSC gives in a negative UCP result, their meanings and
// which of them say "try later".
#ifndef KST_UCP_ERROR_H
#define KST_UCP_ERROR_H

#include <string>

// The code as the SMSC writes it ("02") and its meaning: "02 = Syntax error".
// A code outside the UCP table is "unknown error code".
std::string ucpErrorDescription(int code);

// Whether a submission refused with this code may be accepted later: a
// frame damaged on the way (01), or a code outside the UCP table, which
// SMSCs use for their own load conditions (busy, throttling). Every code of
// the table that judges the message, the address or the account is final.
bool ucpErrorIsTemporary(int code);

#endif
