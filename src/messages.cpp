#include "messages.h"

std::string words_of(Message message, std::initializer_list<std::string_view> values)
{
    std::string words;
    std::string_view rest = kMessages[static_cast<std::size_t>(message)].words;
    for (const std::string_view value : values) {
        const std::size_t place = rest.find("{}");
        if (place == std::string_view::npos) break;
        words.append(rest.substr(0, place)).append(value);
        rest.remove_prefix(place + 2);
    }
    return words.append(rest);
}

std::string left_words(LeftBehind left)
{
    switch (left) {
    case LeftBehind::nothing:
        break;
    case LeftBehind::earlier_kept:
        return "; " + words_of(Message::left_earlier_kept);
    case LeftBehind::earlier_removed:
        return "; " + words_of(Message::left_earlier_removed);
    case LeftBehind::part_written:
        return "; " + words_of(Message::left_part_written);
    case LeftBehind::emptied:
        return "; " + words_of(Message::left_emptied);
    case LeftBehind::new_result:
        return "; " + words_of(Message::left_new_result);
    }
    return "";
}
