#include "transport/QwlogTransport.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "foundation/Error.h"
#include "foundation/Stream.h"
#include "transport/QwlogFormat.h"

using qwlog::load;
using qwlog::store;

QwlogTransport::QwlogTransport(vek::sys::Clock clock) : clock_(clock), splitter_(clock) {}

QwlogTransport::~QwlogTransport() { close(); }

bool QwlogTransport::open(std::string_view name, uint64_t sizeLimit, uint64_t timeLimit,
                          std::span<const vek::Guid> classGuids) {
    finishFile(false);
    if (classGuids.size() > qwlog::kMaxGuids) return vek::err::setWinError(vek::err::kWinInvalidParameter), false;
    converter_.reset();
    splitter_ = OutputFileSplitter(clock_);
    splitter_.init(sizeLimit, timeLimit, name);
    classGuids_.assign(classGuids.begin(), classGuids.end());
    return openLogFile(splitter_.fileName());
}

bool QwlogTransport::openLogFile(const std::string& name) {
    // The size before the header view grows the file is what validation goes by.
    uint64_t size = 0;
    if (!file_.open(name) || !file_.fileSize(&size)) return file_.close(), false;
    Existing found = keepExisting(size);
    if (found == Existing::kKept || (found == Existing::kReplace && !classGuids_.empty() && writeFreshHeader()))
        return true;
    if (found == Existing::kReplace && classGuids_.empty()) {
        // Nothing to write a header with: leave the file as it was found.
        file_.unmapAll();
        file_.setSize(size);
        vek::err::setFormatStringError("'%s' is not a valid log record file", name.c_str());
    }
    file_.close();
    return false;
}

QwlogTransport::Existing QwlogTransport::keepExisting(uint64_t fileSize) {
    uint8_t* view = file_.mapHeader(qwlog::kFirstHeaderView);
    if (!view) return Existing::kFailed;
    if (fileSize < qwlog::kFixedHeaderSize) return Existing::kReplace;
    size_t extent = qwlog::headerExtent(view);
    if (extent > qwlog::kFirstHeaderView && !(view = file_.mapHeader(extent))) return Existing::kFailed;
    std::span<const uint8_t> bytes(view, extent);
    std::optional<qwlog::Header> h = qwlog::parseHeader(bytes, fileSize);
    if (!h || !qwlog::hasAllGuids(bytes, *h, classGuids_)) return Existing::kReplace;
    // Whatever lies past the records (the growth of an earlier run) goes, and
    // new records follow the last one.
    file_.unmapAll();
    if (!file_.setSize(h->end())) return Existing::kFailed;
    header_ = file_.mapHeader(qwlog::headerSize(h->guidCount));
    return header_ ? Existing::kKept : Existing::kFailed;
}

bool QwlogTransport::writeFreshHeader() {
    // Emptied first, so the header lands in space the growth has reserved.
    file_.unmapAll();
    if (!file_.setSize(0)) return false;
    uint8_t* view = file_.mapHeader(qwlog::headerSize(classGuids_.size()));
    if (!view) return false;
    qwlog::writeNewHeader(view, classGuids_);
    header_ = view;
    return true;
}

uint64_t QwlogTransport::recordsEnd() const {
    return (load<uint32_t>(header_ + qwlog::kAtRecordOffset) & qwlog::kRecordOffsetMask) +
           load<uint64_t>(header_ + qwlog::kAtRecordsSize);
}

bool QwlogTransport::finishFile(bool cut) {
    if (!file_.isOpen()) return true;
    cut = cut && header_;
    const uint64_t end = cut ? recordsEnd() : 0;
    bool ok = file_.flush();
    file_.unmapAll();
    header_ = nullptr;
    if (cut) ok = file_.setSize(end) && ok;
    file_.close();
    return ok;
}

void QwlogTransport::close() {
    std::lock_guard<std::mutex> hold(messageLock());
    finishFile(false);
}

size_t QwlogTransport::read(void*, size_t) {
    vek::err::setWinError(vek::err::kWinCallNotImplemented);
    return 0;
}

bool QwlogTransport::wait() {
    vek::err::setWinError(vek::err::kWinCallNotImplemented);
    return false;
}

size_t QwlogTransport::write(const void* buffer, size_t size) {
    if (!header_) return vek::io::failClosed();
    if (!converter_.convert(ByteSpan(static_cast<const uint8_t*>(buffer), size))) return kIoFailed;
    return size;
}

bool QwlogTransport::writeRecord(uint64_t code, ByteSpan first, ByteSpan second) {
    if (!header_) return vek::io::failClosed(), false;
    const uint32_t dataSize = static_cast<uint32_t>(first.size() + second.size());
    const uint32_t recordSize = static_cast<uint32_t>(qwlog::kRecordHeaderSize) + dataSize;
    const uint64_t recordsSize = load<uint64_t>(header_ + qwlog::kAtRecordsSize);
    uint8_t* p = file_.map(recordsEnd(), recordSize);
    if (!p) return false;
    qwlog::writeRecordHeader(p, dataSize, code, clock_());
    p += qwlog::kRecordHeaderSize;
    if (!first.empty()) std::memcpy(p, first.data(), first.size());
    if (!second.empty()) std::memcpy(p + first.size(), second.data(), second.size());
    // The header counts the record only once all of its bytes are in place:
    // the compiler may not move the counts' stores before the record's.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    store<uint64_t>(header_ + qwlog::kAtRecordCount, load<uint64_t>(header_ + qwlog::kAtRecordCount) + 1);
    store<uint64_t>(header_ + qwlog::kAtRecordsSize, recordsSize + recordSize);
    store<uint32_t>(header_ + qwlog::kAtLastRecordSize, recordSize);
    if (!splitter_.onWritten(recordSize)) return true;
    // A file finished by a split is cut to its exact length.
    return finishFile(true) && openLogFile(splitter_.fileName());
}
