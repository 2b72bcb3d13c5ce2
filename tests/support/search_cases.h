#pragma once

#include "text_mode.h"

#include <ostream>
#include <set>
#include <string>
#include <vector>

/// A position and the paths that the search settles on for it.
struct SearchCase {
    const char* name;
    std::string pieces;
    std::set<std::string> expected;
    friend void PrintTo(const SearchCase& c, std::ostream* out) { *out << c.name; }
};

/// The result file's bytes for a set of settled paths.
inline std::string result_bytes(const std::set<std::string>& paths)
{
    std::string bytes;
    for (const auto& path : paths) bytes += path + std::string(kLineEnd);
    return paths.empty() ? "No" : bytes;
}

/// Positions whose settled paths were worked out by hand, one rule of the search each.
inline std::vector<SearchCase> search_cases()
{
    return {
        { "NoEnemyOnTheLines", "Ld4 bc5 be3 lc1", {} },
        { "LaterLandingsReplaceAndExtend", "La1 ba3", { "a1:a4:a6:a8" } },
        { "ColumnFilterSkipsLandings", "Lh3 bb8 bd8 be3", { "h3:d3:b3" } },
        { "NoLandingColumnNoCapture", "La1 bc1", {} },
        { "LandingOverwritesAPiece", "Lh1 bc1 be1", { "h1:c1" } },
        { "RowThenColumn", "La1 bc1 Be5", { "a1:e1:e6:e8" } },
        SearchCase {
            "LaterCapturesExtendTheAdoptedText", "La1 bc1 ba3 Be5", { "a1:e1:e6:e8:a4:a6:a8" } },
        { "FirstSquareBeyondMustBeEmpty", "Ld3 bd4 ld5", {} },
        { "PiecesBetweenAreNotLookedAt", "Ld3 ld5 bd6", { "d3:d7", "d3:d8" } },
        { "DownwardsFarthestLast", "Ld6 bd4", { "d6:d3:d1" } },
        { "EdgePiecesLeftRightAboveNeverCaptured", "Ld1 ba1 bh1 bd8", {} },
        { "EdgePieceBelowNeverCaptured", "Ld8 bd1 bb5", {} },
        { "OtherKingsAreOccupiedSquares", "Ld3 Ld4 bd5", { "d3:d6:d8" } },
        // d8 is a landing like any other: the own man there goes, as an enemy piece would.
        { "LandingRemovesAnOwnMan", "La1 ba3 la8", { "a1:a4:a6:a8" } },
        // From d8 the king captures d6 downwards: d5, where it started, is empty behind it.
        { "KingLeavesItsStartingSquare", "Ld5 bd6 bd7", { "d5:d8:d5:d3:d1" } },
    };
}
