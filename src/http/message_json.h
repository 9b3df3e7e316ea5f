// How the HTTP interface shows a stored message: the one mapping of the
// store's stages and outcomes to the states callers see, and the JSON of a
// message (the answer to GET /v1/messages/{id}; delivery callbacks carry the
// same).
#ifndef KST_HTTP_MESSAGE_JSON_H
#define KST_HTTP_MESSAGE_JSON_H

#include <time.h>

#include <nlohmann/json.hpp>
#include <string>

#include "store.h"

// "queued", "submitted", "accepted" (by the network; waiting for its
// notification, or none asked for, or only "buffered" reported),
// "delivered", "undeliverable", "rejected" (refused by the SMSC for good) or
// "expired" (no notification within Store/NotificationTimeout).
const char* publicState(const MessageRecord& record);

// Whether the state is final (no later state follows).
bool isFinalState(const std::string& state);

// "2026-12-08T19:30:00Z".
std::string iso8601(time_t at);

// The message as JSON: id (a decimal string), to, part, parts, state,
// sender, smsc_error_code, notification_status, client_ref and the time of
// each step that happened (accepted_at, submitted_at, acknowledged_at,
// notified_at, finished_at); absent values are null.
nlohmann::json messageJson(const MessageRecord& record);

// Text for a JSON answer: invalid UTF-8 from a stored field is replaced, not
// thrown.
std::string dumpJson(const nlohmann::json& value);

#endif
