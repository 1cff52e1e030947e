// Threshold ranges as monitoring plugins write them: every form with values inside, outside and
// on each end, "@" inversion, the canonical text, and malformed text refused with its reason.
#include "probe/ThresholdRange.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string Str(const QString& text) {
    return text.toStdString();
}

TEST(ThresholdRangeTest, EveryFormAlertsOutsideOrInsideInclusively) {
    const struct {
        const char* text;
        double value;
        bool alerts;
    } cases[] = {
        // "10": 0 to 10.
        {"10", -0.001, true},
        {"10", 0, false},
        {"10", 5, false},
        {"10", 10, false},
        {"10", 10.001, true},
        // "10:": 10 upwards.
        {"10:", 9.999, true},
        {"10:", 10, false},
        {"10:", 1e300, false},
        {"10:", kInf, false},
        // "~:10": anything up to 10.
        {"~:10", -kInf, false},
        {"~:10", -1e300, false},
        {"~:10", 10, false},
        {"~:10", 10.5, true},
        // "10:20".
        {"10:20", 9.99, true},
        {"10:20", 10, false},
        {"10:20", 15, false},
        {"10:20", 20, false},
        {"10:20", 20.01, true},
        // "@": inside alerts, the ends included.
        {"@10:20", 9.99, false},
        {"@10:20", 10, true},
        {"@10:20", 15, true},
        {"@10:20", 20, true},
        {"@10:20", 20.01, false},
        {"@10", -1, false},
        {"@10", 0, true},
        {"@10", 10, true},
        {"@10", 11, false},
        {"@10:", 9, false},
        {"@10:", 10, true},
        {"@~:10", -1e9, true},
        {"@~:10", 10.5, false},
        // Decimals and negative ends.
        {"0.5:1.5", 0.4999, true},
        {"0.5:1.5", 0.5, false},
        {"0.5:1.5", 1.5, false},
        {"0.5:1.5", 1.5001, true},
        {"-10:-5", -10.1, true},
        {"-10:-5", -10, false},
        {"-10:-5", -5, false},
        {"-10:-5", -4.9, true},
        {"-.5:.5", -0.5, false},
        {"-.5:.5", 0.51, true},
        // An omitted start is 0, an omitted end infinity.
        {":5", -0.1, true},
        {":5", 5, false},
        {":", -0.1, true},
        {":", 1e15, false},
        {"~:", -kInf, false},
        {"~:", kInf, false},
        {"@~:", 0, true},
        {"10:10", 10, false},
        {"10:10", 10.000001, true},
        // A value that cannot be judged is never OK.
        {"~:", std::nan(""), true},
        {"@~:", std::nan(""), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " with " + std::to_string(c.value));
        QString error;
        const auto range = ThresholdRange::Parse(QString::fromLatin1(c.text), &error);
        ASSERT_TRUE(range) << Str(error);
        EXPECT_EQ(range->Alerts(c.value), c.alerts);
    }
}

TEST(ThresholdRangeTest, EndsAndTheCanonicalText) {
    const struct {
        const char* text;
        double start, end;
        bool inverted;
        const char* canonical;
    } cases[] = {
        {"10", 0, 10, false, "10"},
        {"0:10", 0, 10, false, "10"},
        {"10:", 10, kInf, false, "10:"},
        {"~:10", -kInf, 10, false, "~:10"},
        {"10:20", 10, 20, false, "10:20"},
        {"@10:20", 10, 20, true, "@10:20"},
        {"@~:0", -kInf, 0, true, "@~:0"},
        {":", 0, kInf, false, "0:"},
        {"0:", 0, kInf, false, "0:"},
        {"~:", -kInf, kInf, false, "~:"},
        {":5", 0, 5, false, "5"},
        {"-0:3", 0, 3, false, "3"},
        {"010.50:20.0", 10.5, 20, false, "10.5:20"},
        {"5.:7", 5, 7, false, "5:7"},
        {".25", 0, 0.25, false, "0.25"},
        {"-1000000000000000:1000000000000000", -1e15, 1e15, false,
         "-1000000000000000:1000000000000000"},
        {"0.000000000000001", 0, 1e-15, false, "0.000000000000001"},
        {"0.1:0.3", 0.1, 0.3, false, "0.1:0.3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        QString error;
        const auto range = ThresholdRange::Parse(QString::fromLatin1(c.text), &error);
        ASSERT_TRUE(range) << Str(error);
        EXPECT_EQ(range->Start(), c.start);
        EXPECT_EQ(range->End(), c.end);
        EXPECT_EQ(range->Inverted(), c.inverted);
        EXPECT_EQ(range->ToString(), QString::fromLatin1(c.canonical));
        EXPECT_FALSE(std::signbit(range->Start()) && range->Start() == 0) << "-0 prints as 0";
        const auto again = ThresholdRange::Parse(range->ToString(), nullptr);
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, *range);
    }
}

TEST(ThresholdRangeTest, MalformedTextIsRefusedWithItsReason) {
    const struct {
        QString text;
        const char* reason; // a part of the error text
    } cases[] = {
        {"", "the range is empty"},
        {"@", "\"@\" must be followed by a range"},
        {"abc", "\"abc\" is not a number"},
        {"10:5", "the start 10 is above the end 5"},
        {"-10", "the start 0 (implied) is above the end -10"},
        {"@20:10", "the start 20 is above the end 10"},
        {"1:2:3", "\"1:2:3\" has more than one \":\""},
        {"10:~", "\"~\" stands for the start only"},
        {"~", "\"~\" stands for the start only"},
        {"~:~", "\"~\" stands for the start only"},
        {"@@10", "\"@10\" is not a number"},
        {"inf", "\"inf\" is not a number"},
        {"-inf:0", "\"-inf\" is not a number"},
        {"nan", "\"nan\" is not a number"},
        {"NaN:1", "\"NaN\" is not a number"},
        {"1e3", "\"1e3\" is not a number"},
        {"0x10", "\"0x10\" is not a number"},
        {" 10", "\" 10\" is not a number"},
        {"10 ", "\"10 \" is not a number"},
        {"+5", "\"+5\" is not a number"},
        {"--5", "\"--5\" is not a number"},
        {"5-", "\"5-\" is not a number"},
        {"1.2.3", "\"1.2.3\" is not a number"},
        {"1,5", "\"1,5\" is not a number"},
        {".", "\".\" is not a number"},
        {"-", "\"-\" is not a number"},
        {"10:-", "\"-\" is not a number"},
        {QString::fromUtf8("\xEF\xBC\x95"), "is not a number"}, // a full-width 5
        {"1\n0", "\"1\\n0\" is not a number"},
        {QString::fromUtf8("1\xE2\x80\xAE"
                           "0"),
         "\"1\\u{202E}0\" is not a number"},
        {"1000000000000001", "\"1000000000000001\" is too large (at most 1e15)"},
        {"-99999999999999999999:0", "is too large"},
        {"0.1234567890123456", "has more than 15 digits after the point"},
        {QString(ThresholdRange::kMaxTextLength + 1, u'1'), "longer than 100 characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Str(c.text));
        QString error;
        EXPECT_FALSE(ThresholdRange::Parse(c.text, &error));
        EXPECT_TRUE(error.contains(QString::fromUtf8(c.reason))) << Str(error);
        EXPECT_FALSE(ThresholdRange::Parse(c.text, nullptr)) << "no error text asked for";
    }
}

} // namespace
