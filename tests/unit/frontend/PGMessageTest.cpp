#include "frontend/PGMessage.h"

#include <gtest/gtest.h>

using namespace quillhaven;
using namespace std::string_literals;

namespace {

// Bytes written as hex pairs separated by spaces, for readable expectations.
std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        if (!out.empty()) out.push_back(' ');
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

} // namespace

TEST(PGMessage, BuildersProduceTheExactBytes) {
    struct Case {
        const char* what;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"frame", PGMessage::buildMessage('C', "ab"s), "43 00 00 00 06 61 62"},
        {"empty frame", PGMessage::buildEmptyMessage('1'), "31 00 00 00 04"},
        {"AuthenticationOk", PGMessage::buildAuthenticationOk(), "00 00 00 00"},
        {"BackendKeyData", PGMessage::buildBackendKeyData(0x01020304, -2),
         "01 02 03 04 FF FF FF FE"},
        {"no columns", PGMessage::buildRowDescription({}), "00 00"},
        {"size 0 sent as -1", PGMessage::buildRowDescription({{"a", 25, 0}}),
         "00 01 61 00 00 00 00 00 00 00 00 00 00 19 FF FF FF FF FF FF 00 00"},
        {"size 4 kept", PGMessage::buildRowDescription({{"n", 23, 4}}),
         "00 01 6E 00 00 00 00 00 00 00 00 00 00 17 00 04 FF FF FF FF 00 00"},
        {"mixed cells",
         PGMessage::buildDataRow({std::nullopt, CellValue{""s}, CellValue{true},
                                  CellValue{std::int64_t{42}}, CellValue{2.5}}),
         "00 05 FF FF FF FF 00 00 00 00 00 00 00 01 74 00 00 00 02 34 32 00 00 00 03 32 2E 35"},
        {"utf-8 length", PGMessage::buildDataRow({CellValue{"\xC3\xA9"s}}),
         "00 01 00 00 00 02 C3 A9"},
        {"false, negative",
         PGMessage::buildDataRow({CellValue{false}, CellValue{std::int64_t{-7}}}),
         "00 02 00 00 00 01 66 00 00 00 02 2D 37"},
        {"ErrorResponse",
         PGMessage::buildMessage('E', PGMessage::buildErrorResponse("ERROR", "boom")),
         "45 00 00 00 20 53 45 52 52 4F 52 00 56 45 52 52 4F 52 00 4D 62 6F 6F 6D 00 43 34 32 30 "
         "30 30 00 00"},
        {"ParameterDescription", PGMessage::buildParameterDescription({}), "00 00"},
        {"ParameterDescription 2", PGMessage::buildParameterDescription({23, 25}),
         "00 02 00 00 00 17 00 00 00 19"},
        {"CommandComplete", PGMessage::buildCommandComplete("OK"), "43 00 00 00 07 4F 4B 00"},
        {"ReadyForQuery", PGMessage::buildReadyForQuery(), "5A 00 00 00 05 49"},
        {"DataRow frame", PGMessage::buildDataRowMessage({CellValue{"x"s}}),
         "44 00 00 00 0B 00 01 00 00 00 01 78"},
    };
    for (const auto& c : cases) EXPECT_EQ(hex(c.bytes), c.expected) << c.what;
}

TEST(PGMessage, RendersCellsAsText) {
    struct Case {
        Cell cell;
        std::optional<std::string> text;
    } cases[] = {
        {std::nullopt, std::nullopt}, {CellValue{2.0}, "2"},
        {CellValue{0.1}, "0.1"},      {CellValue{1.0 / 3}, "0.3333333333333333"},
        {CellValue{1e20}, "1e+20"},   {CellValue{std::int64_t{INT64_MIN}}, "-9223372036854775808"},
        {CellValue{true}, "t"},       {CellValue{""s}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(PGMessage::renderCell(c.cell), c.text);
}

TEST(PGMessage, ReadCStringFindsTerminatedAndUnterminatedTexts) {
    const std::string userBob("user\0bob\0"s);
    EXPECT_EQ(PGMessage::readCString(userBob, 0), "user");
    EXPECT_EQ(PGMessage::readCString(userBob, 5), "bob");
    EXPECT_EQ(PGMessage::readCString(userBob, 9), std::nullopt);
    EXPECT_EQ(PGMessage::readCString(userBob, 4), "");
    EXPECT_EQ(PGMessage::readCString("abc", 0), "abc");
    EXPECT_EQ(PGMessage::readCString("a\xFF\0"s, 0), std::nullopt);
}

TEST(PGMessage, StartupAnswerListsTheFixedParametersInOrder) {
    std::string answer = PGStartup::buildStartupResponse(0x10, 0x20);
    EXPECT_EQ(hex(answer.substr(0, 9)), "52 00 00 00 08 00 00 00 00");
    EXPECT_EQ(hex(answer.substr(answer.size() - 6)), "5A 00 00 00 05 49");
    EXPECT_EQ(hex(answer.substr(answer.size() - 19, 13)), "4B 00 00 00 0C 00 00 00 10 00 00 00 20");

    std::vector<std::string> names;
    std::size_t at = 9;
    while (answer[at] == 'S') {
        std::uint32_t len = (std::uint8_t(answer[at + 1]) << 24) |
                            (std::uint8_t(answer[at + 2]) << 16) |
                            (std::uint8_t(answer[at + 3]) << 8) | std::uint8_t(answer[at + 4]);
        std::string payload = answer.substr(at + 5, len - 4);
        names.push_back(
            payload.substr(0, payload.find('\0')) + "=" +
            payload.substr(payload.find('\0') + 1, payload.size() - payload.find('\0') - 2));
        at += 1 + len;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"server_version=14.0", "server_encoding=UTF8",
                                               "client_encoding=UTF8", "integer_datetimes=on",
                                               "TimeZone=UTC", "standard_conforming_strings=on",
                                               "DateStyle=ISO, MDY"}));
    EXPECT_EQ(at, answer.size() - 19);
}

TEST(PGMessage, ErrorDescriptions) {
    EXPECT_STREQ(PGMessageError::invalidMessageLength(3).what(), "Invalid message length: 3");
    EXPECT_STREQ(PGMessageError::startupMessageTooShort(7).what(), "Startup message too short: 7");
    EXPECT_STREQ(PGMessageError::readFailed("Bad file descriptor").what(),
                 "Read failed: Bad file descriptor");
    EXPECT_STREQ(PGMessageError::writeFailed("Broken pipe").what(), "Write failed: Broken pipe");
    EXPECT_STREQ(PGMessageError::connectionClosed().what(), "Connection closed");
    const Error& base = PGMessageError::connectionClosed();
    EXPECT_EQ(dynamic_cast<const PGMessageError&>(base).kind(),
              PGMessageError::Kind::connectionClosed);
}

TEST(PGMessage, RefusesResultsTheWireCannotCarry) {
    std::vector<ColumnDef> many(65536, ColumnDef{"c"});
    EXPECT_THROW(PGMessage::checkEncodable(many, {}), PGMessageError);
    many.pop_back();
    EXPECT_NO_THROW(PGMessage::checkEncodable(many, {}));

    EXPECT_THROW(PGMessage::checkEncodable({{"c"}}, {Row(65536, std::nullopt)}), PGMessageError);
    EXPECT_NO_THROW(PGMessage::checkEncodable({{"c"}}, {Row(65535, std::nullopt)}));
}
