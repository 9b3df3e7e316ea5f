#include "message_json.h"

namespace {

// The status of a delivery notification saying "delivered", and "not
// delivered" (the SMSC's and the modem's status reports alike).
const int notificationDelivered = 0;
const int notificationBuffered = 1;

nlohmann::json timeOrNull(time_t at) { return at == 0 ? nlohmann::json(nullptr) : nlohmann::json(iso8601(at)); }

}  // namespace

const char* publicState(const MessageRecord& record) {
    switch (record.stage) {
        case MessageRecord::Stage::Queued: return "queued";
        case MessageRecord::Stage::Submitted: return "submitted";
        case MessageRecord::Stage::Acknowledged: return "accepted";
        case MessageRecord::Stage::Finished: break;
    }
    if (record.outcome == "refused") return "rejected";
    if (record.outcome == "expired") return "expired";
    if (record.outcome == "notified") {
        if (record.notificationStatus == notificationDelivered) return "delivered";
        if (record.notificationStatus == notificationBuffered) return "accepted";
        return "undeliverable";
    }
    return "accepted";
}

bool isFinalState(const std::string& state) {
    return state == "delivered" || state == "undeliverable" || state == "rejected" || state == "expired";
}

std::string iso8601(time_t at) {
    struct tm parts;
    gmtime_r(&at, &parts);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

nlohmann::json messageJson(const MessageRecord& record) {
    nlohmann::json out;
    out["id"] = std::to_string(record.id);
    out["to"] = record.target;
    out["part"] = record.tracking.part;
    out["parts"] = record.tracking.parts;
    out["state"] = publicState(record);
    out["sender"] = record.sender.empty() ? nlohmann::json(nullptr) : nlohmann::json(record.sender);
    out["smsc_error_code"] = record.errorCode < 0 ? nlohmann::json(nullptr) : nlohmann::json(record.errorCode);
    out["notification_status"] =
        record.notificationStatus < 0 ? nlohmann::json(nullptr) : nlohmann::json(record.notificationStatus);
    out["client_ref"] =
        record.tracking.clientRef.empty() ? nlohmann::json(nullptr) : nlohmann::json(record.tracking.clientRef);
    out["accepted_at"] = timeOrNull(record.acceptedAt);
    out["submitted_at"] = timeOrNull(record.submittedAt);
    out["acknowledged_at"] = timeOrNull(record.acknowledgedAt);
    out["notified_at"] = timeOrNull(record.notifiedAt);
    out["finished_at"] = timeOrNull(record.finishedAt);
    return out;
}

std::string dumpJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
