// The SIM PIN that the SIM refused, remembered across restarts so that a
// wrong PIN in the configuration is offered once and never again: a SIM
// blocks after three wrong PINs, whatever the number of restarts between
// them. The file holds a salted SHA-256 hash of the refused PIN, never the
// PIN itself. A different configured PIN is offered again.
//
// Used by the modem sender's connect(), on the manager's thread under the
// sender lock; the object holds no state besides the path.
#ifndef KST_REFUSED_PIN_H
#define KST_REFUSED_PIN_H

#include <string>

class RefusedPinFile {
public:
    // An empty path remembers nothing: every call does nothing.
    explicit RefusedPinFile(std::string path) : m_path(std::move(path)) {}

    const std::string& path() const { return m_path; }
    // Whether the file names `pin` as refused. A missing or unreadable file
    // names none.
    bool refused(const std::string& pin) const;
    // Writes the hash of `pin` (replacing the file in one rename, mode
    // 0600; the directory is made when missing). False with `error` set
    // when it could not be written.
    bool remember(const std::string& pin, std::string& error) const;
    // Removes the file: the SIM took the configured PIN. False with `error`
    // set when it exists and could not be removed.
    bool forget(std::string& error) const;

    // Lower-case hex SHA-256 of `data` (OpenSSL's); empty if it failed.
    static std::string sha256Hex(const std::string& data);

private:
    std::string m_path;
};

#endif
