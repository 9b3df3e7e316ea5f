// A Confirmation made from a gsmlib time stamp, for tests that are not
// compiled with gsmlib's headers.
#ifndef KST_TESTS_SMTP_MODEM_CONFIRMATION_H
#define KST_TESTS_SMTP_MODEM_CONFIRMATION_H

#include "emailer.h"

// `year` is the time stamp's two-digit year.
Confirmation modemConfirmation(const char* da, const char* ud, int year, int month, int day, int hour, int minute,
                               int second, const char* email);

#endif
