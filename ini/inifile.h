// Reader of INI-style configuration files. A file is read once into memory
// and answers lookups by a path of section name, "/" and key.
//
// Syntax, decided by a line's first character: ";" starts a comment, "["
// a section header (the name is the text up to the first "]", verbatim),
// anything else a "key = value" line; key and value are trimmed of spaces and
// carriage returns, and lookups also strip tabs and double quotes from the
// value's ends. A key before the first section, or a non-blank line without
// "=", is a parse error. Open() and ParseFile() throw IniFileException;
// lookups never throw.
#ifndef KST_INI_INIFILE_H
#define KST_INI_INIFILE_H

#include <fstream>
#include <string>
#include <vector>

// Trimming by a set of characters.
std::string TrimRight(std::string s, const char* set);
std::string TrimLeft(std::string s, const char* set);
std::string Trim(std::string s, const char* set);

enum IniFileErrors { IFL_NONE = 0, IFL_BAD_LINE = 1, IFL_BAD_KEY = 2, IFL_BAD_FILE = 3 };

class Exception {
public:
    explicit Exception(int major) : m_major(major), m_minor(0) {}
    Exception(int major, int minor) : m_major(major), m_minor(minor) {}
    Exception(int major, int minor, const char* message)
        : m_major(major), m_minor(minor), m_message(message ? message : "") {}
    Exception(const Exception&) = default;
    virtual ~Exception() = default;
    virtual std::string toString() const = 0;

    int major() const { return m_major; }
    int minor() const { return m_minor; }
    const std::string& message() const { return m_message; }

protected:
    int m_major;
    int m_minor;
    std::string m_message;
};

class IniFileException : public Exception {
public:
    IniFileException(IniFileErrors major, int minor) : Exception(major, minor) {}
    IniFileException(IniFileErrors major, int minor, const char* message) : Exception(major, minor, message) {}
    IniFileException(const IniFileException&) = default;
    // "Parse error on line N: message" for parse errors, the message alone
    // when the file cannot be opened.
    std::string toString() const override;
};

class IniSetting {
public:
    IniSetting() = default;
    IniSetting(const std::string& key, const std::string& value) { SetKeyValue(key, value); }
    std::string GetKey() const { return m_key; }
    std::string GetValue() const { return m_value; }
    void SetKeyValue(const std::string& key, const std::string& value) {
        m_key = key;
        m_value = value;
    }
    void Print() const;

private:
    std::string m_key;  // ";" for a comment line
    std::string m_value;
};

typedef std::vector<IniSetting> IniSettingVector;
typedef IniSettingVector::iterator IniSettingIterator;

class IniSection {
public:
    IniSection() = default;
    explicit IniSection(const std::string& name) : m_name(name) {}
    std::string GetName() const { return m_name; }
    void SetName(const std::string& name) { m_name = name; }
    int AppendSetting(IniSetting& setting);
    // The value of the last setting named `key`, or `defaultValue`; either is
    // returned trimmed of spaces, carriage returns, tabs and double quotes.
    std::string GetSetting(const std::string& key, const std::string& defaultValue, bool* found);
    void Print() const;

private:
    std::string m_name;
    IniSettingVector m_settings;
};

typedef std::vector<IniSection> IniSectionVector;
typedef IniSectionVector::iterator IniSectionIterator;

class IniFile {
public:
    enum eOpenMode { RO = 0, RW = 1 };

    IniFile() = default;
    ~IniFile() = default;

    void Open(const char* path, eOpenMode mode);
    void Open(const std::string& path, eOpenMode mode) { Open(path.c_str(), mode); }
    void ParseFile();
    // Reads the next line without its newline; returns the characters
    // consumed (newline included), or -1 at the end of the file or after a
    // read error (which ParseFile reports as IFL_BAD_FILE).
    int ReadLine(std::string& line);
    void Close();
    void Free() { m_sections.clear(); }

    int SectionCount() const { return static_cast<int>(m_sections.size()); }
    IniSectionIterator GetSection(const std::string& name);
    IniSectionIterator GetSectionBegin() { return m_sections.begin(); }
    IniSectionIterator GetSectionEnd() { return m_sections.end(); }

    // Looks up "Section/key". A path without "/", a missing section or a
    // missing key gives `defaultValue` unchanged with *found false.
    std::string GetSetting(const std::string& path, const std::string& defaultValue, bool* found);
    void Print() const;

private:
    std::string m_fileName;
    std::fstream m_file;
    IniSectionVector m_sections;
};

#endif
