#include "inifile.h"

#include <stdio.h>
#include <string.h>

#include <iostream>

std::string TrimRight(std::string s, const char* set) {
    std::string::size_type last = s.find_last_not_of(set);
    if (last == std::string::npos) return std::string();
    s.erase(last + 1);
    return s;
}

std::string TrimLeft(std::string s, const char* set) {
    std::string::size_type first = s.find_first_not_of(set);
    if (first == std::string::npos) return std::string();
    return s.substr(first);
}

std::string Trim(std::string s, const char* set) {
    std::string right = TrimRight(std::move(s), set);
    if (right.empty()) return right;
    return TrimLeft(std::move(right), set);
}

std::string IniFileException::toString() const {
    if (m_major == IFL_BAD_LINE) {
        char number[32];
        snprintf(number, sizeof number, "%d", m_minor);
        return std::string("Parse error on line ") + number + ": " + m_message;
    }
    if (m_major == IFL_BAD_FILE) return m_message;
    return std::string();
}

void IniSetting::Print() const {
    if (m_key == ";") {
        std::cout << ";" << m_value << "\n";
    } else if (m_key.empty() && m_value.empty()) {
        std::cout << "\n";
    } else {
        std::cout << m_key << " = " << m_value << "\n";
    }
}

int IniSection::AppendSetting(IniSetting& setting) {
    m_settings.push_back(setting);
    return static_cast<int>(m_settings.size());
}

std::string IniSection::GetSetting(const std::string& key, const std::string& defaultValue, bool* found) {
    std::string result = defaultValue;
    if (found) *found = false;
    for (const IniSetting& setting : m_settings) {
        if (setting.GetKey() == key) {
            if (found) *found = true;
            result = setting.GetValue();
        }
    }
    return Trim(result, " \r\t\"");
}

void IniSection::Print() const {
    std::cout << "[" << m_name << "]\n";
    for (const IniSetting& setting : m_settings) setting.Print();
}

void IniFile::Open(const char* path, eOpenMode mode) {
    std::ios_base::openmode openMode = std::ios_base::in;
    if (mode == RW) openMode |= std::ios_base::out;
    m_fileName = path ? path : "";
    m_file.open(m_fileName.c_str(), openMode);
    if (!m_file.is_open()) {
        char message[256];
        snprintf(message, sizeof message, "Error while openning file '%s'", m_fileName.c_str());
        throw IniFileException(IFL_BAD_FILE, 0, message);
    }
}

int IniFile::ReadLine(std::string& line) {
    line.clear();
    int consumed = 0;
    char buffer[2048];
    for (;;) {
        m_file.clear(m_file.rdstate() & std::ios_base::eofbit);
        m_file.getline(buffer, sizeof buffer);
        const std::streamsize count = m_file.gcount();
        line.append(buffer);
        consumed += static_cast<int>(count);
        // A full buffer without a newline sets failbit but not eofbit: the
        // line goes on.
        if (m_file.fail() && !m_file.eof() && !m_file.bad() &&
            count == static_cast<std::streamsize>(sizeof buffer - 1)) {
            continue;
        }
        break;
    }
    // A read error (badbit, e.g. the path is a directory) ends the file like
    // its end would; ParseFile reports it.
    if (consumed == 0 && (m_file.eof() || m_file.bad())) return -1;
    return consumed;
}

void IniFile::ParseFile() {
    std::string line;
    int lineNumber = 0;
    while (ReadLine(line) >= 0) {
        ++lineNumber;
        const char first = line.empty() ? '\0' : line[0];
        if (first == ';') {
            if (!m_sections.empty()) {
                IniSetting comment(";", Trim(line.substr(1), " \r"));
                m_sections.back().AppendSetting(comment);
            }
        } else if (first == '[') {
            std::string::size_type close = line.find(']');
            std::string name = close == std::string::npos ? line.substr(1) : line.substr(1, close - 1);
            m_sections.push_back(IniSection(name));
        } else {
            std::string::size_type equals = line.find('=');
            if (equals == std::string::npos) {
                if (line.find_first_not_of(" \t\r") != std::string::npos) {
                    throw IniFileException(IFL_BAD_LINE, lineNumber,
                                           "Cannot recognize key=value pair. Line do not contains '='.");
                }
                continue;
            }
            IniSetting setting(Trim(line.substr(0, equals), " \r"), Trim(line.substr(equals + 1), " \r"));
            if (m_sections.empty()) throw IniFileException(IFL_BAD_LINE, lineNumber, "Not in section");
            m_sections.back().AppendSetting(setting);
        }
    }
    if (m_file.bad()) {
        char message[256];
        snprintf(message, sizeof message, "Error while reading file '%s'", m_fileName.c_str());
        throw IniFileException(IFL_BAD_FILE, 0, message);
    }
}

void IniFile::Close() {
    if (m_file.is_open()) m_file.close();
}

IniSectionIterator IniFile::GetSection(const std::string& name) {
    for (IniSectionIterator it = m_sections.begin(); it != m_sections.end(); ++it) {
        if (it->GetName() == name) return it;
    }
    return m_sections.end();
}

std::string IniFile::GetSetting(const std::string& path, const std::string& defaultValue, bool* found) {
    if (found) *found = false;
    std::string::size_type slash = path.find('/');
    if (slash == std::string::npos) return defaultValue;
    if (m_sections.empty()) return defaultValue;
    IniSectionIterator section = GetSection(path.substr(0, slash));
    if (section == m_sections.end()) return defaultValue;
    bool inSection = false;
    std::string value = section->GetSetting(path.substr(slash + 1), "", &inSection);
    if (!inSection) return defaultValue;
    if (found) *found = true;
    return value;
}

void IniFile::Print() const {
    std::cout << "File name:" << m_fileName << "\n";
    for (const IniSection& section : m_sections) section.Print();
}
