// The columns of a message as findMessage() reads them, mapped to a
// MessageRecord the same way by every store.
#ifndef KST_STORE_MESSAGE_RECORD_ROW_H
#define KST_STORE_MESSAGE_RECORD_ROW_H

#include "store.h"

namespace messagerow {

// The columns a store selects, in this order, for readMessageRecord().
#define KST_MESSAGE_RECORD_COLUMNS                                                                  \
    "SELECT id, state, outcome, target, sender, client_ref, callback_url, part, parts, error_code," \
    " notification_status, accepted_at, submitted_at, acknowledged_at, notified_at, finished_at FROM message"

// `Row` gives integer(column), text(column) and isNull(column) of one row
// of those columns; `state` is the stored state (0 queued, 1 submitted, 2
// acknowledged, 3 finished).
template <class Row>
void readMessageRecord(const Row& row, MessageRecord& record) {
    record.id = static_cast<uint64_t>(row.integer(0));
    switch (row.integer(1)) {
        case 0: record.stage = MessageRecord::Stage::Queued; break;
        case 1: record.stage = MessageRecord::Stage::Submitted; break;
        case 2: record.stage = MessageRecord::Stage::Acknowledged; break;
        default: record.stage = MessageRecord::Stage::Finished; break;
    }
    record.outcome = row.text(2);
    record.target = row.text(3);
    record.sender = row.text(4);
    record.tracking.clientRef = row.text(5);
    record.tracking.callbackUrl = row.text(6);
    record.tracking.part = static_cast<int>(row.integer(7));
    record.tracking.parts = static_cast<int>(row.integer(8));
    record.errorCode = row.isNull(9) ? -1 : static_cast<int>(row.integer(9));
    record.notificationStatus = row.isNull(10) ? -1 : static_cast<int>(row.integer(10));
    record.acceptedAt = static_cast<time_t>(row.integer(11));
    record.submittedAt = static_cast<time_t>(row.integer(12));
    record.acknowledgedAt = static_cast<time_t>(row.integer(13));
    record.notifiedAt = static_cast<time_t>(row.integer(14));
    record.finishedAt = static_cast<time_t>(row.integer(15));
}

// The columns of a queued message, in this order, for readQueuedMessage().
#define KST_QUEUED_MESSAGE_COLUMNS                                                                    \
    "id, target, source, body, remote_addr, on_display, mail_to, position, client_ref, callback_url," \
    " part, parts, concat_ref"

// The message of a row of those columns, with what it keeps for the HTTP
// interface's caller and the parts of its text.
template <class Row>
Sms readQueuedMessage(const Row& row) {
    Sms sms(row.text(1), row.text(2), row.text(3), row.text(4), row.integer(5) != 0, row.text(6));
    sms.setId(static_cast<uint64_t>(row.integer(0)));
    const int parts = static_cast<int>(row.integer(11));
    if (!row.isNull(8) || !row.isNull(9) || parts > 1) {
        Sms::Tracking tracking;
        tracking.clientRef = row.text(8);
        tracking.callbackUrl = row.text(9);
        tracking.part = static_cast<int>(row.integer(10));
        tracking.parts = parts;
        // Rows kept before the reference was: the parts of a text were
        // stored in one commit with consecutive ids.
        tracking.reference = static_cast<uint8_t>(row.isNull(12) ? sms.id() - static_cast<uint64_t>(tracking.part - 1)
                                                                 : row.integer(12));
        sms.setTracking(tracking);
    }
    return sms;
}

}  // namespace messagerow

#endif
