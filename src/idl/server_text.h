// Texts that come from a server (its version, device names) as a terminal may
// show them: a server of somebody else's must not be able to move the cursor
// or rewrite the screen through them.
#ifndef KST_SERVER_TEXT_H
#define KST_SERVER_TEXT_H

#include <string>

// `text` with control characters (0x00-0x1f, 0x7f) written as "\xHH" and the
// backslash as "\\"; every other byte unchanged.
std::string escapeControlCharacters(const char* text);

#endif
