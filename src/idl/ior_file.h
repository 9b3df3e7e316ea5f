// The IOR file through which clients find the daemon: how kstd writes and
// removes it, and how kstsend and kstmon decide whether to believe it. The
// file lies in a directory everybody may write to, so nobody may trust what
// stands at its name without looking at what it is and who owns it.
//
// Every function here is called by one thread at a time: the daemon's main
// thread writes the file before serving and its exit handler removes it.
//
// The file's path is KST_IOR_FILE, a compile definition that every program
// linking this library gets from the build.
#ifndef KST_IOR_FILE_H
#define KST_IOR_FILE_H

#include <stddef.h>
#include <sys/types.h>

#include <string>

// Why the daemon may not put its IOR file at `path`: empty when nothing stands
// there or a regular file of the daemon's effective user does (which a new
// file replaces); otherwise the reason, naming the path, what it is and its
// owner ("'/tmp/kstd.ior' is a symbolic link owned by alice (uid 1000)").
std::string iorFilePlaceProblem(const char* path);

// Writes `ior` into a new file next to `path` (created with O_EXCL, so no
// link is followed and no existing file is written into, mode 0644 whatever
// the umask) and renames it to `path`. A reader sees the old file or the
// whole new one. Refuses, like iorFilePlaceProblem(), when something else
// stands at `path`. Returns false with `error` set (the reason in words)
// and nothing left behind.
// On success `written` identifies the file made, for its removal.
struct WrittenIorFile {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
};
bool writeIorFile(const char* path, const std::string& ior, std::string& error, WrittenIorFile& written);

// Removes `path` if it is still the file `written` identifies; whatever else
// stands there (another daemon's file, somebody else's) is left alone.
// `written` is forgotten afterwards.
void removeWrittenIorFile(const char* path, WrittenIorFile& written);

// The result of reading an IOR file as a client.
struct IorFileRead {
    enum Status {
        Ok,
        CannotOpen,  // `error` holds the system's text (missing file, ...)
        Untrusted,   // `error` says why the file is not believed
        CannotRead,  // `error` holds the system's text
    };
    Status status = Ok;
    std::string ior;  // the content as read, up to the maximum length
    std::string error;
};

// Reads at most `maxLength` bytes of the IOR file `path` for a client. The
// file must be a regular file (a symbolic link is not followed, a FIFO or a
// device not waited on), owned by root or by the calling user and writable by
// nobody else; otherwise the result is Untrusted with the reason
// ("it is a symbolic link", "it is owned by alice (uid 1000), neither root
// nor the user of this program", "it is writable by others than its owner
// (mode 0666)").
IorFileRead readTrustedIorFile(const char* path, size_t maxLength);

#endif
