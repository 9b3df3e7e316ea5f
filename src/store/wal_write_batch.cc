#include "wal_write_batch.h"

#include <sqlite3.h>
#include <string.h>

#include <stdio.h>

#include <algorithm>
#include <new>
#include <vector>

namespace {

// The journal's frames: a header of this size, then the page. The header's
// second word is the database size after a commit, and 0 in the frames
// before a transaction's last one.
constexpr int frameHeaderSize = 24;
// Gathered bytes are written at the latest at this size, in writes of at
// most writeChunk bytes (the layer underneath writes less than 128 KiB at a
// time).
constexpr size_t writeBound = 1 << 20;
constexpr size_t writeChunk = 64 << 10;

// A file opened through the layer; the file underneath follows it in the
// same allocation. Used by one thread at a time, as the connection.
struct LayerFile {
    sqlite3_file base;
    sqlite3_file* below;
    bool journal;
    // The journal's gathered writes: bytes for [offset, offset + size()).
    std::vector<char>* gathered;
    sqlite3_int64 offset;
    // The last journal access was a read: a frame header written now
    // rewrites an earlier one and goes through at once.
    bool afterRead;
    // Where the page of the commit frame whose header was written last
    // goes, until the next write; -1: none.
    sqlite3_int64 commitPage;
};

LayerFile* layer(sqlite3_file* file) { return reinterpret_cast<LayerFile*>(file); }

int flush(LayerFile* file) {
    if (file->gathered == nullptr || file->gathered->empty()) return SQLITE_OK;
    int result = SQLITE_OK;
    const size_t size = file->gathered->size();
    for (size_t done = 0; done < size && result == SQLITE_OK; done += writeChunk) {
        const size_t chunk = std::min(writeChunk, size - done);
        result = file->below->pMethods->xWrite(file->below, file->gathered->data() + done, static_cast<int>(chunk),
                                               file->offset + static_cast<sqlite3_int64>(done));
    }
    // Written or failed, the bytes are gone: a failure fails the call that
    // wrote them, and SQLite forgets the transaction.
    file->gathered->clear();
    return result;
}

bool isCommitHeader(const void* data) {
    const unsigned char* header = static_cast<const unsigned char*>(data);
    return (header[4] | header[5] | header[6] | header[7]) != 0;
}

int layerClose(sqlite3_file* file) {
    LayerFile* self = layer(file);
    const int flushed = flush(self);
    delete self->gathered;
    self->gathered = nullptr;
    const int closed = self->below->pMethods->xClose(self->below);
    return flushed != SQLITE_OK ? flushed : closed;
}

int layerRead(sqlite3_file* file, void* data, int amount, sqlite3_int64 offset) {
    LayerFile* self = layer(file);
    const int flushed = flush(self);
    if (flushed != SQLITE_OK) return flushed;
    self->afterRead = true;
    return self->below->pMethods->xRead(self->below, data, amount, offset);
}

int layerWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    LayerFile* self = layer(file);
    if (!self->journal) return self->below->pMethods->xWrite(self->below, data, amount, offset);
    const bool rewrite = self->afterRead && amount == frameHeaderSize;
    self->afterRead = false;
    // A commit frame's header is followed at once by its page, the
    // transaction's last write.
    const bool endsTransaction = offset == self->commitPage;
    self->commitPage = -1;
    if (amount == frameHeaderSize && isCommitHeader(data)) self->commitPage = offset + frameHeaderSize;
    std::vector<char>& gathered = *self->gathered;
    const bool follows = !gathered.empty() && offset == self->offset + static_cast<sqlite3_int64>(gathered.size());
    if (!follows) {
        const int flushed = flush(self);
        if (flushed != SQLITE_OK) return flushed;
    }
    if (rewrite) return self->below->pMethods->xWrite(self->below, data, amount, offset);
    if (gathered.empty()) self->offset = offset;
    gathered.insert(gathered.end(), static_cast<const char*>(data), static_cast<const char*>(data) + amount);
    if (endsTransaction || gathered.size() >= writeBound) return flush(self);
    return SQLITE_OK;
}

int layerTruncate(sqlite3_file* file, sqlite3_int64 size) {
    LayerFile* self = layer(file);
    const int flushed = flush(self);
    return flushed != SQLITE_OK ? flushed : self->below->pMethods->xTruncate(self->below, size);
}

int layerSync(sqlite3_file* file, int flags) {
    LayerFile* self = layer(file);
    const int flushed = flush(self);
    return flushed != SQLITE_OK ? flushed : self->below->pMethods->xSync(self->below, flags);
}

int layerFileSize(sqlite3_file* file, sqlite3_int64* size) {
    LayerFile* self = layer(file);
    const int flushed = flush(self);
    return flushed != SQLITE_OK ? flushed : self->below->pMethods->xFileSize(self->below, size);
}

int layerLock(sqlite3_file* file, int level) {
    sqlite3_file* below = layer(file)->below;
    return below->pMethods->xLock(below, level);
}

int layerUnlock(sqlite3_file* file, int level) {
    sqlite3_file* below = layer(file)->below;
    return below->pMethods->xUnlock(below, level);
}

int layerCheckReservedLock(sqlite3_file* file, int* reserved) {
    sqlite3_file* below = layer(file)->below;
    return below->pMethods->xCheckReservedLock(below, reserved);
}

int layerFileControl(sqlite3_file* file, int operation, void* argument) {
    LayerFile* self = layer(file);
    const int flushed = flush(self);
    return flushed != SQLITE_OK ? flushed : self->below->pMethods->xFileControl(self->below, operation, argument);
}

int layerSectorSize(sqlite3_file* file) {
    sqlite3_file* below = layer(file)->below;
    return below->pMethods->xSectorSize(below);
}

int layerDeviceCharacteristics(sqlite3_file* file) {
    sqlite3_file* below = layer(file)->below;
    return below->pMethods->xDeviceCharacteristics(below);
}

int layerShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** mapped) {
    sqlite3_file* below = layer(file)->below;
    return below->pMethods->xShmMap(below, region, size, extend, mapped);
}

int layerShmLock(sqlite3_file* file, int offset, int count, int flags) {
    sqlite3_file* below = layer(file)->below;
    return below->pMethods->xShmLock(below, offset, count, flags);
}

void layerShmBarrier(sqlite3_file* file) {
    sqlite3_file* below = layer(file)->below;
    below->pMethods->xShmBarrier(below);
}

int layerShmUnmap(sqlite3_file* file, int deleteFlag) {
    sqlite3_file* below = layer(file)->below;
    return below->pMethods->xShmUnmap(below, deleteFlag);
}

int layerFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** mapped) {
    LayerFile* self = layer(file);
    const int flushed = flush(self);
    if (flushed != SQLITE_OK) return flushed;
    return self->below->pMethods->xFetch(self->below, offset, amount, mapped);
}

int layerUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* mapped) {
    sqlite3_file* below = layer(file)->below;
    return below->pMethods->xUnfetch(below, offset, mapped);
}

constexpr sqlite3_io_methods methodsOfVersion(int version) {
    return {version,
            layerClose,
            layerRead,
            layerWrite,
            layerTruncate,
            layerSync,
            layerFileSize,
            layerLock,
            layerUnlock,
            layerCheckReservedLock,
            layerFileControl,
            layerSectorSize,
            layerDeviceCharacteristics,
            layerShmMap,
            layerShmLock,
            layerShmBarrier,
            layerShmUnmap,
            layerFetch,
            layerUnfetch};
}

// By the version of the methods underneath: older ones (no shared memory,
// no mapping) are not offered either.
const sqlite3_io_methods layerMethods[3] = {methodsOfVersion(1), methodsOfVersion(2), methodsOfVersion(3)};

int layerOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    sqlite3_vfs* below = WalWriteBatchVfs::below(vfs);
    LayerFile* self = layer(file);
    self->base.pMethods = nullptr;
    self->below = reinterpret_cast<sqlite3_file*>(self + 1);
    const int opened = below->xOpen(below, name, self->below, flags, outFlags);
    if (opened != SQLITE_OK || self->below->pMethods == nullptr) return opened;
    self->journal = (flags & SQLITE_OPEN_WAL) != 0;
    self->gathered = self->journal ? new (std::nothrow) std::vector<char>() : nullptr;
    if (self->journal && self->gathered == nullptr) {
        self->below->pMethods->xClose(self->below);
        return SQLITE_NOMEM;
    }
    self->offset = 0;
    self->afterRead = false;
    self->commitPage = -1;
    const int version = self->below->pMethods->iVersion;
    self->base.pMethods = &layerMethods[version < 1 ? 0 : version > 3 ? 2 : version - 1];
    return SQLITE_OK;
}

}  // namespace

WalWriteBatchVfs::WalWriteBatchVfs() {
    sqlite3_vfs* below = sqlite3_vfs_find(nullptr);
    if (below == nullptr || below->iVersion < 1) return;
    m_below = below;
    // Every operation but opening a file is the one underneath, called with
    // a copy of its description (its pAppData included), as it expects.
    m_layer = *below;
    m_layer.pNext = nullptr;
    snprintf(m_name, sizeof m_name, "kst-wal-write-batch-%p", static_cast<void*>(this));
    m_layer.zName = m_name;
    m_layer.szOsFile = static_cast<int>(sizeof(LayerFile)) + below->szOsFile;
    m_layer.xOpen = layerOpen;
    m_registered = sqlite3_vfs_register(&m_layer, 0) == SQLITE_OK;
}

WalWriteBatchVfs::~WalWriteBatchVfs() {
    if (m_registered) sqlite3_vfs_unregister(&m_layer);
}

sqlite3_vfs* WalWriteBatchVfs::below(sqlite3_vfs* layer) {
    // m_layer is the first member: SQLite hands its address back.
    return reinterpret_cast<WalWriteBatchVfs*>(layer)->m_below;
}
