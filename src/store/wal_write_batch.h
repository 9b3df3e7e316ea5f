// A layer over SQLite's own file access that writes a transaction's
// journal frames with one system call at its commit instead of two per
// page (a frame's header and its page).
//
// Only writes to the write-ahead journal are gathered, and only while they
// follow each other in the file; the gathered bytes are written before the
// write of a commit frame's page returns (so a commit is in the file when
// SQLite reports it done, as without this layer), and before any other
// access to the journal (read, size, sync, truncation, close), when the next
// write does not follow on, or when a bound is reached. A failure of that
// write is the failure of the call that made it, so SQLite rolls the
// transaction back as it does on a failed write of its own.
#ifndef KST_STORE_WAL_WRITE_BATCH_H
#define KST_STORE_WAL_WRITE_BATCH_H

#include <sqlite3.h>

// The layer over the default file access, registered with SQLite under a
// name of its own while the object lives. Its owner (the store) opens its
// connection through name() and closes it before the object goes.
class WalWriteBatchVfs {
public:
    WalWriteBatchVfs();
    ~WalWriteBatchVfs();
    WalWriteBatchVfs(const WalWriteBatchVfs&) = delete;
    WalWriteBatchVfs& operator=(const WalWriteBatchVfs&) = delete;

    // The name to pass to sqlite3_open_v2(); null (the default file access)
    // when the layer could not be registered.
    const char* name() const { return m_registered ? m_name : nullptr; }

    // The file access underneath the layer whose description is `layer`.
    static sqlite3_vfs* below(sqlite3_vfs* layer);

private:
    // First: SQLite calls the layer with this address.
    sqlite3_vfs m_layer{};
    sqlite3_vfs* m_below = nullptr;
    char m_name[48] = "";
    bool m_registered = false;
};

#endif
