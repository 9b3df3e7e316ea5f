// Drives gsmlib against a modem the way the daemon's modem sender does, one
// step per command read from standard input, and answers each step with one
// JSON line on standard output.  Tests run it against the modem emulator.
//
// Commands (one per line, words separated by blanks):
//   open DEVICE BAUD|- TIMEOUT   UnixSerialPort(DEVICE, speed, "E0", false),
//                                then setTimeOut(TIMEOUT) unless it is 0
//   pin PIN|-                    raw +CPIN dialogue over the port (no MeTa)
//   chat CMD EXPECTED            one raw AT exchange over the port
//   meta                         MeTa on the port, getMEInfo, getSMSStoreNames
//   init                         getSMSStore(3 names), setMessageService(1),
//                                routing with fallback, event handler
//   routing A B C D              setSMSRoutingToTA(A, B, C, D) with 0/1 flags
//   send TO REPORT DCS TEXT...   one SMS-SUBMIT (DCS "-" keeps the default)
//   sendmany TO REPORT DCS TEXT... MeTa::sendSMSs for texts of any length
//   wait SECONDS                 MeTa::waitEvent, then the indications seen
//   drain                        read, print and erase every indicated entry
//   flush STORE                  read, print and erase every entry of STORE
//   read STORE INDEX             read one entry (0-based index)
//   erase STORE INDEX            erase one entry (0-based index)
//   close                        release the MeTa (and with it the port)
//   quit
#include <gsmlib/gsm_error.h>
#include <gsmlib/gsm_event.h>
#include <gsmlib/gsm_me_ta.h>
#include <gsmlib/gsm_sms.h>
#include <gsmlib/gsm_sms_store.h>
#include <gsmlib/gsm_unix_serial.h>

#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

using namespace gsmlib;

namespace {

struct Indication {
    std::string store;
    unsigned int index;
    int type;
};

std::vector<Indication> g_indications;

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// One JSON object per answer, built field by field.
class Reply {
public:
    explicit Reply(const std::string& op) { m_text = "{\"op\":" + jsonString(op); }
    Reply& str(const std::string& key, const std::string& value) {
        m_text += "," + jsonString(key) + ":" + jsonString(value);
        return *this;
    }
    Reply& num(const std::string& key, long value) {
        m_text += "," + jsonString(key) + ":" + std::to_string(value);
        return *this;
    }
    Reply& flag(const std::string& key, bool value) {
        m_text += "," + jsonString(key) + ":" + (value ? "true" : "false");
        return *this;
    }
    Reply& raw(const std::string& key, const std::string& json) {
        m_text += "," + jsonString(key) + ":" + json;
        return *this;
    }
    void print() { std::cout << m_text << "}" << std::endl; }

private:
    std::string m_text;
};

std::string jsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + jsonString(items[i]);
    return out + "]";
}

class ProbeEvents : public GsmEvent {
public:
    void SMSReceptionIndication(std::string storeName, unsigned int index, SMSMessageType messageType) override {
        g_indications.push_back({storeName, index, static_cast<int>(messageType)});
    }
    void SMSReception(SMSMessageRef message, SMSMessageType type) override {
        Reply r("event");
        r.str("event", "SMSReception").num("type", type);
        if (!message.isnull()) r.num("message_type", message->messageType()).str("text", message->userData());
        r.print();
    }
    void CBReception(CBMessageRef message) override {
        Reply r("event");
        r.str("event", "CBReception");
        if (!message.isnull()) r.str("data", message->getData()).num("id", message->getMessageIdentifier());
        r.print();
    }
};

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \r");
    return s.substr(b, e - b + 1);
}

bool matchResponse(const std::string& answer, const std::string& expected) {
    return answer.length() >= expected.length() && answer.compare(0, expected.length(), expected) == 0;
}

// The daemon's raw AT exchange, used before a MeTa exists.
std::string chat(UnixSerialPort* port, const std::string& command, const std::string& expected,
                 std::vector<std::string>& seen) {
    port->putLine("AT" + command);
    std::string line;
    do {
        line = trim(port->getLine());
        seen.push_back(line);
    } while (line.empty() || line == command);
    std::string value;
    if (matchResponse(line, expected)) value = trim(line.substr(expected.length()));
    if (matchResponse(line, expected) && trim(expected) == "OK") return "OK";
    if (line.find("ERROR") != std::string::npos) return line;
    bool ok = false;
    for (int i = 0; i < 5; ++i) {
        line = port->getLine();
        seen.push_back(line);
        if (line.find("OK") != std::string::npos) {
            ok = true;
            break;
        }
        if (line.find("ERROR") != std::string::npos) break;
    }
    return ok ? value : line;
}

std::string typeName(int t) {
    switch (t) {
        case SMSMessage::SMS_DELIVER: return "SMS_DELIVER";
        case SMSMessage::SMS_SUBMIT: return "SMS_SUBMIT";
        case SMSMessage::SMS_STATUS_REPORT: return "SMS_STATUS_REPORT";
    }
    return "other";
}

void describeMessage(Reply& r, SMSMessageRef message) {
    if (message.isnull()) {
        r.flag("null", true);
        return;
    }
    r.flag("null", false);
    r.num("message_type", message->messageType());
    r.str("type_name", typeName(message->messageType()));
    r.str("sca", message->serviceCentreAddress().toString());
    r.str("user_data", message->userData());
    r.num("dcs", static_cast<unsigned char>(message->dataCodingScheme()));
    if (message->messageType() == SMSMessage::SMS_DELIVER) {
        SMSDeliverMessage* d = dynamic_cast<SMSDeliverMessage*>(message.getptr());
        if (d) {
            r.str("originator", d->originatingAddress().toString());
            r.str("scts", d->serviceCentreTimestamp().toString(true));
        }
    } else if (message->messageType() == SMSMessage::SMS_STATUS_REPORT) {
        SMSStatusReportMessage* s = dynamic_cast<SMSStatusReportMessage*>(message.getptr());
        if (s) {
            r.str("recipient", s->recipientAddress().toString());
            r.num("mr", s->messageReference());
            r.str("scts", s->serviceCentreTimestamp().toString(true));
            r.str("discharge", s->dischargeTime().toString(true));
            r.num("status", s->status());
            r.str("status_text", getSMSStatusString(s->status()));
        }
    } else if (message->messageType() == SMSMessage::SMS_SUBMIT) {
        SMSSubmitMessage* s = dynamic_cast<SMSSubmitMessage*>(message.getptr());
        if (s) r.str("destination", s->destinationAddress().toString());
    }
}

void fail(const std::string& op, const GsmException& e, double seconds) {
    Reply r(op);
    r.flag("ok", false)
        .str("error", e.what())
        .num("class", e.getErrorClass())
        .num("code", e.getErrorCode())
        .num("ms", static_cast<long>(seconds * 1000));
    r.print();
}

std::string restOf(std::istringstream& in) {
    std::string rest;
    std::getline(in, rest);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    return rest;
}

class Probe {
public:
    ~Probe() { close(); }

    void close() {
        m_me = Ref<MeTa>();
        m_port = Ref<Port>();
        m_raw = nullptr;
    }

    void run(const std::string& line) {
        std::istringstream in(line);
        std::string op;
        in >> op;
        if (op.empty()) return;
        auto start = std::chrono::steady_clock::now();
        auto seconds = [&]() {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        try {
            dispatch(op, in, seconds);
        } catch (GsmException& e) {
            fail(op, e, seconds());
        } catch (std::exception& e) {
            Reply(op).flag("ok", false).str("error", e.what()).num("class", -1).print();
        }
    }

    template <class Seconds>
    void dispatch(const std::string& op, std::istringstream& in, Seconds seconds) {
        if (op == "open") {
            std::string device, baud;
            unsigned int timeout = 0;
            in >> device >> baud >> timeout;
            close();
            speed_t speed = baud == "-" ? B38400 : baudRateStrToSpeed(baud);
            m_raw = new UnixSerialPort(device, speed, "E0", false);
            m_port = m_raw;
            if (timeout) m_raw->setTimeOut(timeout);
            Reply("open").flag("ok", true).num("ms", static_cast<long>(seconds() * 1000)).print();
        } else if (op == "pin") {
            std::string pin;
            in >> pin;
            if (pin == "-") pin.clear();
            std::vector<std::string> seen;
            std::string status = chat(m_raw, "+CPIN?", "+CPIN:", seen);
            Reply r("pin");
            r.str("status", status);
            if (status.find("SIM") != std::string::npos) {
                if (pin.empty()) {
                    r.flag("ok", false).str("error", "no PIN").raw("lines", jsonList(seen)).print();
                    return;
                }
                std::string answer = chat(m_raw, "+CPIN=" + pin, "OK", seen);
                r.str("answer", answer);
                if (answer != "OK") {
                    r.flag("ok", false).raw("lines", jsonList(seen)).print();
                    return;
                }
                r.str("status2", chat(m_raw, "+CPIN?", "+CPIN:", seen));
            }
            r.flag("ok", true).raw("lines", jsonList(seen)).print();
        } else if (op == "chat") {
            std::string command, expected;
            in >> command >> expected;
            std::vector<std::string> seen;
            std::string result = chat(m_raw, command, expected, seen);
            Reply("chat").flag("ok", true).str("result", result).raw("lines", jsonList(seen)).print();
        } else if (op == "meta") {
            m_me = new MeTa(m_port);
            MEInfo info = m_me->getMEInfo();
            std::vector<std::string> names = m_me->getSMSStoreNames();
            Reply("meta")
                .flag("ok", true)
                .str("manufacturer", info._manufacturer)
                .str("model", info._model)
                .str("revision", info._revision)
                .str("serial", info._serialNumber)
                .raw("stores", jsonList(names))
                .num("ms", static_cast<long>(seconds() * 1000))
                .print();
        } else if (op == "init") {
            std::string s1, s2;
            m_me->getSMSStore(s1, s2, m_receiveStore);
            m_me->setMessageService(1);
            Reply r("init");
            r.raw("stores", jsonList({s1, s2, m_receiveStore}));
            try {
                m_me->setSMSRoutingToTA(true, false, true, true);
                r.str("routing", "full");
            } catch (GsmException& e) {
                r.str("first_error", e.what()).num("first_class", e.getErrorClass());
                if (e.getErrorClass() != MeTaCapabilityError) {
                    r.flag("ok", false).print();
                    return;
                }
                m_me->setSMSRoutingToTA(true, false, false, true);
                r.str("routing", "fallback");
            }
            // The previous handler stays registered until replaced, so it lives as
            // long as the probe.
            m_handlers.push_back(new ProbeEvents());
            m_me->setEventHandler(m_handlers.back());
            r.flag("ok", true).print();
        } else if (op == "routing") {
            int a = 0, b = 0, c = 0, d = 0;
            in >> a >> b >> c >> d;
            m_me->setSMSRoutingToTA(a, b, c, d);
            Reply("routing").flag("ok", true).print();
        } else if (op == "send" || op == "sendmany") {
            std::string to, dcs;
            int report = 0;
            in >> to >> report >> dcs;
            std::string text = restOf(in);
            Ref<SMSSubmitMessage> message = new SMSSubmitMessage();
            message->setStatusReportRequest(report != 0);
            Address address(to);
            message->setDestinationAddress(address);
            if (dcs != "-")
                message->setDataCodingScheme(DataCodingScheme(static_cast<unsigned char>(std::stoi(dcs, nullptr, 16))));
            Reply r(op);
            r.num("dcs", static_cast<unsigned char>(message->dataCodingScheme()));
            if (op == "send") {
                message->setUserData(text);
                message->setAt(m_me->getAt());
                unsigned char mr = message->send();
                r.num("mr", mr);
            } else {
                m_me->sendSMSs(message, text, false, 1);
            }
            r.flag("ok", true).num("to_string_length", message->toString().length()).print();
        } else if (op == "wait") {
            double secs = 5;
            in >> secs;
            size_t before = g_indications.size();
            struct timeval timeout;
            timeout.tv_sec = static_cast<long>(secs);
            timeout.tv_usec = static_cast<long>((secs - timeout.tv_sec) * 1e6);
            m_me->waitEvent(&timeout);
            std::string list = "[";
            for (size_t i = before; i < g_indications.size(); ++i) {
                const Indication& ind = g_indications[i];
                list += std::string(i > before ? "," : "") + "{\"store\":" + jsonString(ind.store) +
                        ",\"index\":" + std::to_string(ind.index) + ",\"type\":" + std::to_string(ind.type) + "}";
            }
            Reply("wait")
                .flag("ok", true)
                .raw("indications", list + "]")
                .num("pending", g_indications.size())
                .num("ms", static_cast<long>(seconds() * 1000))
                .print();
        } else if (op == "drain") {
            while (!g_indications.empty()) {
                Indication ind = g_indications.front();
                g_indications.erase(g_indications.begin());
                std::string store = ind.store;
                if (!m_receiveStore.empty() && (store == "MT" || store == "mt")) store = m_receiveStore;
                SMSStoreRef st = m_me->getSMSStore(store);
                st->setCaching(false);
                Reply r("entry");
                r.str("store", store).num("index", ind.index).num("indicated_type", ind.type);
                if (ind.type == GsmEvent::CellBroadcastSMS) {
                    CBMessageRef cb = st->operator[](ind.index).cbMessage();
                    r.flag("null", cb.isnull());
                    if (!cb.isnull())
                        r.str("cb_data", cb->getData())
                            .num("cb_id", cb->getMessageIdentifier())
                            .num("to_string_length", cb->toString().length());
                } else {
                    SMSMessageRef message = st->operator[](ind.index).message();
                    describeMessage(r, message);
                    if (!message.isnull()) r.num("to_string_length", message->toString().length());
                }
                st->erase(st->begin() + ind.index);
                r.flag("ok", true).print();
            }
            Reply("drain").flag("ok", true).print();
        } else if (op == "flush") {
            std::string store;
            in >> store;
            SMSStoreRef st = m_me->getSMSStore(store);
            st->setCaching(false);
            int count = 0;
            for (SMSStore::iterator i = st->begin(); i != st->end(); ++i) {
                if (i->empty()) continue;
                Reply r("entry");
                r.str("store", store).num("index", i->index());
                describeMessage(r, i->message());
                st->erase(i);
                r.flag("ok", true).print();
                ++count;
            }
            Reply("flush").flag("ok", true).num("count", count).num("capacity", st->capacity()).print();
        } else if (op == "read") {
            std::string store;
            int index = 0;
            in >> store >> index;
            SMSStoreRef st = m_me->getSMSStore(store);
            st->setCaching(false);
            Reply r("read");
            r.str("store", store).num("index", index);
            describeMessage(r, st->operator[](index).message());
            r.flag("ok", true).print();
        } else if (op == "erase") {
            std::string store;
            int index = 0;
            in >> store >> index;
            SMSStoreRef st = m_me->getSMSStore(store);
            st->erase(st->begin() + index);
            Reply("erase").flag("ok", true).print();
        } else if (op == "close") {
            close();
            Reply("close").flag("ok", true).print();
        } else {
            Reply(op).flag("ok", false).str("error", "unknown command").print();
        }
    }

private:
    UnixSerialPort* m_raw = nullptr;
    Ref<Port> m_port;
    Ref<MeTa> m_me;
    std::string m_receiveStore;
    std::vector<GsmEvent*> m_handlers;

public:
    void releaseHandlers() {
        close();
        for (GsmEvent* h : m_handlers) delete h;
        m_handlers.clear();
    }
};

}  // namespace

int main() {
    Probe probe;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit") break;
        probe.run(line);
    }
    probe.releaseHandlers();
    return 0;
}
