// The dialogue under hostile and odd standard input: a corpus of the nastiest
// inputs with hand-written results, then generated inputs checked against a
// model of the menu's single `std::cin >> choice` into a std::uint32_t.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/program_run.h"

namespace {

using namespace program_run;

// What the extraction made of the input: the value, empty when it failed, and
// how many bytes it consumed.
struct Extraction {
    std::optional<std::uint32_t> value;
    std::size_t consumedBytes = 0;
};

// The extraction of a std::uint32_t by libstdc++ in the "C" locale, as observed
// with GCC 12's libstdc++ (examples: input -> value or failure, bytes consumed):
// - Leading white space is skipped; only ' ', \t, \n, \v, \f and \r are white
//   space. Not 0x1C-0x1F, 0x85, 0xA0, nor U+00A0 or U+3000 in UTF-8:
//   "\xC2\xA0" "3" -> failure, 0. End of input there fails: "   " -> failure, 3.
// - One '+' or '-' is consumed if it comes next, even when no digit follows:
//   "--1", "+-1", "- 3" -> failure, 1; "-" -> failure, 1.
// - Then every ASCII digit is consumed, also past the type's range:
//   "99999999999999999999x" -> failure, 20. Other scripts' digits are not
//   digits: Arabic-Indic, fullwidth and superscript three -> failure, 0.
//   Leading zeros are ordinary digits and there are no base prefixes:
//   "0004" -> 4, 4; "0x10" -> 0, 1; "3.9" -> 3, 1.
// - No digit: failure. A magnitude beyond 4294967295 fails whatever the sign:
//   "4294967296", "-4294967296", "18446744073709551616" -> failure.
// - A '-' before an in-range magnitude negates it modulo 2^32 and succeeds:
//   "-1" -> 4294967295, "-0" -> 0, "-4294967295" -> 1, "-4294967292" -> 4.
// A failed value is 0 or 4294967295 or left as it was (0); all mean "unrecognized".
Extraction ExtractChoice(std::string_view typed)
{
    const auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    constexpr std::uint64_t largest = UINT32_MAX;

    std::size_t at = 0;
    while (at < typed.size() && isSpace(typed[at]))
        ++at;
    bool negative = false;
    if (at < typed.size() && (typed[at] == '+' || typed[at] == '-'))
        negative = typed[at++] == '-';
    const std::size_t firstDigit = at;
    std::uint64_t magnitude = 0; // held at largest + 1 once beyond the range
    for (; at < typed.size() && isDigit(typed[at]); ++at)
        magnitude = std::min(magnitude * 10 + static_cast<std::uint64_t>(typed[at] - '0'), largest + 1);
    if (at == firstDigit || magnitude > largest)
        return {std::nullopt, at};
    const auto value = static_cast<std::uint32_t>(magnitude);
    return {negative ? 0u - value : value, at};
}

// The menu entry a value selects; 0 for anything that keeps the default with the notice.
int MenuEntry(const std::optional<std::uint32_t>& value)
{
    return value && *value >= 1 && *value <= 4 ? static_cast<int>(*value) : 0;
}

// What the wait for Enter leaves unread after the extraction: the rest of the
// choice's line goes with its '\n', then one more byte; end of input ends it.
std::string_view UnreadAfterWait(std::string_view typed, std::size_t consumedBytes)
{
    std::string_view rest = typed.substr(consumedBytes);
    const auto lineEnd = rest.find('\n');
    if (lineEnd == std::string_view::npos)
        return {};
    rest.remove_prefix(lineEnd + 1);
    if (!rest.empty())
        rest.remove_prefix(1);
    return rest;
}

// The input for a failure message: control and non-ASCII bytes escaped, long inputs cut.
std::string Printable(std::string_view typed)
{
    std::string text;
    for (const char c : typed.substr(0, 60)) {
        char escaped[8] = {c, '\0'};
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F)
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        text += escaped;
    }
    return typed.size() > 60 ? text + "... (" + std::to_string(typed.size()) + " bytes)" : text;
}

const std::string mebibyte(std::size_t{1} << 20, ' ');

class HostileInputTest : public ProgramRunTest {
protected:
    // Runs the program on the input and checks the whole dialogue: exit 0, the
    // texts, the algorithm of the menu entry (0: the default with the notice),
    // what the wait left unread, and a complete teardown. Returns whether the
    // test has held so far.
    bool ExpectRun(const std::string& typed, int menuEntry, std::string_view unread)
    {
        SCOPED_TRACE("typed: " + Printable(typed));
        const std::array<GUID, 4> menuAlgorithms = {DS3DALG_DEFAULT, DS3DALG_NO_VIRTUALIZATION, DS3DALG_HRTF_LIGHT,
                                                    DS3DALG_HRTF_FULL};
        // Pauses of 100 us instead of 66 ms make the stop immediate. Without any
        // pause the animator would log some 400 positions per run.
        const auto shortPause = [](DWORD) { std::this_thread::sleep_for(std::chrono::microseconds(100)); };
        EXPECT_EQ(Run(typed, [&](scripted::Script& script) { script.pause = shortPause; }), 0);
        EXPECT_EQ(Out(), introduction + menu + closingLines);
        EXPECT_EQ(Err(), menuEntry == 0 ? unrecognized : "");
        EXPECT_TRUE(scripted::Seen().algorithm == menuAlgorithms[static_cast<std::size_t>(std::max(menuEntry, 1) - 1)])
            << "menu entry " << menuEntry;
        const std::string left = Unread();
        EXPECT_TRUE(left == unread) << "unread: " << Printable(left) << "\nexpected: " << Printable(unread);
        EXPECT_EQ(scripted::LiveObjects(), 0);
        EXPECT_EQ(orbitThread, nullptr);
        return !HasFailure();
    }

    // Checks the input against the model; returns whether all held.
    bool ExpectAsModelled(const std::string& typed)
    {
        const Extraction extraction = ExtractChoice(typed);
        return ExpectRun(typed, MenuEntry(extraction.value), UnreadAfterWait(typed, extraction.consumedBytes));
    }

    // Checks each input against the model, stopping at the first that fails.
    void ExpectAllAsModelled(const std::vector<std::string>& inputs)
    {
        for (const auto& typed : inputs) {
            if (!ExpectAsModelled(typed))
                return;
        }
    }

    std::mt19937 random_{20240611};
};

TEST_F(HostileInputTest, TheCorpusOfNastyInputsGivesItsWrittenResults)
{
    struct Case {
        const char* name;
        std::string typed;
        int menuEntry; // 0: the default, with the notice
        std::string unread;
    };
    const std::vector<Case> corpus = {
        {"end of input at once", "", 0, ""},
        {"only white space", " \t\n\v\f\r", 0, ""},
        {"every white space before the number", " \t\v\f\r\n\n4\nx\ny", 4, "\ny"},
        {"minus one wraps to the largest value", "-1\n\nz", 0, "z"},
        {"minus 4294967295 wraps to 1", "-4294967295\n\nz", 1, "z"},
        {"minus 4294967294 wraps to 2", "-4294967294\n\nz", 2, "z"},
        {"minus 4294967293 wraps to 3", "-4294967293\n\nz", 3, "z"},
        {"minus 4294967292 wraps to 4", "-4294967292\n\nz", 4, "z"},
        {"minus 4294967296 is out of range", "-4294967296\n\nz", 0, "z"},
        {"minus zero", "-0\n\nz", 0, "z"},
        {"the largest value", "4294967295\n\nz", 0, "z"},
        {"2^32 + 3 does not wrap to 3", "4294967299\n\nz", 0, "z"},
        {"2^64 + 2 does not wrap to 2", "18446744073709551618\n\nz", 0, "z"},
        {"2^64 - 1", "18446744073709551615\n\nz", 0, "z"},
        {"zeros before the digit", "00000000000000000000000000003\n\nz", 3, "z"},
        {"no hexadecimal prefix", "0x3\n\nz", 0, "z"},
        {"decimal point", "3.9\n\nz", 3, "z"},
        {"two signs", "--2\n\nz", 0, "z"},
        {"plus then minus", "+-2\n\nz", 0, "z"},
        {"sign then space", "+ 2\n\nz", 0, "z"},
        {"sign at end of input", "-", 0, ""},
        {"the sign's line end is the choice's", "+\n2\n\nz", 0, "\n\nz"},
        {"no-break space U+00A0", "\xC2\xA0" "3\n\nz", 0, "z"},
        {"ideographic space U+3000", "\xE3\x80\x80" "2\n\nz", 0, "z"},
        {"Arabic-Indic three", "\xD9\xA3\n\nz", 0, "z"},
        {"fullwidth four", "\xEF\xBC\x94\n\nz", 0, "z"},
        {"superscript two", "\xC2\xB2\n\nz", 0, "z"},
        {"information separators are not white space", "\x1C\x1D\x1E\x1F" "3\n\nz", 0, "z"},
        {"NUL before the digit", std::string("\0" "3\n\nz", 5), 0, "z"},
        {"NUL after the digit", std::string("3\0\n\0z", 5), 3, "z"},
        {"byte 0xFF is no end of input", "\xFF\n\xFF\xFFz", 0, "\xFFz"},
        {"carriage return line ends", "4\r\n\r\nz", 4, "\nz"},
        {"the digit ends the input", "2", 2, ""},
        {"the choice's line ends the input", "3 and no line end", 3, ""},
        {"a 1 MiB choice line is discarded", "1" + mebibyte + "\n\nz", 1, "z"},
        {"1 MiB of white space before the number", mebibyte + "4\n\nz", 4, "z"},
        {"1 MiB of zeros before the digit", std::string(mebibyte.size(), '0') + "2\n\nz", 2, "z"},
        {"1 MiB of digits", std::string(mebibyte.size(), '9') + "\n\nz", 0, "z"},
    };
    for (const auto& entry : corpus) {
        SCOPED_TRACE(entry.name);
        // The model must agree with every written result before it judges generated inputs.
        const Extraction extraction = ExtractChoice(entry.typed);
        EXPECT_EQ(MenuEntry(extraction.value), entry.menuEntry) << "model";
        EXPECT_EQ(UnreadAfterWait(entry.typed, extraction.consumedBytes), entry.unread) << "model";
        ExpectRun(entry.typed, entry.menuEntry, entry.unread);
    }
}

TEST_F(HostileInputTest, RandomBytesAreReadAsOneUnsignedExtraction)
{
    std::vector<std::string> inputs;
    std::uniform_int_distribution<int> length(0, 24), byte(0, 255);
    for (int i = 0; i < 1000; ++i) {
        std::string typed(static_cast<std::size_t>(length(random_)), '\0');
        for (char& c : typed)
            c = static_cast<char>(byte(random_));
        inputs.push_back(typed);
    }
    ExpectAllAsModelled(inputs);
}

// Pieces that input is made of here: every kind of white space (newlines twice
// as often), signs, digits in ASCII and other scripts, the numbers around 2^32
// and 2^64, and stray bytes.
const std::vector<std::string> pieces = {
    " ", "\t", "\n", "\n", "\v", "\f", "\r", "\r\n",
    // U+00A0 no-break, U+3000 ideographic and U+2003 em space, U+0085 next line, U+FEFF byte order mark
    "\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\x83", "\xC2\x85", "\xEF\xBB\xBF",
    "+", "-", "--", "+-", "-+", "0", "000", "1", "2", "3", "4", "5", "9", "-1", "+4", "0004",
    "4294967292", "4294967293", "4294967294", "4294967295", "4294967296", "4294967297", "4294967299",
    "18446744073709551615", "18446744073709551616", "18446744073709551617", "99999999999999999999",
    // Arabic-Indic one, four and extended three, Devanagari two, fullwidth one and four,
    // superscript one, two and four, subscript three
    "\xD9\xA1", "\xD9\xA4", "\xDB\xB3", "\xE0\xA5\xA8", "\xEF\xBC\x91", "\xEF\xBC\x94",
    "\xC2\xB9", "\xC2\xB2", "\xE2\x81\xB4", "\xE2\x82\x83",
    std::string(1, '\0'), "x", ".", ",", "e", "\xFF", "\x1C", "\x80"};

TEST_F(HostileInputTest, MixedSpacesSignsAndDigitsAreReadAsOneUnsignedExtraction)
{
    std::vector<std::string> inputs;
    std::uniform_int_distribution<std::size_t> count(1, 8), piece(0, pieces.size() - 1);
    std::uniform_int_distribution<int> digit(0, 9), digits(1, 25);
    for (int i = 0; i < 2000; ++i) {
        std::string typed;
        for (std::size_t n = count(random_); n > 0; --n)
            typed += pieces[piece(random_)];
        // One in four carries a random number of up to 25 digits somewhere.
        if (i % 4 == 0) {
            std::string number;
            for (int n = digits(random_); n > 0; --n)
                number += static_cast<char>('0' + digit(random_));
            typed.insert(std::uniform_int_distribution<std::size_t>(0, typed.size())(random_), number);
        }
        inputs.push_back(typed);
    }
    ExpectAllAsModelled(inputs);
}

TEST_F(HostileInputTest, EndOfInputAtEveryPointIsHandled)
{
    const std::vector<std::string> wholeInputs = {
        " \t\v\f\r+0004\r\n\r\nleft",
        "\n\n-4294967294 words\n\nleft",
        "18446744073709551616\n-\n3\n",
        "\xE3\x80\x80\xEF\xBC\x93\n\xC2\xA0\n",
        std::string("--\0" "3\n\n\xFF", 7),
        "+\n\n2",
    };
    std::vector<std::string> inputs;
    for (const auto& whole : wholeInputs) {
        for (std::size_t length = 0; length <= whole.size(); ++length)
            inputs.push_back(whole.substr(0, length));
    }
    ExpectAllAsModelled(inputs);
}

TEST_F(HostileInputTest, MebibyteRunsOfOnePieceAreReadAndDiscarded)
{
    std::vector<std::string> inputs;
    std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
    for (int i = 0; i < 8; ++i) {
        const std::string& repeated = pieces[piece(random_)];
        std::string typed = pieces[piece(random_)];
        while (typed.size() < mebibyte.size())
            typed += repeated;
        inputs.push_back(typed + pieces[piece(random_)] + "\n" + pieces[piece(random_)]);
    }
    ExpectAllAsModelled(inputs);
}

} // namespace
