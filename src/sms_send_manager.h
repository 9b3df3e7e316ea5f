// The thread that supervises the senders: in every cycle it makes the first
// connected sender (in registration order) the active one and tries to
// reconnect the senders that lost their connection.
#ifndef KST_SMS_SEND_MANAGER_H
#define KST_SMS_SEND_MANAGER_H

#include <atomic>
#include <string>
#include <vector>

#include "qpthr.h"

class SmsSender;

struct SenderInfo {
    std::string _name;
    // 0 not connected, 1 connected, 2 connected and active.
    int _status;
};

class SmsSendManager : public qpthr::QpThread {
public:
    SmsSendManager();
    // Joins the manager's own thread, then joins and deletes every sender.
    ~SmsSendManager() override;

    void Main() override;

    // Reach only senders registered afterwards.
    void setAccessLogHideIp(bool hide) { m_accessLog_HideIp = hide; }
    void setAccessLogHideDestinationAddress(bool hide) { m_accessLog_HideDestinationAddress = hide; }
    void setAccessLogHideUserData(bool hide) { m_accessLog_HideUserData = hide; }
    void setAccessLogHideEmail(bool hide) { m_accessLog_HideEmail = hide; }
    void setErrorLogHideDestinationAddress(bool hide) { m_errorLog_HideDestinationAddress = hide; }
    void setErrorLogHideUserData(bool hide) { m_errorLog_HideUserData = hide; }
    void setReceiveLogHideOriginatingAddress(bool hide) { m_receiveLog_HideOriginatingAddress = hide; }
    void setReceiveLogHideDestinationAddress(bool hide) { m_receiveLog_HideDestinationAddress = hide; }
    void setReceiveLogHideUserData(bool hide) { m_receiveLog_HideUserData = hide; }

    // Hands the hiding flags to the sender and takes ownership of it. Only
    // before the manager's thread starts: the list is read without a lock.
    void registerSmsSender(SmsSender* sender);

    // Appends one entry per sender in registration order; returns their number.
    int getStats(std::vector<SenderInfo>& info);
    int getSenderCount();

    // Pause between two supervision cycles (10 s unless changed).
    void setCycleLength(long milliseconds) { m_cycleLengthMs = milliseconds; }

protected:
    // Sleeps one cycle length, or less once the shutdown flag is set. A test
    // may step the loop cycle by cycle through it.
    virtual void pauseBetweenCycles();

private:
    void superviseOnce();

    std::vector<SmsSender*> m_senders;
    bool m_accessLog_HideIp;
    bool m_accessLog_HideDestinationAddress;
    bool m_accessLog_HideUserData;
    bool m_accessLog_HideEmail;
    bool m_errorLog_HideDestinationAddress;
    bool m_errorLog_HideUserData;
    bool m_receiveLog_HideOriginatingAddress;
    bool m_receiveLog_HideDestinationAddress;
    bool m_receiveLog_HideUserData;
    std::atomic<long> m_cycleLengthMs;
};

#endif
