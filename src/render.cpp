#include "render.h"

#include "search.h"
#include "state_layers.h"
#include "suffix_cache.h"
#include "text_mode.h"
#include "walk.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

// Suffixes shorter than this are rendered where they stand instead of becoming pieces of their
// own: a piece costs a write of its own, and a thread's turn.
constexpr std::uint64_t kShortestPiece = 4 << 10;
// A piece searches states with this many enemy pieces at most again rather than look them up in
// its cache, and fewer where their searches are long on the board.
constexpr int kMostPiecesToSearch = 8;
// A text met before that is no longer in memory is rendered again unless it is this long: reading
// it back costs a call into the system.
constexpr std::uint64_t kShortestReadBack = 256;
// A copy this long goes from storage to storage without passing through the buffer.
constexpr std::uint64_t kDirectCopy = 1 << 16;
// Each thread's cache of where it wrote which state has 2^bits slots of 32 bytes, within these.
constexpr int kLeastCacheBits = 16;
constexpr int kMostCacheBits = 20;
// A piece copied from earlier text is split into parts of at most this, so that threads share it
// and each part waits only for its own source.
constexpr std::uint64_t kCopyPart = 8 << 20;

struct StateHash {
    std::size_t operator()(const State& state) const
    {
        return static_cast<std::size_t>((state.enemy * 0x9e3779b97f4a7c15ULL)
            ^ ((state.occupied + static_cast<unsigned>(state.king)) * 0xff51afd7ed558ccdULL));
    }
};

// A part of the result that one thread produces alone. The gaps between pieces are written
// before any piece is.
struct Piece {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool copy = false;
    State state; // rendered: the state whose suffix, all but its last character, goes here
    std::uint64_t from = 0; // copied: where the same bytes are, before `offset`
};

// Bytes written at increasing offsets from a starting offset, through a buffer that keeps the
// last stretch already written too, so that copies of recent text are copies in memory.
class PlacedText {
public:
    explicit PlacedText(Storage& storage)
        : storage_(storage)
        , buffer_(new char[kBufferSize])
    {
    }

    /// Goes on writing at `offset`; whatever is buffered is written out first.
    void move_to(std::uint64_t offset)
    {
        flush();
        window_start_ = flushed_end_ = offset;
        used_ = 0;
    }

    void append(char c)
    {
        if (used_ == kBufferSize) flush();
        buffer_[used_++] = c;
    }

    /// Appends the `size` (at most kMostAtOnce) characters at `text`: a capture's, with one check
    /// for room. kMostAtOnce bytes are always read from `text`, so it must hold that many.
    void append_few(const char* text, std::size_t size)
    {
        if (used_ > kBufferSize - kMostAtOnce) flush();
        std::memcpy(buffer_.get() + used_, text, kMostAtOnce);
        used_ += size;
    }
    static constexpr std::size_t kMostAtOnce = 4;

    /// True when the bytes at `offset` are still in memory.
    bool in_window(std::uint64_t offset) const { return offset >= window_start_ && offset < end(); }

    /// Appends the `size` bytes at `from`, which are final: in memory, or written before (by
    /// this writer, so maybe after end() in an earlier piece).
    void append_copy(std::uint64_t from, std::uint64_t size)
    {
        if (size >= kDirectCopy && !in_window(from)) {
            flush();
            storage_.copy_within(from, flushed_end_, size);
            flushed_end_ += size;
            window_start_ = flushed_end_;
            used_ = 0;
            return;
        }
        while (size > 0) {
            if (used_ == kBufferSize) flush();
            auto part
                = static_cast<std::size_t>(std::min<std::uint64_t>(size, kBufferSize - used_));
            if (in_window(from)) {
                std::memcpy(buffer_.get() + used_, buffer_.get() + (from - window_start_), part);
            } else {
                // What follows may still be in memory.
                if (from < window_start_)
                    part = static_cast<std::size_t>(
                        std::min<std::uint64_t>(part, window_start_ - from));
                storage_.read_at(from, buffer_.get() + used_, part);
            }
            used_ += part;
            from += part;
            size -= part;
        }
    }

    std::uint64_t end() const { return window_start_ + used_; }

    void flush()
    {
        const std::size_t pending = static_cast<std::size_t>(end() - flushed_end_);
        storage_.write_at(flushed_end_, buffer_.get() + (used_ - pending), pending);
        flushed_end_ = end();
        if (used_ > kKept) {
            std::memmove(buffer_.get(), buffer_.get() + (used_ - kKept), kKept);
            window_start_ = end() - kKept;
            used_ = kKept;
        }
    }

private:
    static constexpr std::size_t kBufferSize = 4 << 20;
    static constexpr std::size_t kKept = 1 << 20;

    Storage& storage_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0; // bytes in the buffer, from window_start_
    std::uint64_t window_start_ = 0;
    std::uint64_t flushed_end_ = 0;
};

// Where the pieces stand: everything before watermark() is written and final.
class Progress {
public:
    Progress(const std::vector<Piece>& pieces, std::uint64_t end)
        : pieces_(pieces)
        , done_(pieces.size(), false)
        , end_(end)
        , watermark_(pieces.empty() ? end : pieces.front().offset)
    {
    }

    std::uint64_t watermark() const { return watermark_.load(std::memory_order_acquire); }

    void finished(std::size_t index)
    {
        const std::lock_guard lock(mutex_);
        done_[index] = true;
        while (next_ < pieces_.size() && done_[next_]) ++next_;
        watermark_.store(
            next_ < pieces_.size() ? pieces_[next_].offset : end_, std::memory_order_release);
        changed_.notify_all();
    }

    /// Waits until every byte before `offset` is final; false if the run failed meanwhile.
    bool wait_for(std::uint64_t offset)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return failure_ || watermark() >= offset; });
        return !failure_;
    }

    void fail(std::exception_ptr failure)
    {
        const std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::move(failure);
        changed_.notify_all();
    }
    bool failed() const
    {
        const std::lock_guard lock(mutex_);
        return failure_ != nullptr;
    }
    std::exception_ptr failure() const { return failure_; }

private:
    const std::vector<Piece>& pieces_;
    std::vector<bool> done_;
    std::uint64_t end_;
    std::size_t next_ = 0;
    std::atomic<std::uint64_t> watermark_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::exception_ptr failure_;
};

// Renders the suffixes of states into their pieces, one piece after another, for one thread. A
// piece is handed the text ending with its state's king square, whose last character lies before
// the piece and is not its to write; the suffix's own last character lies after it, left to
// whoever renders what follows. A state met again is copied from where this thread last wrote
// it: those bytes are final, in memory or already written.
class PieceWriter {
public:
    PieceWriter(Storage& storage, int cache_bits, int few_to_search)
        : out_(storage)
        , cache_(cache_bits)
        , few_to_search_(few_to_search)
    {
    }

    /// Renders `piece`; returns the bytes it came out at.
    std::uint64_t render(const Piece& piece)
    {
        out_.move_to(piece.offset);
        own_held_ = false;
        hold(piece.state.king);
        extend(piece.state, *this);
        out_.flush();
        return out_.end() - piece.offset;
    }

    Square last_square() const { return last_; }
    void replace_rank(Square landing) { hold(landing); }
    void restore(Square square) { hold(square); }
    void append_square(Square landing)
    {
        // The held character is followed by more text now, so final; the first one is the
        // caller's.
        // One more than a fixed-size copy reads, since the copy may start at the second.
        const char text[PlacedText::kMostAtOnce + 1] = { held_, ':', file_char(landing), 0, 0 };
        const std::size_t skip = own_held_ ? 0 : 1;
        out_.append_few(text + skip, 3 - skip);
        own_held_ = true;
        hold(landing);
    }

    // A big cache is read at random: asking for all the next states' entries at once lets the
    // waits for memory overlap.
    void prefetch_next(const State& state) const
    {
        // Every next state has fewer enemy pieces: below the line, none is looked up.
        if (squares_in(state.enemy) <= few_to_search_ + 1) return;
        for_each_capture(state, [this](Square, const State& next) {
            if (squares_in(next.enemy) > few_to_search_) cache_.prefetch(next);
        });
    }

    bool descend(const State& next)
    {
        if (!enemy_on_lines(next)) return false;
        if (squares_in(next.enemy) <= few_to_search_) {
            SearchAgain again { *this };
            return extend(next, again);
        }
        if (const SuffixCache::Entry* seen = cache_.find(next); seen
            && (out_.in_window(seen->offset)
                || unpacked_suffix(seen->packed).length >= kShortestReadBack)) {
            const Suffix suffix = unpacked_suffix(seen->packed);
            commit_held();
            out_.append_copy(seen->offset, suffix.length - 1);
            hold(suffix.last);
            return true;
        }
        const std::uint64_t at = text_end();
        const bool captured = extend(next, *this);
        const std::uint64_t length = text_end() - at;
        if (length >= SuffixCache::kMinLength) cache_.store(next, at, length, last_);
        return captured;
    }

private:
    // A state below the cache's line, and so every state after it, is searched again plainly:
    // nothing is looked up, prefetched or stored.
    struct SearchAgain {
        PieceWriter& writer;
        Square last_square() const { return writer.last_; }
        void replace_rank(Square landing) { writer.hold(landing); }
        void restore(Square square) { writer.hold(square); }
        void append_square(Square landing) { writer.append_square(landing); }
        bool descend(const State& next) { return enemy_on_lines(next) && extend(next, *this); }
    };

    // One past the held character: where a suffix appended now would start.
    std::uint64_t text_end() const { return out_.end() + (own_held_ ? 1 : 0); }

    void commit_held()
    {
        // A character followed by more text is final; the first one is the caller's.
        if (own_held_) out_.append(held_);
        own_held_ = true;
    }

    void hold(Square square)
    {
        last_ = square;
        held_ = rank_char(square);
    }

    PlacedText out_;
    SuffixCache cache_;
    // States with this many enemy pieces or fewer are searched again rather than looked up in the
    // cache: the lookup waits on memory, and their searches are short. The count found where
    // searches become short on this board.
    int few_to_search_;
    Square last_ = 0;
    char held_ = 0;
    bool own_held_ = false;
};

// Walks the top of the search, where suffixes are long, and cuts the text into pieces: each
// remembered state with a long suffix becomes a piece (copied if it was placed before), unless
// it is longer than `split_above` and new, when its own captures are cut in turn. The short
// stretches between pieces are written at once.
class Splitter {
public:
    Splitter(const StateLayers& layers, Storage& storage, Square king, std::uint64_t split_above)
        : layers_(layers)
        , storage_(storage)
        , split_above_(split_above)
        , last_(king)
    {
        run_ += file_char(king);
        run_ += rank_char(king);
    }

    Square last_square() const { return last_; }
    void replace_rank(Square landing) { hold(landing); }
    void restore(Square square) { hold(square); }
    void append_square(Square landing)
    {
        run_ += ':';
        run_ += file_char(landing);
        run_ += rank_char(landing);
        last_ = landing;
    }

    bool descend(const State& next)
    {
        if (!enemy_on_lines(next)) return false;
        // A state with few enemy pieces was not kept: its text is short, and written here.
        if (!layers_.kept(std::popcount(next.enemy))) return extend(next, *this);
        const StateTable::Slot* slot = layers_.find(next);
        if (slot == nullptr) throw std::logic_error("a state was met that was not counted");
        const Suffix known = unpacked_suffix(slot->packed);
        if (known.length < kShortestPiece) return extend(next, *this);
        const std::uint64_t at = text_end();
        const std::uint64_t size = known.length - 1;
        const auto [seen, first] = placed_.try_emplace(next, at);
        if (first && size > split_above_) return extend(next, *this);
        write_run();
        if (first)
            pieces_.push_back({ at, size, false, next, 0 });
        else
            add_copy(seen->second, at, size);
        run_start_ = at + size;
        run_.assign(1, rank_char(known.last));
        last_ = known.last;
        return true;
    }

    /// Ends the text: one line for each rank digit in `digits`, the first already rendered.
    void finish(unsigned digits)
    {
        const std::uint64_t prefix = text_end() - 1;
        bool first = true;
        for (int digit = 1; digit <= 8; ++digit) {
            if (!(digits & (1U << digit))) continue;
            if (first) {
                run_.back() = static_cast<char>('0' + digit);
            } else {
                write_run();
                add_copy(0, run_start_, prefix);
                run_start_ += prefix;
                run_.assign(1, static_cast<char>('0' + digit));
            }
            run_.append(kLineEnd);
            first = false;
        }
        write_run();
    }

    std::uint64_t text_end() const { return run_start_ + run_.size(); }
    std::vector<Piece>& pieces() { return pieces_; }

private:
    void hold(Square square)
    {
        last_ = square;
        run_.back() = rank_char(square);
    }

    void add_copy(std::uint64_t from, std::uint64_t to, std::uint64_t size)
    {
        for (std::uint64_t done = 0; done < size; done += kCopyPart) {
            const std::uint64_t part = std::min(kCopyPart, size - done);
            pieces_.push_back({ to + done, part, true, {}, from + done });
        }
    }

    // Only once what follows is known: until then a capture may still replace the last
    // character.
    void write_run()
    {
        storage_.write_at(run_start_, run_.data(), run_.size());
        run_start_ += run_.size();
        run_.clear();
    }

    const StateLayers& layers_;
    Storage& storage_;
    std::uint64_t split_above_;
    Square last_;
    std::string run_; // the text from run_start_ on, not yet written; ends with the held one
    std::uint64_t run_start_ = 0;
    std::vector<Piece> pieces_;
    // Where the long suffixes met so far start; few, since only the top of the search is walked.
    std::unordered_map<State, std::uint64_t, StateHash> placed_;
};

void produce(const Piece& piece, PieceWriter& writer, Progress& progress, Storage& storage)
{
    if (piece.copy) {
        if (!progress.wait_for(piece.from + piece.length)) return;
        storage.copy_within(piece.from, piece.offset, piece.length);
        return;
    }
    if (writer.render(piece) != piece.length)
        throw std::logic_error("a piece came out at another length than was counted");
}

} // namespace

std::uint64_t render_result(const State& start, ResultPlan plan, Storage& storage, unsigned threads)
{
    if (!plan.captured) {
        storage.write_at(0, kNoCapture.data(), kNoCapture.size());
        return kNoCapture.size();
    }
    threads = std::max(threads, 1U);
    const StateLayers& layers = *plan.layers;
    // Enough pieces that threads finishing at different times still share the work evenly.
    const std::uint64_t split_above
        = std::max(plan.text_length / (std::uint64_t { 16 } * threads), kShortestPiece);
    Splitter splitter(layers, storage, start.king, split_above);
    Alternatives alternatives;
    extend(start, splitter, &alternatives);
    if (splitter.text_end() != plan.text_length)
        throw std::logic_error("the text came out at another length than was counted");
    splitter.finish(alternatives.ranks | 1U << (rank_char(splitter.last_square()) - '0'));
    const std::uint64_t end = splitter.text_end();
    // The pieces need the layers no more: their memory goes to the threads' caches, which take
    // half of what the layers took at most (16 of their 32 bytes a state) in all.
    const int few_to_search = std::min(layers.fewest_kept(), kMostPiecesToSearch);
    plan.layers.reset();
    const int cache_bits = std::clamp(
        static_cast<int>(std::bit_width(plan.states / (std::uint64_t { 2 } * threads))) - 1,
        kLeastCacheBits, kMostCacheBits);

    const std::vector<Piece>& pieces = splitter.pieces();
    Progress progress(pieces, end);
    // Each thread renders a stretch of the pieces in order, so that its cache meets text that
    // belongs together, then goes on to what the others have not started. Copies come after, in
    // order, each waiting for its source: a thread that waits has only copies before it left
    // to others, so it never waits for itself.
    std::vector<std::atomic<bool>> started(pieces.size());
    std::atomic<std::size_t> next_copy { 0 };
    auto work = [&](unsigned thread) {
        try {
            PieceWriter writer(storage, cache_bits, few_to_search);
            const std::size_t first = pieces.size() * thread / threads;
            for (std::size_t k = 0; k < pieces.size() && !progress.failed(); ++k) {
                const std::size_t i = (first + k) % pieces.size();
                if (pieces[i].copy || started[i].exchange(true)) continue;
                produce(pieces[i], writer, progress, storage);
                progress.finished(i);
            }
            for (std::size_t i = next_copy++; i < pieces.size() && !progress.failed();
                 i = next_copy++) {
                if (!pieces[i].copy) continue;
                produce(pieces[i], writer, progress, storage);
                progress.finished(i);
            }
        } catch (...) {
            progress.fail(std::current_exception());
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (unsigned i = 1; i < threads && i < pieces.size(); ++i) helpers.emplace_back(work, i);
    } catch (const std::system_error&) {
        // The system has no thread to spare: fewer threads render the same bytes.
    }
    work(0);
    for (std::thread& helper : helpers) helper.join();
    if (progress.failure()) std::rethrow_exception(progress.failure());
    return end;
}
