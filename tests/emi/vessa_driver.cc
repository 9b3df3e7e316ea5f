// vessa_driver: runs libvessa calls read from standard input, one per line
// with tab-separated arguments, and prints each result as one JSON object
// on standard output. Integration tests drive the library with it.
//
//   init HOST PORT PASSWORD ORIGIN ALERT WINDOW THROUGHPUT
//   submit1 FROM TO NOTIF_TYPE TEXT
//   submit2 KEY=VALUE...   (from to notif_addr notif_type validity priority
//                           bit8 numbits text msg_class rpid xservices)
//   alert | select | throughput | destroy | quit
//   read                   one emi_read
//   wait_read MS           emi_select until data (at most MS), then emi_read
//   ack ACK OPERATION TRNID
//   trntable TIMEOUT
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "vessa.h"

namespace {

std::string json(const char* s) {
    if (!s) return "null";
    std::string out = "\"";
    for (const char* p = s; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return out;
        start = tab + 1;
    }
}

std::string result(int rc) {
    std::string out = "{\"rc\":" + std::to_string(rc);
    if (rc < 0) out += ",\"error\":" + json(emi_strerror(static_cast<err_t>(rc)));
    return out;
}

std::string decoded(EMI emi, int rc) {
    std::string out = result(rc);
    msg_t* m = emi_msg(emi);
    if (rc < 0 || !m) return out + "}";
    out += ",\"op\":" + std::to_string(static_cast<int>(m->op_type));
    if (m->op_type < 0) {
        out += ",\"ack\":" + std::to_string(m->uu.response.ack);
        out += ",\"errcode\":" + std::to_string(m->uu.response.errcode);
        out += ",\"sysmsg\":" + json(m->uu.response.sysmsg);
    } else {
        const auto& s = m->uu.submit;
        out += ",\"from\":" + json(s.from) + ",\"to\":" + json(s.to) + ",\"text\":" + json(s.text);
        out += ",\"timestamp\":" + json(s.timestamp) + ",\"validity\":" + json(s.validity);
        out += ",\"deliv_status\":" + std::to_string(static_cast<int>(s.deliv_status));
        out += ",\"deliv_reasoncode\":" + std::to_string(s.deliv_reasoncode);
        out += ",\"deliv_timestamp\":" + json(s.deliv_timestamp);
        out += ",\"bit8\":" + std::to_string(s.bit8) + ",\"numbits\":" + std::to_string(s.numbits);
        out += ",\"msg_class\":" + std::to_string(s.msg_class);
        out += ",\"xservices\":" + json(s.xservices);
    }
    return out + "}";
}

}  // namespace

int main() {
    EMI emi = nullptr;
    std::string line;
    // Strings of the submit2 request live here until the next request.
    std::vector<std::string> keep;
    while (std::getline(std::cin, line)) {
        std::vector<std::string> a = split(line);
        const std::string& cmd = a[0];
        auto arg = [&](size_t i) -> std::string { return i < a.size() ? a[i] : std::string(); };
        std::string out;
        if (cmd == "init") {
            EMI fresh = nullptr;
            int rc =
                emi_init(&fresh, arg(1).c_str(), static_cast<unsigned short>(std::atoi(arg(2).c_str())), arg(3).c_str(),
                         arg(4).c_str(), arg(5).c_str(), std::atoi(arg(6).c_str()), std::atoi(arg(7).c_str()));
            if (rc == 0) {
                emi_destroy(emi);
                emi = fresh;
            }
            out = result(rc) + ",\"handle\":" + (fresh ? "true" : "false") + "}";
        } else if (cmd == "submit1") {
            out = result(emi_submit1(emi, arg(1).c_str(), arg(2).c_str(), arg(4).c_str(), std::atoi(arg(3).c_str()))) +
                  "}";
        } else if (cmd == "submit2") {
            msg_t* m = emi_msg(emi);
            if (m) {
                std::memset(m, 0, sizeof *m);
                keep.assign(a.begin() + 1, a.end());
                auto& r = m->uu.submit;
                for (std::string& kv : keep) {
                    size_t eq = kv.find('=');
                    if (eq == std::string::npos) continue;
                    kv[eq] = '\0';
                    std::string key = kv.substr(0, eq);
                    const char* v = kv.c_str() + eq + 1;
                    if (key == "from")
                        r.from = v;
                    else if (key == "to")
                        r.to = v;
                    else if (key == "notif_addr")
                        r.notif_addr = v;
                    else if (key == "notif_type")
                        r.notif_type = std::atoi(v);
                    else if (key == "validity")
                        r.validity = v;
                    else if (key == "priority")
                        r.priority = std::atoi(v);
                    else if (key == "bit8")
                        r.bit8 = std::atoi(v);
                    else if (key == "numbits")
                        r.numbits = std::atoi(v);
                    else if (key == "text")
                        r.text = v;
                    else if (key == "msg_class")
                        r.msg_class = std::atoi(v);
                    else if (key == "rpid")
                        r.rpid = std::atoi(v);
                    else if (key == "xservices")
                        r.xservices = v;
                }
            }
            out = result(emi_submit2(emi)) + "}";
        } else if (cmd == "alert") {
            out = result(emi_alert(emi)) + "}";
        } else if (cmd == "select") {
            out = result(emi_select(emi)) + "}";
        } else if (cmd == "throughput") {
            out = result(emi_check_throughput(emi)) + "}";
        } else if (cmd == "read") {
            out = decoded(emi, emi_read(emi));
        } else if (cmd == "wait_read") {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(arg(1).c_str()));
            int ready = 0;
            while ((ready = emi_select(emi)) == 0 && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            out = ready == 1 ? decoded(emi, emi_read(emi)) : "{\"rc\":null,\"select\":" + std::to_string(ready) + "}";
        } else if (cmd == "ack") {
            out =
                result(emi_ack(std::atoi(arg(1).c_str()), std::atoi(arg(2).c_str()), std::atoi(arg(3).c_str()), emi)) +
                "}";
        } else if (cmd == "trntable") {
            out = result(emi_check_trntable(emi, std::atoi(arg(1).c_str()))) + "}";
        } else if (cmd == "destroy") {
            emi_destroy(emi);
            emi = nullptr;
            out = "{\"rc\":0}";
        } else if (cmd == "quit") {
            break;
        } else {
            out = "{\"rc\":null,\"unknown\":" + json(cmd.c_str()) + "}";
        }
        std::cout << out << std::endl;
    }
    emi_destroy(emi);
    return 0;
}
