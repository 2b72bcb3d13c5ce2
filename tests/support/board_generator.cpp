#include "board_generator.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <random>

std::string generated_board_file(std::uint64_t seed)
{
    std::mt19937_64 random(seed);
    auto below = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };

    std::array<char, 64> cells {};
    cells.fill('+');
    std::array<int, 64> order {};
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);

    // Up to ten enemy pieces (and the one or two below) for most boards; crowded boards, whose
    // results grow huge, for one board in sixteen.
    const int enemies = below(16) == 0 ? 11 + below(10) : below(11);
    const int own_men = below(7);
    const int kings = below(10) == 0 ? 0 : 1 + (below(4) == 0 ? below(3) : 0);
    auto enemy = [&below] { return below(4) == 0 ? 'B' : 'b'; };
    std::size_t next = 0;
    for (int i = 0; i < kings; ++i) cells[static_cast<std::size_t>(order[next++])] = 'L';
    // Most boards get an enemy piece or two on the lines of the first king placed, off the
    // edges so that it can be captured, so that most boards have captures; which king moves is
    // still the king scan's choice.
    const int on_line = kings > 0 && below(8) != 0 ? 1 + below(2) : 0;
    for (int placed = 0; placed < on_line; ++placed) {
        const int king = order[0];
        for (std::size_t i = next; i < order.size(); ++i) {
            const int square = order[i];
            const bool on_row = square / 8 == king / 8 && square % 8 != 0 && square % 8 != 7;
            const bool on_col = square % 8 == king % 8 && square / 8 != 0 && square / 8 != 7;
            if (on_row || on_col) {
                std::swap(order[i], order[next]);
                cells[static_cast<std::size_t>(order[next++])] = enemy();
                break;
            }
        }
    }
    for (int i = 0; i < enemies; ++i) cells[static_cast<std::size_t>(order[next++])] = enemy();
    for (int i = 0; i < own_men; ++i) cells[static_cast<std::size_t>(order[next++])] = 'l';

    const bool labels = below(2) == 0;
    const std::string line_end = below(4) == 0 ? "\r\n" : "\n";
    std::string text = "  abcdefgh" + line_end;
    for (std::size_t row = 0; row < 8; ++row) {
        if (labels) text += static_cast<char>('8' - row);
        for (std::size_t col = 0; col < 8; ++col) {
            char cell = cells[row * 8 + col];
            if (cell == '+' && below(3) == 0) cell = '*';
            text += cell;
        }
        text += line_end;
    }
    return text;
}

std::string dense_board_file(std::uint64_t seed)
{
    std::mt19937_64 random(seed);
    std::string cells(64, '+');
    cells[0] = 'L';
    const std::size_t enemies = 13 + random() % 6;
    for (std::size_t i = 1; i <= enemies; ++i) cells[i] = random() % 5 == 0 ? 'B' : 'b';
    for (std::size_t i = random() % 4; i > 0; --i) cells[enemies + i] = 'l';
    std::shuffle(cells.begin(), cells.end(), random);
    std::string text = "  abcdefgh\n";
    for (std::size_t row = 0; row < 8; ++row) text += cells.substr(row * 8, 8) + '\n';
    return text;
}
