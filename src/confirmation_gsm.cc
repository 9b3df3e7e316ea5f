// The Confirmation constructor that reads a gsmlib time stamp; kept apart
// because gsmlib's headers need gnu++14.
#include <stdio.h>

#include <gsmlib/gsm_sms_codec.h>

#include "emailer.h"

Confirmation::Confirmation(const char* da, const char* ud, const gsmlib::Timestamp& timestamp, const char* email)
    : m_da(da ? da : ""), m_ud(ud ? ud : ""), m_email(email ? email : ""), m_count(0) {
    // The time stamp holds a two-digit year. Room for any short values.
    char date[32];
    char time[32];
    snprintf(date, sizeof date, "%d.%d.%d", timestamp._day, timestamp._month, timestamp._year + 2000);
    snprintf(time, sizeof time, "%d:%d:%d", timestamp._hour, timestamp._minute, timestamp._seconds);
    m_date = date;
    m_time = time;
}
