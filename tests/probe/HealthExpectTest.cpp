// Health query expectations: the kinds a text states, malformed ones refused with a sentence, and
// the verdict with its reason for numbers, texts, patterns, NULL, no row and bytes that are not
// UTF-8; values made safe to show; pattern work bounded; one expectation shared by threads.
#include "probe/HealthExpect.h"
#include "probe/ShownText.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <thread>

namespace {

using Kind = HealthExpect::Kind;

std::string ExpectText(const QString& text) {
    return text.toStdString();
}

HealthValue Text(const char* bytes) {
    return HealthValue::Text(QByteArray(bytes));
}

TEST(HealthExpectTest, TheKindATextStates) {
    const struct {
        QString text;
        Kind kind;
        QString shownAs; // Text()
    } cases[] = {
        {"", Kind::AnyRow, ""},
        {"  \t", Kind::AnyRow, ""},
        {"=ok", Kind::Exact, "=ok"},
        {"=", Kind::Exact, "="},
        {"= ok ", Kind::Exact, "= ok "},
        {"~^ok$", Kind::Pattern, "~^ok$"},
        {"~\\:x", Kind::Pattern, "~\\:x"},
        {"~:10", Kind::Range, "~:10"},
        {" 0:10 ", Kind::Range, "0:10"},
        {"@10:20", Kind::Range, "@10:20"},
        {"10", Kind::Range, "10"},
        {"-5:", Kind::Range, "-5:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ExpectText(c.text));
        QString error;
        const auto expect = HealthExpect::Parse(c.text, &error);
        ASSERT_TRUE(expect) << ExpectText(error);
        EXPECT_EQ(expect->GetKind(), c.kind);
        EXPECT_EQ(expect->Text(), c.shownAs);
        EXPECT_EQ(expect->Range().has_value(), c.kind == Kind::Range);
    }
}

TEST(HealthExpectTest, MalformedExpectationsAreRefusedWithASentence) {
    const struct {
        QString text;
        const char* reason; // a part of the error text
    } cases[] = {
        {"ok", "Expected a range such as 0:10, =text or ~pattern; \"ok\" is not a number."},
        {"10:5", "the start 10 is above the end 5"},
        {"~:abc", "\"abc\" is not a number"},
        {" =ok", "\"=ok\" is not a number"},
        {"~", "The pattern after \"~\" is empty."},
        {"~(ab", "The pattern \"(ab\" is not valid: missing closing parenthesis at character 4."},
        {"~a{2,1}", "is not valid"},
        {"~[z-a]", "is not valid"},
        {"~\\", "is not valid"},
        {"~" + QString(HealthExpect::kMaxPatternLength + 1, u'a'),
         "The pattern is longer than 512 characters."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ExpectText(c.text.left(40)));
        QString error;
        EXPECT_FALSE(HealthExpect::Parse(c.text, &error));
        EXPECT_TRUE(error.contains(QString::fromUtf8(c.reason))) << ExpectText(error);
    }
    // The longest pattern allowed still compiles.
    const QString longest = "~" + QString(HealthExpect::kMaxPatternLength, u'a');
    EXPECT_TRUE(HealthExpect::Parse(longest, nullptr));
}

TEST(HealthExpectTest, VerdictsAndReasons) {
    const QByteArray latin1Cafe("caf\xE9");
    const QByteArray binary("\x00\x01\xFF\xFE", 4);
    const struct {
        QString expect;
        HealthValue value;
        QString shown;  // the value as the dialog shows it
        QString reason; // empty: passes
    } cases[] = {
        // Ranges on a number, the ends inclusive; the value as written, without padding.
        {"0:10", Text("37"), "37", "Health query failed: expected 0:10, got 37"},
        {"0:10", Text("10"), "10", ""},
        {"0:10", Text("0"), "0", ""},
        {"0:10", Text("-0.001"), "-0.001", "Health query failed: expected 0:10, got -0.001"},
        {"0:10", Text(" 7  "), "7", ""},
        {"0:10", Text("+7"), "+7", ""},
        {"0:10", Text("1e1"), "1e1", ""},
        {"0:10", Text("1.5E+1"), "1.5E+1", "Health query failed: expected 0:10, got 1.5E+1"},
        {"10:", Text("9.5"), "9.5", "Health query failed: expected 10:, got 9.5"},
        {"~:10", Text("-123456789"), "-123456789", ""},
        {"@10:20", Text("15"), "15", "Health query failed: expected @10:20, got 15"},
        {"@10:20", Text("20"), "20", "Health query failed: expected @10:20, got 20"},
        {"@10:20", Text("25"), "25", ""},
        {"  1:1 ", Text("1.0"), "1.0", ""},
        // A range against what is not a number.
        {"0:10", Text("abc"), "\"abc\"",
         "Health query failed: expected 0:10, got \"abc\" (not a number)"},
        {"0:10", Text(""), "\"\"", "Health query failed: expected 0:10, got \"\" (not a number)"},
        {"~:", Text("inf"), "\"inf\"",
         "Health query failed: expected ~:, got \"inf\" (not a number)"},
        {"~:", Text("nan"), "\"nan\"",
         "Health query failed: expected ~:, got \"nan\" (not a number)"},
        {"~:", Text("0x5"), "\"0x5\"",
         "Health query failed: expected ~:, got \"0x5\" (not a number)"},
        {"~:", Text("1e999"), "\"1e999\"",
         "Health query failed: expected ~:, got \"1e999\" (not a number)"},
        {"~:", Text("+-3"), "\"+-3\"",
         "Health query failed: expected ~:, got \"+-3\" (not a number)"},
        {"~:", Text("--3"), "\"--3\"",
         "Health query failed: expected ~:, got \"--3\" (not a number)"},
        {"~:", Text("1e"), "\"1e\"", "Health query failed: expected ~:, got \"1e\" (not a number)"},
        {"~:", Text("t"), "\"t\"", "Health query failed: expected ~:, got \"t\" (not a number)"},
        {"0:10", HealthValue::Null(), "NULL",
         "Health query failed: expected 0:10, got NULL (not a number)"},
        {"0:10", HealthValue::Text(binary), "\"\\x00\\x01\\xFF\\xFE\"",
         "Health query failed: expected 0:10, got \"\\x00\\x01\\xFF\\xFE\" (not a number)"},
        // Exact texts: case, blanks and NULL count.
        {"=ok", Text("ok"), "\"ok\"", ""},
        {"=ok", Text("ok "), "\"ok \"", "Health query failed: expected =ok, got \"ok \""},
        {"=ok", Text("OK"), "\"OK\"", "Health query failed: expected =ok, got \"OK\""},
        {"=ok", HealthValue::Null(), "NULL", "Health query failed: expected =ok, got NULL"},
        {"=NULL", HealthValue::Null(), "NULL", ""},
        {"=NULL", Text("NULL"), "\"NULL\"", ""},
        {"=", Text(""), "\"\"", ""},
        {"=", Text("x"), "\"x\"", "Health query failed: expected =, got \"x\""},
        {"=0", Text("0.0"), "\"0.0\"", "Health query failed: expected =0, got \"0.0\""},
        {QString::fromUtf8("=caf\xC3\xA9"), Text("caf\xC3\xA9"),
         QString::fromUtf8("\"caf\xC3\xA9\""), ""},
        {QString::fromUtf8("=caf\xC3\xA9"), HealthValue::Text(latin1Cafe), "\"caf\\xE9\"",
         QString::fromUtf8("Health query failed: expected =caf\xC3\xA9, got \"caf\\xE9\"")},
        {QString::fromUtf8("=caf\xEF\xBF\xBD"), HealthValue::Text(latin1Cafe), "\"caf\\xE9\"",
         QString::fromUtf8("Health query failed: expected =caf\xEF\xBF\xBD, got \"caf\\xE9\"")},
        // Patterns, found anywhere unless anchored.
        {"~^f$", Text("f"), "\"f\"", ""},
        {"~^f$", Text("t"), "\"t\"", "Health query failed: expected ~^f$, got \"t\""},
        {"~ok", Text("all ok here"), "\"all ok here\"", ""},
        {"~(?i)^OK$", Text("ok"), "\"ok\"", ""},
        {"~\\:x", Text("a:x"), "\"a:x\"", ""},
        {"~NULL", HealthValue::Null(), "NULL", ""},
        {"~^caf", HealthValue::Text(latin1Cafe), "\"caf\\xE9\"", ""},
        {"~\\d", HealthValue::Null(), "NULL", "Health query failed: expected ~\\\\d, got NULL"},
        // Any row will do; none never will.
        {"", Text("anything"), "\"anything\"", ""},
        {"", HealthValue::Null(), "NULL", ""},
        {"", HealthValue::NoRow(), "", "Health query failed: no row"},
        {"0:10", HealthValue::NoRow(), "", "Health query failed: no row"},
        {"=ok", HealthValue::NoRow(), "", "Health query failed: no row"},
        {"~.*", HealthValue::NoRow(), "", "Health query failed: no row"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ExpectText(c.expect) + " on " + ExpectText(ShownText::Quoted(c.value.bytes)));
        QString error;
        const auto expect = HealthExpect::Parse(c.expect, &error);
        ASSERT_TRUE(expect) << ExpectText(error);
        const HealthExpect::Verdict verdict = expect->Evaluate(c.value);
        EXPECT_EQ(verdict.passed, c.reason.isEmpty());
        EXPECT_EQ(verdict.reason, c.reason);
        EXPECT_EQ(verdict.shownValue, c.shown);
    }
}

TEST(HealthExpectTest, ValuesAreShownOnOneSafeLine) {
    const struct {
        QByteArray bytes;
        QString quoted;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\nb\r\tc", "\"a\\nb\\r\\tc\""},
        {QByteArray("\x00\x1B[31m\x7F", 7), "\"\\x00\\x1B[31m\\x7F\""},
        {"back\\slash \"quoted\"", "\"back\\\\slash \\\"quoted\\\"\""},
        {"\xC3\xA9\xF0\x9F\x98\x80", QString::fromUtf8("\"\xC3\xA9\xF0\x9F\x98\x80\"")},
        {"\xC2\x85", "\"\\u{0085}\""}, // C1 next line
        {"a\xE2\x80\xAE"
         "b",
         "\"a\\u{202E}b\""},                              // right-to-left override
        {"\xE2\x80\xA8", "\"\\u{2028}\""},                // line separator
        {"\xEF\xBB\xBF", "\"\\u{FEFF}\""},                // byte order mark
        {"\xEE\x80\x80", "\"\\u{E000}\""},                // private use
        {"\xC0\x80", "\"\\xC0\\x80\""},                   // overlong NUL
        {"\xE0\x80\xAF", "\"\\xE0\\x80\\xAF\""},          // overlong '/'
        {"\xF0\x80\x80\xAF", "\"\\xF0\\x80\\x80\\xAF\""}, // overlong '/'
        {"\xED\xA0\x80", "\"\\xED\\xA0\\x80\""},          // an encoded surrogate
        {"\xF4\x90\x80\x80", "\"\\xF4\\x90\\x80\\x80\""}, // above U+10FFFF
        {"\xE2\x82", "\"\\xE2\\x82\""},                   // cut short
        {"\xE2\x82x", "\"\\xE2\\x82x\""},
        {"\x80", "\"\\x80\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.toHex().toStdString());
        EXPECT_EQ(ShownText::Quoted(c.bytes), c.quoted);
    }

    // Long values are cut at 64 characters, never inside an escape, and say their size.
    const QByteArray a64(64, 'a');
    EXPECT_EQ(ShownText::Quoted(a64), "\"" + QString(a64) + "\"");
    EXPECT_EQ(ShownText::Quoted(QByteArray(5000, 'a')), "\"" + QString(a64) + "\"... (5000 bytes)");
    EXPECT_EQ(ShownText::Quoted(QByteArray(63, 'a') + "\n"),
              "\"" + QString(63, u'a') + "\"... (64 bytes)");
    EXPECT_EQ(ShownText::Bare(QByteArray(70, '7')), QString(64, u'7') + "... (70 bytes)");

    // A reason about a long binary value stays one short line.
    QByteArray noise;
    for (int i = 0; i < 100000; ++i)
        noise += char(i * 7919 % 256);
    const auto expect = HealthExpect::Parse("=x", nullptr);
    ASSERT_TRUE(expect);
    const QString reason = expect->Evaluate(HealthValue::Text(noise)).reason;
    EXPECT_LE(reason.size(), 140) << ExpectText(reason);
    EXPECT_TRUE(reason.endsWith("... (100000 bytes)")) << ExpectText(reason);
    for (const char32_t cp : reason.toUcs4())
        EXPECT_TRUE(QChar::isPrint(cp)) << "U+" << std::hex << uint(cp);
}

TEST(HealthExpectTest, PatternWorkIsBounded) {
    const qsizetype bound = HealthExpect::kMaxMatchedChars;
    const auto late = HealthExpect::Parse("~b", nullptr);
    ASSERT_TRUE(late);
    EXPECT_TRUE(late->Evaluate(HealthValue::Text(QByteArray(bound - 1, 'a') + "b")).passed);
    EXPECT_FALSE(late->Evaluate(HealthValue::Text(QByteArray(bound, 'a') + "b")).passed)
        << "only the first characters are searched";

    // The cut does not leave half a surrogate pair behind.
    const auto whole = HealthExpect::Parse(QStringLiteral("~^a{%1}$").arg(bound - 1), nullptr);
    ASSERT_TRUE(whole);
    const QByteArray emoji("\xF0\x9F\x98\x80");
    EXPECT_TRUE(whole->Evaluate(HealthValue::Text(QByteArray(bound - 1, 'a') + emoji)).passed);

    // Nested quantifiers that fail at the end of the searched part, then a megabyte more:
    // given up by the engine's backtracking limit, not hanging.
    const auto nested = HealthExpect::Parse("~(a+)+$", nullptr);
    ASSERT_TRUE(nested);
    const QByteArray hostile = QByteArray(bound - 1, 'a') + "!" + QByteArray(1 << 20, 'a');
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(nested->Evaluate(HealthValue::Text(hostile)).passed);
    EXPECT_LT(timer.elapsed(), 5000);
}

TEST(HealthExpectTest, OneExpectationEvaluatedFromTwoThreads) {
    const auto expect = HealthExpect::Parse("~^(ok|fine)$", nullptr);
    ASSERT_TRUE(expect);
    int passed[2] = {0, 0};
    const auto run = [&](int which) {
        for (int i = 0; i < 500; ++i)
            passed[which] += expect->Evaluate(Text(i % 2 ? "ok" : "bad")).passed;
    };
    std::thread first(run, 0);
    std::thread second(run, 1);
    first.join();
    second.join();
    EXPECT_EQ(passed[0], 250);
    EXPECT_EQ(passed[1], 250);
}

} // namespace
