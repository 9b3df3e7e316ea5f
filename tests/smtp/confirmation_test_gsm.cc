// Confirmations made from a modem status report's gsmlib time stamp.
#include <gsmlib/gsm_sms_codec.h>
#include <gtest/gtest.h>

#include "modem_confirmation.h"

Confirmation modemConfirmation(const char* da, const char* ud, int year, int month, int day, int hour, int minute,
                               int second, const char* email) {
    gsmlib::Timestamp timestamp;
    timestamp._year = static_cast<short>(year);
    timestamp._month = static_cast<short>(month);
    timestamp._day = static_cast<short>(day);
    timestamp._hour = static_cast<short>(hour);
    timestamp._minute = static_cast<short>(minute);
    timestamp._seconds = static_cast<short>(second);
    return Confirmation(da, ud, timestamp, email);
}

TEST(ConfirmationFromTimestamp, DateAndTimeHaveNoPadding) {
    const Confirmation delivered = modemConfirmation("+420777123456", "Ahoj", 4, 12, 7, 14, 3, 9, "a@example.org");
    EXPECT_EQ(delivered.m_da, "+420777123456");
    EXPECT_EQ(delivered.m_ud, "Ahoj");
    EXPECT_EQ(delivered.m_date, "7.12.2004");
    EXPECT_EQ(delivered.m_time, "14:3:9");
    EXPECT_EQ(delivered.m_email, "a@example.org");
    EXPECT_EQ(delivered.m_count, 0);

    EXPECT_EQ(modemConfirmation("1", "t", 4, 3, 5, 9, 5, 7, "e").m_date, "5.3.2004");
    EXPECT_EQ(modemConfirmation("1", "t", 4, 3, 5, 9, 5, 7, "e").m_time, "9:5:7");
    EXPECT_EQ(modemConfirmation("1", "t", 10, 1, 31, 0, 0, 0, "e").m_date, "31.1.2010");
    EXPECT_EQ(modemConfirmation("1", "t", 10, 1, 31, 0, 0, 0, "e").m_time, "0:0:0");

    // Whatever a broken report holds fits: no overflow, no crash.
    const Confirmation odd = modemConfirmation("1", "t", -32768, -32768, -32768, -32768, -32768, -32768, "e");
    EXPECT_EQ(odd.m_date, "-32768.-32768.-30768");
    EXPECT_EQ(odd.m_time, "-32768:-32768:-32768");
}
