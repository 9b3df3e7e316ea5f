// When a store whose database went away tries to connect again: the first
// attempt half a second after the loss, then after twice the pause before
// it, at most every `bound`. A plain value: its owner guards it.
#ifndef KST_STORE_RECONNECT_BACKOFF_H
#define KST_STORE_RECONNECT_BACKOFF_H

#include <algorithm>
#include <chrono>

class ReconnectBackoff {
public:
    static constexpr std::chrono::milliseconds first{500};
    static constexpr std::chrono::milliseconds bound{10000};

    // The pause after `failures` failed attempts (0: after the loss).
    static std::chrono::milliseconds pauseAfter(int failures) {
        std::chrono::milliseconds pause = first;
        for (int i = 0; i < failures && pause < bound; ++i) pause *= 2;
        return std::min(pause, bound);
    }
};

#endif
