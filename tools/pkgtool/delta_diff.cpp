#include "delta_diff.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "block_index.h"
#include "host_path.h"
#include "package/file_hash.h"
#include "suffix_array.h"

namespace pkgbuild {
namespace {

using Bytes = std::vector<uint8_t>;

// A match must beat carrying on at the current offset by more than this many bytes, and be
// this long unless its offset is near the current one (text finds short matches anywhere,
// and each costs more as an instruction than its bytes as literals).
constexpr int64_t kBetterBy = 8;
constexpr int64_t kMinFarMatch = 32;
constexpr int64_t kNearOffset = 256;
// Equal bytes inside an addition become a copy from this many on: a shorter run costs less
// as one run of zeros among the added bytes than as the instructions around a copy.
constexpr uint64_t kMinCopyRun = 4096;
// Differences closer than this belong to one cluster; a cluster of at least kMinLiteralCluster
// bytes of which fewer than a quarter agree is carried as literal bytes.
constexpr uint64_t kClusterGap = 8;
constexpr uint64_t kMinLiteralCluster = 32;
// Bytes of the old file looked up as one unit by the filter in front of the suffix array.
constexpr uint32_t kGram = 8;
// The new file is scanned in parts of at least this size, one a thread.
constexpr uint64_t kMinPart = 8u << 20;
constexpr uint64_t kProgressStep = 16u << 20;

struct Piece {
    DeltaOp op;
    uint64_t length;
    uint64_t oldPosition;  // copies and additions
};

uint64_t Load64(const uint8_t* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

uint64_t GramHash(const uint8_t* bytes) {
    const uint64_t value = Load64(bytes) * 0x9E3779B97F4A7C15ull;
    return value ^ (value >> 29);
}

// The longest match by binary search of the suffix array, with the prefix that both bounds
// share with the bytes sought skipped in each comparison. A bit set of the hashes of every
// gram of the old file answers "no long match here" for most new bytes that have none, which
// is most of the time spent in new data.
class SuffixFinder {
  public:
    bool Build(const uint8_t* old, uint64_t oldSize, const DeltaProgress& progress) {
        old_ = old;
        size_ = oldSize;
        suffixes_.reset(new (std::nothrow) uint32_t[oldSize == 0 ? 1 : oldSize]);
        filterMask_ = 1024 * 8 - 1;
        while (filterMask_ < oldSize * 8) {
            filterMask_ = filterMask_ * 2 + 1;
        }
        filter_.reset(new (std::nothrow) uint64_t[(filterMask_ + 1) / 64]());
        if (!suffixes_ || !filter_) {
            return false;
        }
        if (progress) {
            progress("sorting", 0, oldSize);
        }
        if (!SortSuffixes(old, oldSize, suffixes_.get())) {
            return false;
        }
        for (uint64_t i = 0; i + kGram <= oldSize; ++i) {
            const uint64_t bit = GramHash(old + i) & filterMask_;
            filter_[bit / 64] |= uint64_t{1} << (bit % 64);
        }
        return true;
    }

    uint64_t Find(const uint8_t* data, uint64_t length, uint64_t* position) const {
        if (size_ == 0 || length == 0) {
            return 0;
        }
        if (length >= kGram) {
            const uint64_t bit = GramHash(data) & filterMask_;
            if ((filter_[bit / 64] >> (bit % 64) & 1) == 0) {
                return 0;
            }
        }
        uint64_t low = 0;
        uint64_t high = size_ - 1;
        uint64_t lowLength = Agree(suffixes_[low], data, length, 0);
        uint64_t highLength = Agree(suffixes_[high], data, length, 0);
        while (high - low > 1) {
            const uint64_t middle = low + (high - low) / 2;
            const uint64_t start = suffixes_[middle];
            const uint64_t agreed = Agree(start, data, length, std::min(lowLength, highLength));
            if (agreed == length) {
                *position = start;
                return length;
            }
            if (start + agreed == size_ || old_[start + agreed] < data[agreed]) {
                low = middle;
                lowLength = agreed;
            } else {
                high = middle;
                highLength = agreed;
            }
        }
        *position = lowLength >= highLength ? suffixes_[low] : suffixes_[high];
        return std::max(lowLength, highLength);
    }

  private:
    // How many bytes of the suffix at `start` agree with `data`, knowing that `known` do.
    uint64_t Agree(uint64_t start, const uint8_t* data, uint64_t length, uint64_t known) const {
        const uint64_t limit = std::min(size_ - start, length);
        return known + CommonPrefixLength(old_ + start + known, data + known, limit - known);
    }

    const uint8_t* old_ = nullptr;
    uint64_t size_ = 0;
    std::unique_ptr<uint32_t[]> suffixes_;
    std::unique_ptr<uint64_t[]> filter_;
    uint64_t filterMask_ = 0;
};

class IndexFinder {
  public:
    bool Build(const uint8_t* old, uint64_t oldSize, const DeltaProgress& progress) {
        if (progress) {
            progress("indexing", 0, oldSize);
        }
        return index_.Build(old, oldSize);
    }
    uint64_t Find(const uint8_t* data, uint64_t length, uint64_t* position) const {
        return index_.Find(data, length, position);
    }

  private:
    BlockIndex index_;
};

void Append(std::vector<Piece>& pieces, DeltaOp op, uint64_t length, uint64_t oldPosition) {
    if (length == 0) {
        return;
    }
    if (!pieces.empty()) {
        Piece& last = pieces.back();
        if (last.op == op &&
            (op == DeltaOp::Literal || last.oldPosition + last.length == oldPosition)) {
            last.length += length;
            return;
        }
    }
    pieces.push_back({op, length, oldPosition});
}

// A stretch of new bytes made from old ones: long runs of equal bytes become copies; clusters
// where few bytes agree (a line of text rewritten) become literals, which compress better
// than their differences; the rest additions.
void AppendStretch(const uint8_t* oldData, const uint8_t* newData, uint64_t oldPosition,
                   uint64_t newPosition, uint64_t length, std::vector<Piece>& pieces) {
    const uint8_t* from = oldData + oldPosition;
    const uint8_t* to = newData + newPosition;
    uint64_t added = 0;  // where the current addition started
    for (uint64_t i = 0; i < length;) {
        if (from[i] == to[i]) {
            const uint64_t run = CommonPrefixLength(from + i, to + i, length - i);
            if (run >= kMinCopyRun) {
                Append(pieces, DeltaOp::Add, i - added, oldPosition + added);
                Append(pieces, DeltaOp::Copy, run, oldPosition + i);
                added = i + run;
            }
            i += run;
            continue;
        }
        // The cluster of differences from here: it ends at a run of kClusterGap equal bytes.
        uint64_t end = i;
        uint64_t agreeing = 0;
        while (end < length) {
            if (from[end] != to[end]) {
                ++end;
                continue;
            }
            const uint64_t run = CommonPrefixLength(from + end, to + end, length - end);
            if (run >= kClusterGap) {
                break;
            }
            agreeing += run;
            end += run;
        }
        if (end - i >= kMinLiteralCluster && agreeing * 4 < end - i) {
            Append(pieces, DeltaOp::Add, i - added, oldPosition + added);
            Append(pieces, DeltaOp::Literal, end - i, 0);
            added = end;
        }
        i = end;
    }
    Append(pieces, DeltaOp::Add, length - added, oldPosition + added);
}

// A match at another offset costs an instruction with that offset, and another to come back:
// a short one is only worth it near the current offset.
bool WorthMoving(int64_t length, int64_t offset, int64_t lastOffset) {
    const int64_t distance = offset > lastOffset ? offset - lastOffset : lastOffset - offset;
    return length >= kMinFarMatch || distance < kNearOffset;
}

struct ScanPart {
    int64_t begin;
    int64_t end;
    std::vector<Piece> pieces;
};

// The scan over new bytes [begin, end), after bsdiff's: `lastOffset` is where the old data that
// the last match continues lies, relative to the new position; a match found by the finder
// is taken when it beats the bytes that the last offset gives by more than kBetterBy.
template <typename Finder>
void Scan(const Finder& finder, const uint8_t* oldData, int64_t oldSize, const uint8_t* newData,
          ScanPart& part, std::atomic<uint64_t>& scanned) {
    const int64_t end = part.end;
    int64_t scan = part.begin;
    int64_t length = 0;
    int64_t position = 0;
    int64_t lastScan = part.begin;
    int64_t lastPosition = std::min(part.begin, oldSize);
    int64_t lastOffset = lastPosition - part.begin;
    int64_t reported = part.begin;
    // True when new byte i equals the old byte at the last offset.
    auto agrees = [&](int64_t i) {
        const int64_t o = i + lastOffset;
        return o >= 0 && o < oldSize && oldData[o] == newData[i];
    };
    while (scan < end) {
        int64_t oldScore = 0;
        int64_t counted = scan += length;
        const int64_t first = scan;
        for (; scan < end; ++scan) {
            // Where the last offset still agrees, a new match would hardly be better: looking
            // only where it disagrees makes long approximate matches cheap to scan.
            length = 0;
            if (scan == first || !agrees(scan)) {
                uint64_t found = 0;
                length = static_cast<int64_t>(
                    finder.Find(newData + scan, static_cast<uint64_t>(end - scan), &found));
                position = static_cast<int64_t>(found);
            }
            for (; counted < scan + length; ++counted) {
                oldScore += agrees(counted);
            }
            if ((length == oldScore && length != 0) ||
                (length > oldScore + kBetterBy &&
                 WorthMoving(length, position - scan, lastOffset))) {
                break;
            }
            if (counted <= scan) {
                counted = scan + 1;  // the byte leaves without having been counted
            } else if (agrees(scan)) {
                --oldScore;
            }
        }
        if (length == oldScore && scan != end) {
            continue;
        }
        // Forward from the last match, backward from this one, while at least half agree.
        int64_t forward = 0;
        for (int64_t i = 0, same = 0, best = 0;
             lastScan + i < scan && lastPosition + i < oldSize;) {
            same += oldData[lastPosition + i] == newData[lastScan + i];
            ++i;
            if (same * 2 - i > best * 2 - forward) {
                best = same;
                forward = i;
            }
        }
        int64_t backward = 0;
        if (scan < end) {
            for (int64_t i = 1, same = 0, best = 0; scan >= lastScan + i && position >= i; ++i) {
                same += oldData[position - i] == newData[scan - i];
                if (same * 2 - i > best * 2 - backward) {
                    best = same;
                    backward = i;
                }
            }
        }
        if (lastScan + forward > scan - backward) {
            // Both reach over the same bytes: split where the forward one keeps the most.
            const int64_t overlap = lastScan + forward - (scan - backward);
            int64_t score = 0;
            int64_t bestScore = 0;
            int64_t kept = 0;
            for (int64_t i = 0; i < overlap; ++i) {
                score += newData[lastScan + forward - overlap + i] ==
                         oldData[lastPosition + forward - overlap + i];
                score -= newData[scan - backward + i] == oldData[position - backward + i];
                if (score > bestScore) {
                    bestScore = score;
                    kept = i + 1;
                }
            }
            forward += kept - overlap;
            backward -= kept;
        }
        AppendStretch(oldData, newData, static_cast<uint64_t>(lastPosition),
                      static_cast<uint64_t>(lastScan), static_cast<uint64_t>(forward), part.pieces);
        Append(part.pieces, DeltaOp::Literal,
               static_cast<uint64_t>((scan - backward) - (lastScan + forward)), 0);
        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
        if (scan - reported >= static_cast<int64_t>(kProgressStep)) {
            scanned += static_cast<uint64_t>(scan - reported);
            reported = scan;
        }
    }
    scanned += static_cast<uint64_t>(end - reported);
}

// Scans the new file in parts, one a thread, and joins their pieces in order.
template <typename Finder>
std::vector<Piece> ScanAll(const Finder& finder, const uint8_t* oldData, uint64_t oldSize,
                           const uint8_t* newData, uint64_t newSize, unsigned threads,
                           const DeltaProgress& progress) {
    uint64_t parts = std::max(1u, threads);
    parts = std::min<uint64_t>(parts, std::max<uint64_t>(1, newSize / kMinPart));
    std::vector<ScanPart> scans(parts);
    for (uint64_t i = 0; i < parts; ++i) {
        scans[i].begin = static_cast<int64_t>(newSize * i / parts);
        scans[i].end = static_cast<int64_t>(newSize * (i + 1) / parts);
    }
    std::atomic<uint64_t> scanned{0};
    std::atomic<unsigned> running{static_cast<unsigned>(parts)};
    std::vector<std::thread> workers;
    for (uint64_t i = 1; i < parts; ++i) {
        workers.emplace_back([&, i] {
            Scan(finder, oldData, static_cast<int64_t>(oldSize), newData, scans[i], scanned);
            --running;
        });
    }
    std::thread reporter;
    if (progress) {
        reporter = std::thread([&] {
            while (running.load() != 0) {
                progress("scanning", scanned.load(), newSize);
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
        });
    }
    Scan(finder, oldData, static_cast<int64_t>(oldSize), newData, scans[0], scanned);
    --running;
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (reporter.joinable()) {
        reporter.join();
    }
    std::vector<Piece> pieces = std::move(scans[0].pieces);
    for (uint64_t i = 1; i < parts; ++i) {
        for (const Piece& piece : scans[i].pieces) {
            Append(pieces, piece.op, piece.length, piece.oldPosition);
        }
    }
    return pieces;
}

// --- encoding --------------------------------------------------------------------------------

void PutVarint(Bytes& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

// The smallest zlib stream (level 9) of the strategies tried; empty for no data.
Bytes Deflate(const Bytes& data, bool tryFiltered) {
    Bytes best;
    if (data.empty()) {
        return best;
    }
    for (const int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED}) {
        if (strategy == Z_FILTERED && !tryFiltered) {
            break;
        }
        z_stream stream{};
        if (deflateInit2(&stream, 9, Z_DEFLATED, 15, 9, strategy) != Z_OK) {
            continue;
        }
        Bytes out(deflateBound(&stream, data.size()));
        stream.next_in = const_cast<uint8_t*>(data.data());
        stream.avail_in = static_cast<uInt>(data.size());
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        const int result = deflate(&stream, Z_FINISH);
        out.resize(stream.total_out);
        deflateEnd(&stream);
        if (result == Z_STREAM_END && (best.empty() || out.size() < best.size())) {
            best = std::move(out);
        }
    }
    return best;
}

// Turns pieces into blocks of instructions, added and literal bytes, each block's streams
// compressed on their own.
class Encoder {
  public:
    Encoder(const uint8_t* oldData, const uint8_t* newData, uint64_t newSize, uint32_t blockSize,
            Bytes* out, DeltaReport* report)
        : old_(oldData),
          new_(newData),
          newSize_(newSize),
          blockSize_(blockSize),
          out_(out),
          report_(report) {}

    void Put(const Piece& piece) {
        uint64_t done = 0;
        while (done < piece.length) {
            const uint64_t room = blockSize_ - blockFill_;
            const uint64_t length = std::min(piece.length - done, room);
            Instruction(piece.op, length, piece.oldPosition + done);
            done += length;
            if (blockFill_ == blockSize_ || newPosition_ == newSize_) {
                FlushBlock();
            }
        }
    }

  private:
    void Instruction(DeltaOp op, uint64_t length, uint64_t oldPosition) {
        PutVarint(instructions_, (length - 1) << 2 | static_cast<uint64_t>(op));
        const uint8_t* to = new_ + newPosition_;
        if (op == DeltaOp::Literal) {
            literals_.insert(literals_.end(), to, to + length);
            report_->literal += length;
        } else {
            const bool backwards = oldPosition < oldCursor_;
            const uint64_t distance =
                backwards ? oldCursor_ - oldPosition : oldPosition - oldCursor_;
            PutVarint(instructions_, backwards ? distance * 2 - 1 : distance * 2);
            oldCursor_ = oldPosition + length;
            if (op == DeltaOp::Add) {
                const uint8_t* from = old_ + oldPosition;
                for (uint64_t i = 0; i < length; ++i) {
                    added_.push_back(static_cast<uint8_t>(to[i] - from[i]));
                }
                report_->added += length;
            } else {
                report_->copied += length;
            }
        }
        blockFill_ += length;
        newPosition_ += length;
    }

    void FlushBlock() {
        Bytes streams[kDeltaStreamCount];
        SplitAdded(added_, &streams[kDeltaZeroRuns], &streams[kDeltaByteRuns],
                   &streams[kDeltaAddBytes]);
        if (instructions_.size() > kDeltaMaxInstructionBytes ||
            streams[kDeltaZeroRuns].size() > kDeltaMaxInstructionBytes ||
            streams[kDeltaByteRuns].size() > kDeltaMaxInstructionBytes) {
            // Too many small pieces for one block: the block's bytes as one literal instead.
            const uint8_t* start = new_ + newPosition_ - blockFill_;
            instructions_.clear();
            literals_.assign(start, start + blockFill_);
            PutVarint(instructions_,
                      (blockFill_ - 1) << 2 | static_cast<uint64_t>(DeltaOp::Literal));
            for (const int i : {kDeltaZeroRuns, kDeltaByteRuns, kDeltaAddBytes}) {
                streams[i].clear();
            }
        }
        streams[kDeltaInstructions] = std::move(instructions_);
        streams[kDeltaLiterals] = std::move(literals_);
        Bytes packed[kDeltaStreamCount];
        for (int i = 0; i < kDeltaStreamCount; ++i) {
            packed[i] = Deflate(streams[i], i != kDeltaLiterals);
            if (packed[i].size() >= streams[i].size()) {
                packed[i] = streams[i];  // stored as they are
            }
            PutVarint(*out_, streams[i].size());
            PutVarint(*out_, packed[i].size());
        }
        for (const Bytes& bytes : packed) {
            out_->insert(out_->end(), bytes.begin(), bytes.end());
        }
        instructions_.clear();
        added_.clear();
        literals_.clear();
        blockFill_ = 0;
    }

    // The added bytes as the lengths of their runs of zeros and of non-zero bytes, and those
    // non-zero bytes: the runs say where a program's shifted addresses lie, the bytes by how
    // much they moved, and each compresses better on its own.
    static void SplitAdded(const Bytes& added, Bytes* zeroRuns, Bytes* byteRuns, Bytes* bytes) {
        for (size_t i = 0; i < added.size();) {
            size_t zeros = i;
            while (zeros < added.size() && added[zeros] == 0) {
                ++zeros;
            }
            size_t nonZero = zeros;
            while (nonZero < added.size() && added[nonZero] != 0) {
                ++nonZero;
            }
            PutVarint(*zeroRuns, zeros - i);
            PutVarint(*byteRuns, nonZero - zeros);
            bytes->insert(bytes->end(), added.begin() + static_cast<ptrdiff_t>(zeros),
                          added.begin() + static_cast<ptrdiff_t>(nonZero));
            i = nonZero;
        }
    }

    const uint8_t* old_;
    const uint8_t* new_;
    uint64_t newSize_;
    uint64_t blockSize_;
    Bytes* out_;
    DeltaReport* report_;
    uint64_t newPosition_ = 0;
    uint64_t oldCursor_ = 0;
    uint64_t blockFill_ = 0;
    Bytes instructions_;
    Bytes added_;
    Bytes literals_;
};

// True when the whole new file compressed with zlib (level 9) is no larger than `limit`;
// stops compressing as soon as it is larger.
bool WholeFitsIn(const uint8_t* data, uint64_t size, uint64_t limit) {
    z_stream stream{};
    if (deflateInit(&stream, 9) != Z_OK) {
        return false;
    }
    Bytes out(1 << 20);
    uint64_t total = 0;
    uint64_t done = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END && total <= limit) {
        const uint64_t piece = std::min<uint64_t>(size - done, 1 << 20);
        stream.next_in = const_cast<uint8_t*>(data + done);
        stream.avail_in = static_cast<uInt>(piece);
        done += piece;
        const int flush = done == size ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            result = deflate(&stream, flush);
            total += out.size() - stream.avail_out;
        } while (stream.avail_out == 0 && total <= limit);
    }
    deflateEnd(&stream);
    return total <= limit;
}

template <typename Finder>
bool Diff(const uint8_t* oldData, uint64_t oldSize, const uint8_t* newData, uint64_t newSize,
          const DeltaOptions& options, Bytes* delta, DeltaReport* report,
          const DeltaProgress& progress) {
    std::vector<Piece> pieces;
    {
        Finder finder;
        if (!finder.Build(oldData, oldSize, progress)) {
            return false;
        }
        pieces = ScanAll(finder, oldData, oldSize, newData, newSize, options.threads, progress);
    }
    if (progress) {
        progress("encoding", 0, newSize);
    }
    const DeltaHeader header{.oldSize = oldSize,
                             .oldHash = HashBytes(oldData, oldSize),
                             .newSize = newSize,
                             .newHash = HashBytes(newData, newSize),
                             .blockSize = options.blockSize};
    const size_t start = delta->size();
    delta->resize(start + kDeltaHeaderSize);
    EncodeDeltaHeader(header, delta->data() + start);
    Encoder encoder(oldData, newData, newSize, options.blockSize, delta, report);
    for (const Piece& piece : pieces) {
        encoder.Put(piece);
    }
    report->deltaSize = delta->size() - start;
    report->smallerThanWhole = !WholeFitsIn(newData, newSize, report->deltaSize);
    return true;
}

// The file's bytes in memory of their own (not zeroed first: files of GiBs).
struct Loaded {
    std::unique_ptr<uint8_t[]> data;
    uint64_t size = 0;
};

bool Load(const std::string& path, Loaded* loaded, std::string* error) {
    std::FILE* file = OpenHostFile(PathOfUtf8(path), "rb");
    bool read = file != nullptr && std::fseek(file, 0, SEEK_END) == 0;
    const long long size = read ? ftello(file) : -1;
    read = read && size >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
    if (read) {
        loaded->size = static_cast<uint64_t>(size);
        loaded->data.reset(new (std::nothrow) uint8_t[loaded->size == 0 ? 1 : loaded->size]);
        read = loaded->data != nullptr &&
               std::fread(loaded->data.get(), 1, loaded->size, file) == loaded->size;
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    if (!read) {
        *error = "cannot read " + path;
    }
    return read;
}

}  // namespace

const char* DeltaMethodName(DeltaMethod method) {
    return method == DeltaMethod::SuffixArray ? "suffix array" : "block index";
}

bool EncodeDelta(const uint8_t* oldData, uint64_t oldSize, const uint8_t* newData, uint64_t newSize,
                 const DeltaOptions& options, std::vector<uint8_t>* delta, DeltaReport* report,
                 const DeltaProgress& progress) {
    *report = DeltaReport{};
    report->oldSize = oldSize;
    report->newSize = newSize;
    if (options.blockSize < kDeltaMinBlockSize || options.blockSize > kDeltaMaxBlockSize) {
        return false;
    }
    // The old file, its suffix array and the sorting's work space, with the new file.
    const bool sorted = oldSize <= kMaxSuffixText && oldSize <= options.memoryBudget / 8 &&
                        oldSize * 8 + newSize <= options.memoryBudget;
    report->method = sorted ? DeltaMethod::SuffixArray : DeltaMethod::BlockIndex;
    return sorted ? Diff<SuffixFinder>(oldData, oldSize, newData, newSize, options, delta, report,
                                       progress)
                  : Diff<IndexFinder>(oldData, oldSize, newData, newSize, options, delta, report,
                                      progress);
}

bool DiffFiles(const std::string& oldPath, const std::string& newPath, const DeltaOptions& options,
               std::vector<uint8_t>* delta, DeltaReport* report, std::string* error,
               const DeltaProgress& progress) {
    Loaded oldFile;
    Loaded newFile;
    if (!Load(oldPath, &oldFile, error) || !Load(newPath, &newFile, error)) {
        return false;
    }
    if (!EncodeDelta(oldFile.data.get(), oldFile.size, newFile.data.get(), newFile.size, options,
                     delta, report, progress)) {
        *error = "cannot make the delta of " + newPath + " (out of memory?)";
        return false;
    }
    return true;
}

}  // namespace pkgbuild
