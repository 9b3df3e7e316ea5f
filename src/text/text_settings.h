// The settings of "[General]" that say how a text is coded and divided into
// messages. Read once at start-up (Config), read-only afterwards: any thread
// may read a copy. C++14, as the sources that include gsmlib's headers see
// it too.
#ifndef KST_TEXT_TEXT_SETTINGS_H
#define KST_TEXT_TEXT_SETTINGS_H

// The section "[General]": how a text is coded and divided into messages.
struct TextSettings {
    // "Encoding": false ("transliterate", the default): the text is
    // transliterated to ASCII; true ("unicode"): sent in the GSM 7-bit
    // alphabet when it fits, otherwise in UCS-2, nothing transliterated.
    bool unicode = false;
    // "Concatenation": false ("text", the default): parts headed "i/N ";
    // true ("udh"): parts with a concatenation header the phone joins.
    bool udh = false;
    // "MaxParts": the messages one text may take for one destination
    // (1 to 255, default 5); a longer text is refused.
    int maxParts = 5;
};

#endif
