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

// The name to pass to sqlite3_open_v2(); registers the layer (over the
// default file access) at the first call. Any thread.
const char* walWriteBatchVfs();

#endif
