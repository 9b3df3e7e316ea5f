#include "sms_send_manager.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "process.h"
#include "sms_sender.h"
#include "trace.h"

SmsSendManager::SmsSendManager(StopSignal& stopSignal)
    : qpthr::QpThread(0, 0, nullptr, 0), m_cycleLengthMs(10000), m_stopSignal(stopSignal) {}

SmsSendManager::~SmsSendManager() {
    // The loop calls into the senders, so it must have ended before they go.
    Join();
    for (std::unique_ptr<SmsSender>& sender : m_senders) {
        tracePlain("Waiting for '%s'...\n", sender->GetName());
        sender->Join();
        tracePlain("'%s' joined.\n", sender->GetName());
        sender.reset();
    }
    m_senders.clear();
}

void SmsSendManager::registerSmsSender(std::unique_ptr<SmsSender> sender) {
    sender->setAccessLogHideIp(m_accessLog_HideIp);
    sender->setAccessLogHideDestinationAddress(m_accessLog_HideDestinationAddress);
    sender->setAccessLogHideUserData(m_accessLog_HideUserData);
    sender->setAccessLogHideEmail(m_accessLog_HideEmail);
    sender->setErrorLogHideDestinationAddress(m_errorLog_HideDestinationAddress);
    sender->setErrorLogHideUserData(m_errorLog_HideUserData);
    sender->setReceiveLogHideOriginatingAddress(m_receiveLog_HideOriginatingAddress);
    sender->setReceiveLogHideDestinationAddress(m_receiveLog_HideDestinationAddress);
    sender->setReceiveLogHideUserData(m_receiveLog_HideUserData);
    m_senders.push_back(std::move(sender));
}

int SmsSendManager::getStats(std::vector<SenderInfo>& info) {
    for (const std::unique_ptr<SmsSender>& sender : m_senders) {
        SenderInfo entry;
        entry._name = sender->GetName();
        entry._status = 0;
        if (sender->connected()) {
            entry._status = 1;
            if (sender->active()) entry._status = 2;
        }
        info.push_back(entry);
    }
    return static_cast<int>(m_senders.size());
}

int SmsSendManager::getSenderCount() { return static_cast<int>(m_senders.size()); }

void SmsSendManager::Main() {
    traceAs(GetName(), "Main\n");
    while (!m_stopSignal.stopping()) {
        if (m_cycleTask) m_cycleTask();
        superviseOnce();
        pauseBetweenCycles();
    }
}

void SmsSendManager::superviseOnce() {
    for (const std::unique_ptr<SmsSender>& sender : m_senders) {
        sender->stop();
        if (sender->connected()) {
            traceAs(GetName(), "Main: SMS sender '%s' is connected.\n", sender->GetName());
        } else {
            traceAs(GetName(), "Main: SMS sender '%s' is NOT connected.\n", sender->GetName());
        }
    }
    for (const std::unique_ptr<SmsSender>& sender : m_senders) {
        if (sender->connected()) {
            traceAs(GetName(), "Main: SMS sender '%s' is active for sending.\n", sender->GetName());
            sender->start();
            break;
        }
    }
    for (const std::unique_ptr<SmsSender>& sender : m_senders) {
        if (sender->connected()) continue;
        if (sender->reconnect()) {
            traceAs(GetName(), "Main: SMS sender '%s' is sucessfuly REconnected.\n", sender->GetName());
            break;
        }
        traceAs(GetName(), "Main: SMS sender '%s' REconnection FAILED.\n", sender->GetName());
    }
}

void SmsSendManager::pauseBetweenCycles() { m_stopSignal.waitFor(std::chrono::milliseconds(m_cycleLengthMs.load())); }
