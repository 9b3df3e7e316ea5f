#include "ucp_error.h"

#include <stdio.h>

namespace {

struct UcpError {
    int code;
    const char* meaning;
    bool temporary;
};

// The error codes of UCP results, in one place.
const UcpError ucpErrors[] = {
    {1, "Checksum error", true},
    {2, "Syntax error", false},
    {3, "Operation not supported by system", false},
    {4, "Operation not allowed", false},
    {5, "Call barring active", false},
    {6, "AdC invalid", false},
    {7, "Authentication failure", false},
    {8, "Legitimisation code for all calls, failure", false},
    {9, "GA not valid", false},
    {10, "Repetition not allowed", false},
    {11, "Legitimisation code for repetition, failure", false},
    {12, "Priority call not allowed", false},
    {13, "Legitimisation code for priority call, failure", false},
    {14, "Urgent message not allowed", false},
    {15, "Legitimisation code for urgent message, failure", false},
    {16, "Reverse charging not allowed", false},
    {17, "Legitimisation code for rev. charging, failure", false},
    {18, "Deferred delivery not allowed", false},
    {19, "New AC not valid", false},
    {20, "New legitimisation code not valid", false},
    {21, "Standard text not valid", false},
    {22, "Time period not valid", false},
    {23, "Message type not supported by system", false},
    {24, "Message too long", false},
    {25, "Requested standard text not valid", false},
    {26, "Message type not valid for the pager type", false},
    {27, "Message not found in SMSC", false},
    {30, "Subscriber hang-up", false},
    {31, "Fax group not supported", false},
    {32, "Fax message type not supported", false},
    {33, "Address already in list", false},
    {34, "Address not in list", false},
    {35, "List full, cannot add address to list", false},
    {36, "RPID already in use", false},
    {37, "Delivery in progress", false},
    {38, "Message forwarded", false},
};

const UcpError* find(int code) {
    for (const UcpError& error : ucpErrors) {
        if (error.code == code) return &error;
    }
    return nullptr;
}

}  // namespace

std::string ucpErrorDescription(int code) {
    char number[16];
    snprintf(number, sizeof number, "%02d", code);
    const UcpError* error = find(code);
    return std::string(number) + " = " + (error ? error->meaning : "unknown error code");
}

bool ucpErrorIsTemporary(int code) {
    const UcpError* error = find(code);
    return error == nullptr || error->temporary;
}
