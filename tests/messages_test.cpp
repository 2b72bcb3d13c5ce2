// Every message of the table, as the user meets it: shown by the manual page (the common ones by
// the README), and the result file's messages made through the door, without root, by a whole
// run in a folder of the test's own.

#include "file_door.h"
#include "memory_storage.h"
#include "messages.h"
#include "program.h"
#include "run.h"
#include "swapped_door.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The document's text as a reader sees it: the manual page's escapes for a hyphen read as one.
std::string shown_text(const fs::path& document)
{
    std::string text = read_file(document);
    for (std::string::size_type at = 0; (at = text.find("\\-", at)) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

// The README's Messages section (its table of the messages met most, and the words around it)
// as a reader sees it: the lines of a paragraph run on, one space between them.
std::string messages_section(const fs::path& readme)
{
    const std::string text = read_file(readme);
    const std::size_t from = text.find("\n## Messages\n");
    if (from == std::string::npos) return "";
    std::string section = text.substr(from, text.find("\n## ", from + 1) - from);
    std::ranges::replace(section, '\n', ' ');
    return section;
}

// Where a user looks a message up: the manual page shows every one, the README the ones met most.
struct Document {
    const char* name;
    std::string (*text)();
    std::vector<Message> shown; // none listed: every message
};

void PrintTo(const Document& document, std::ostream* out)
{
    *out << document.name;
}

const Document kDocuments[] = {
    { "ManualPage", [] { return shown_text(fs::path(RUNEL_SOURCE_DIR) / "docs" / "runel.1"); },
        {} },
    { "Readme", [] { return messages_section(fs::path(RUNEL_SOURCE_DIR) / "README.md"); },
        { Message::cannot_open, Message::too_few_lines, Message::wrong_square_count,
            Message::not_a_square, Message::cannot_write, Message::refused_by_folder,
            Message::needs_bytes, Message::needs_more_than, Message::left_earlier_kept,
            Message::left_earlier_removed, Message::left_aside_kept } },
};

class DocumentedMessages : public testing::TestWithParam<Document> { };

TEST_P(DocumentedMessages, ShowTheProgramsWords)
{
    const Document& document = GetParam();
    const std::string text = document.text();
    for (const MessageText& message : kMessages) {
        const auto& shown = document.shown;
        if (!shown.empty() && std::ranges::find(shown, message.message) == shown.end()) continue;
        // The words between the values, each as the document must show them.
        std::string_view rest = message.words;
        while (!rest.empty()) {
            const std::string_view piece = rest.substr(0, rest.find("{}"));
            EXPECT_NE(text.find(piece), std::string::npos)
                << document.name << " does not show \"" << piece << "\"";
            rest.remove_prefix(std::min(rest.size(), piece.size() + 2));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Documents, DocumentedMessages, testing::ValuesIn(kDocuments),
    [](const auto& info) { return std::string(info.param.name); });

std::error_code answer; // what the swapped primitive answers

struct Row {
    const char* name;
    std::function<void(const SwappedDoor&)> fault;
    std::function<std::string(std::uint64_t result_bytes)> message;
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

const Row kRows[] = {
    { "NoRoomForTheCountedResult",
        [](const SwappedDoor& door) {
            // Room for no prefix: the size is counted first, and the file system refuses it.
            door.files.free_room = [](Handle) { return FileRoom {}; };
            door.files.allocate = [](Handle, std::uint64_t) { return answer; };
            answer = std::make_error_code(std::errc::no_space_on_device);
        },
        [](std::uint64_t bytes) {
            return "Runel_out.txt: the result needs " + std::to_string(bytes)
                + " bytes; no room for it on this file system\n";
        } },
    { "FolderRefusesANewFile",
        [](const SwappedDoor& door) {
            door.files.create_new = [](const char*, Handle&) { return answer; };
            door.folders.make_unnamed = [](Handle, Handle&) { return answer; };
            door.folders.make_named = [](Handle, const char*, Handle&) { return answer; };
            answer = std::make_error_code(std::errc::permission_denied);
        },
        [](std::uint64_t) {
            return "Runel_out.txt: cannot write the result: "
                + std::make_error_code(std::errc::permission_denied).message()
                + " (refused by the folder)\n";
        } },
};

class MessageRows : public testing::TestWithParam<Row> { };

TEST_P(MessageRows, SayWhatWentWrongAndWhatIsLeft)
{
    const Row& row = GetParam();
    TempDir dir;
    const fs::path board = fs::path(RUNEL_SOURCE_DIR) / "examples" / kBoardFileName;
    fs::copy_file(board, dir / kBoardFileName);
    const fs::path was = fs::current_path();
    fs::current_path(dir.path());
    std::ostringstream errors;
    int status = 0;
    {
        const SwappedDoor door;
        row.fault(door);
        status = run(errors);
    }
    fs::current_path(was);
    EXPECT_EQ(status, 1);
    MemoryStorage result; // as this system writes it, its line ends among its bytes
    write_result(read_board_file(board.string()).board, result);
    EXPECT_EQ(errors.str(), row.message(result.bytes().size()));
}

INSTANTIATE_TEST_SUITE_P(Rows, MessageRows, testing::ValuesIn(kRows),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
