// The peer runel is measured against: the lean search a first program would be. One thread, the
// two masks and the king's square passed down the recursion, the text streamed through a 1 MB
// buffer and fwrite; no size count, no cache of suffixes met before, no sync. Lines after the
// first are searched again. Its bytes are runel's (bench/compare.sh and the tests check).

#include "plain_search.h"

#include "search.h"
#include "state.h"
#include "text_mode.h"

#include <bit>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr Mask kFileA = 0x0101010101010101ULL;
constexpr std::size_t kBufferSize = std::size_t { 1 } << 20;

std::FILE* out_file;
char buffer[kBufferSize + 8]; // room past the mark for one capture's characters
char* end = buffer;
Square last; // the square the text ends on; its rank digit is held back, a capture may replace it

void flush()
{
    const auto size = static_cast<std::size_t>(end - buffer);
    if (std::fwrite(buffer, 1, size, out_file) != size) {
        std::perror("Runel_out.txt");
        std::exit(1);
    }
    end = buffer;
}

// The held digit, then ":" and the landing's file; the landing's digit is held in turn.
void append_square(Square landing)
{
    end[0] = rank_char(last);
    end[1] = ':';
    end[2] = file_char(landing);
    end += 3;
    last = landing;
    if (end >= buffer + kBufferSize) flush();
}

template <bool kTop> bool search(Mask enemy, Mask occupied, Square king, unsigned& settled);

// True when an enemy piece stands on the king's row or column: without one the search from
// there finds nothing, which most states near the end of a sequence are.
inline bool enemy_on_lines(Mask enemy, Square king)
{
    return ((enemy >> (king & 56)) & 0xff) != 0 || ((enemy >> (king & 7)) & kFileA) != 0;
}

// One capture of the piece on `captured`, landing on `landing`: the text grows by ":landing",
// or, landing one rank away on the file the text ends on (8 squares apart), its last rank digit
// is replaced and kept only if the search goes on from there. At the top level a replacement not
// kept is settled beside the text; one kept, or an added square, clears those.
template <bool kTop>
inline void capture(
    Mask enemy, Mask occupied, Square king, Square captured, Square landing, unsigned& settled)
{
    const Mask next_enemy = enemy & ~bit(captured) & ~bit(landing);
    const Mask next_occupied = (occupied & ~bit(king) & ~bit(captured)) | bit(landing);
    const Square before = last;
    if (before - landing == 8 || landing - before == 8) {
        last = landing;
        unsigned none = 0;
        if (enemy_on_lines(next_enemy, landing)
            && search<false>(next_enemy, next_occupied, landing, none)) {
            if constexpr (kTop) settled = 0;
        } else {
            last = before;
            if constexpr (kTop) settled |= 1U << (rank_char(landing) - '0');
        }
        return;
    }
    append_square(landing);
    unsigned none = 0;
    if (enemy_on_lines(next_enemy, landing))
        search<false>(next_enemy, next_occupied, landing, none);
    if constexpr (kTop) settled = 0;
}

// Every capture open to the king, in the search's order: its row, pieces by ascending square,
// landings nearest first, only in files that hold an enemy piece and only if the square beyond
// the piece is empty (the squares between are never looked at); then its column likewise, any
// landing. Returns whether there was one.
template <bool kTop> bool search(Mask enemy, Mask occupied, Square king, unsigned& settled)
{
    const int row = row_of(king);
    const int col = col_of(king);
    const auto row_enemies = static_cast<unsigned>(enemy >> (row * 8)) & 0xffU;
    const Mask col_enemies = (enemy >> col) & kFileA;
    if ((row_enemies | col_enemies) == 0) return false;
    bool any = false;
    if (row_enemies != 0) {
        Mask folded = enemy | enemy >> 32;
        folded |= folded >> 16;
        folded |= folded >> 8;
        const auto files = static_cast<unsigned>(folded) & 0xffU;
        const auto row_occupied = static_cast<unsigned>(occupied >> (row * 8)) & 0xffU;
        for (unsigned pieces = row_enemies; pieces != 0; pieces &= pieces - 1) {
            const int i = std::countr_zero(pieces);
            if (0 < i && i < col && (row_occupied & 1U << (i - 1)) == 0) {
                for (unsigned landings = files & ((1U << i) - 1); landings != 0;) {
                    const int u = static_cast<int>(std::bit_width(landings)) - 1;
                    landings &= ~(1U << u);
                    any = true;
                    capture<kTop>(enemy, occupied, king, row * 8 + i, row * 8 + u, settled);
                }
            } else if (col < i && i <= 6 && (row_occupied & 1U << (i + 1)) == 0) {
                for (unsigned landings = files & ~((2U << i) - 1); landings != 0;
                     landings &= landings - 1) {
                    any = true;
                    capture<kTop>(enemy, occupied, king, row * 8 + i,
                        row * 8 + std::countr_zero(landings), settled);
                }
            }
        }
    }
    for (Mask pieces = col_enemies; pieces != 0; pieces &= pieces - 1) {
        const int j = std::countr_zero(pieces) >> 3;
        if (0 < j && j < row && (occupied & bit(king - (row - j + 1) * 8)) == 0) {
            for (int u = j - 1; u >= 0; --u) {
                any = true;
                capture<kTop>(enemy, occupied, king, j * 8 + col, u * 8 + col, settled);
            }
        } else if (row < j && j <= 6 && (occupied & bit(king + (j - row + 1) * 8)) == 0) {
            for (int u = j + 1; u < 8; ++u) {
                any = true;
                capture<kTop>(enemy, occupied, king, j * 8 + col, u * 8 + col, settled);
            }
        }
    }
    return any;
}

void append_text(std::string_view text)
{
    for (const char c : text) {
        *end++ = c;
        if (end >= buffer + kBufferSize) flush();
    }
}

} // namespace

void write_plain_result(const Board& board, std::FILE* out)
{
    out_file = out;
    end = buffer;
    const Position king = damka_cords_find(board);
    if (king == kNoKing) {
        append_text(kNoCapture);
    } else {
        const State start = state_of(board, king);
        // The text starts with the king's square, taken back if there is no capture.
        *end++ = file_char(start.king);
        last = start.king;
        unsigned settled = 0;
        if (!search<true>(start.enemy, start.occupied, start.king, settled)) {
            end = buffer;
            append_text(kNoCapture);
        } else {
            // One line for each settled last digit and the text's own, in ascending order; the
            // text is searched again for each line after the first.
            const unsigned digits = settled | 1U << (rank_char(last) - '0');
            bool first = true;
            for (int digit = 1; digit <= 8; ++digit) {
                if ((digits & 1U << digit) == 0) continue;
                if (!first) {
                    *end++ = file_char(start.king);
                    last = start.king;
                    search<false>(start.enemy, start.occupied, start.king, settled);
                }
                const char last_digit = static_cast<char>('0' + digit);
                append_text(std::string_view(&last_digit, 1));
                append_text(kLineEnd);
                first = false;
            }
        }
    }
    flush();
}
