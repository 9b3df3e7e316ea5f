// Process utilities of the support library: becoming a daemon, the locked PID
// file, a thin file-descriptor wrapper and the Latin-2 transliteration.
#ifndef KST_INI_PROCESS_H
#define KST_INI_PROCESS_H

#include <string>

// Detaches the process from its terminal (double fork, new session), changes
// to "/", sets the umask to 027 (new files readable by owner and group only)
// and connects descriptors 0-2 to /dev/null.
// Returns 0, or -1 after printing the reason to standard error.
int init_daemon();

// Creates (mode 0644, whatever the umask) or reopens the PID file, takes a non-blocking write lock on it and
// writes "PID\n" over its content, truncating what was there. The descriptor
// stays open for the life of the process so that the lock marks it as running.
// Returns 0, or -1 after reporting the reason to syslog and standard error.
int create_pidfile(const char* path);

// Whether the next descriptor opened would be below FD_SETSIZE (1024), the
// largest number select() can wait on. The daemon's descriptor limit is
// higher, so that many clients can connect; a library that waits with
// select() (gsmlib's serial port) must not get a larger number. Another
// thread may open a descriptor between this test and the caller's open.
bool lowDescriptorFree();

// The ASCII letter for a Czech letter in ISO-8859-2, or the byte unchanged.
char il2toascii(char c);

// A POSIX file descriptor with its path and the text of the last open error.
class File {
public:
    enum FileMode {
        IO_ReadOnly = 2,
        IO_WriteOnly = 4,
        IO_ReadWrite = 8,
        IO_Append = 16,
        IO_Truncate = 32,
        IO_Translate = 64,
    };

    File() = default;
    // Does not close: the owner calls close().
    ~File() = default;

    void setName(const std::string& name) { m_name = name; }
    std::string name() const { return m_name; }
    static bool exists(const std::string& path);
    bool exists() const { return exists(m_name); }

    // Opens m_name with the flags of `mode` (a combination of FileMode), new
    // files with permissions 0664. On failure errorString() holds the system
    // error text and handle() is -1.
    bool open(int mode);
    void close();
    int handle() const { return m_fd; }
    std::string errorString() const { return m_message; }

private:
    std::string m_name;
    int m_fd = 0;
    std::string m_message;
};

#endif
