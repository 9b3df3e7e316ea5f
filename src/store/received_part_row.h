// The variables of a kept part of a concatenated received message as one
// column, the same in every store: "name NUL value NUL" for each, in order.
// Neither names nor values of environment variables can hold a NUL byte.
#ifndef KST_STORE_RECEIVED_PART_ROW_H
#define KST_STORE_RECEIVED_PART_ROW_H

#include <string>
#include <utility>
#include <vector>

#include "store.h"

namespace receivedpart {

inline std::string packVariables(const std::vector<std::pair<std::string, std::string>>& variables) {
    std::string packed;
    for (const auto& variable : variables) {
        packed += variable.first;
        packed += '\0';
        packed += variable.second;
        packed += '\0';
    }
    return packed;
}

// A trailing piece without its NUL (a damaged row) is left out.
inline std::vector<std::pair<std::string, std::string>> unpackVariables(const std::string& packed) {
    std::vector<std::pair<std::string, std::string>> variables;
    size_t position = 0;
    for (;;) {
        const size_t nameEnd = packed.find('\0', position);
        if (nameEnd == std::string::npos) break;
        const size_t valueEnd = packed.find('\0', nameEnd + 1);
        if (valueEnd == std::string::npos) break;
        variables.emplace_back(packed.substr(position, nameEnd - position),
                               packed.substr(nameEnd + 1, valueEnd - nameEnd - 1));
        position = valueEnd + 1;
    }
    return variables;
}

// The columns a store selects, in this order, for readReceivedPart().
#define KST_RECEIVED_PART_COLUMNS "group_key, part_number, received_at, variables"

template <class Row>
StoredReceivedPart readReceivedPart(const Row& row) {
    StoredReceivedPart part;
    part.group = row.text(0);
    part.number = static_cast<int>(row.integer(1));
    part.receivedAt = static_cast<time_t>(row.integer(2));
    part.variables = unpackVariables(row.text(3));
    return part;
}

}  // namespace receivedpart

#endif
