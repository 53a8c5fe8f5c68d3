// The rule-file reader: the shipped table reads, and every kind of broken
// file is refused with the file, line and field named.
#include "rules.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

const char* const GOOD_VOWEL =
    "phoneme a vowel\n"
    "  rank 2\n"
    "  target F1=700 F2=1200 F3=2500 A1=58 A2=52 A3=46 AH=30 FN=250 AN=0 V=255\n";

std::string parse_error(const std::string& text) {
    rule_table table;
    std::string error;
    EXPECT_FALSE(parse_rule_text(text.data(), text.size(), "test.rules", &table, &error)) << text;
    return error;
}

TEST(PhonframesRuleFile, ShippedTableReadsAndCoversTheEn1Set) {
    rule_table table;
    std::string error;
    ASSERT_TRUE(
        read_rule_file(TALORIA_SOURCE_DIR "/frontend/appdata/config/english.rules", &table, &error))
        << error;
    // Every phoneme espeak-ng writes for the mb-en1 voice.
    for (const char* name : {"_",  "@", "I", "n",  "t",  "s",  "r",  "k",  "d",  "Q",  "D",  "p",
                             "m",  "z", "l", "v",  "aI", "e",  "{",  "f",  "O:", "u:", "eI", "w",
                             "b",  "j", "V", "S",  "5",  "i:", "3:", "@U", "N",  "g",  "dZ", "A:",
                             "tS", "h", "U", "e@", "T",  "I@", "aU", "Z",  "OI", "U@"})
        EXPECT_NE(find_rule(table, name), nullptr) << name;
}

TEST(PhonframesRuleFile, ReadsBlocksDefaultsAndGroups) {
    const std::string text =
        "defaults stop  # comment\n"
        "  rank 28\n"
        "  transition formants=10:45 V=0:0\n"
        "  boundary A1=0:0.75 amplitudes=mean\n"
        "phoneme t stop\n"
        "  target F1=250 F2=1750 F3=2650 A1=0 A2=0 A3=0 AH=0 FN=250 AN=0 V=0\r\n"
        "  burst ms=10 AH=54\n"
        "phoneme h aspirate\n"
        "  target F1=* F2=* F3=* A1=36 A2=44 A3=40 AH=30 FN=250 AN=0 V=0\n"
        "phoneme aI diphthong\n"
        "  target F1=700 F2=1250 F3=2500 A1=60 A2=55 A3=42 AH=28 FN=250 AN=0 V=255\n"
        "  second F1=380 F2=2000\n";
    rule_table table;
    std::string error;
    ASSERT_TRUE(parse_rule_text(text.data(), text.size(), "x", &table, &error)) << error;
    const phoneme_rule* t = find_rule(table, "t");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->rank, 28);
    EXPECT_EQ(t->boundary[CTL_F2].outside_ms, 45);
    EXPECT_FALSE(t->boundary[CTL_A1].has_fixed);  // the later group line wins
    EXPECT_TRUE(t->burst.present && t->burst.sets[CTL_AH] && !t->burst.sets[CTL_A2]);
    EXPECT_TRUE(find_rule(table, "h")->target.from_neighbour[CTL_F2]);
    const phoneme_rule* ai = find_rule(table, "aI");
    EXPECT_EQ(ai->second.value[CTL_F2], 2000);
    EXPECT_EQ(ai->second.value[CTL_A1], 60);  // not named: kept from the target
}

struct refusal {
    const char* label;
    std::string text;
    const char* expected;  // part of the message, after the file name
};

void PrintTo(const refusal& r, std::ostream* out) { *out << r.label; }

class PhonframesRuleRefusal : public testing::TestWithParam<refusal> {};

TEST_P(PhonframesRuleRefusal, NamesFileLineAndField) {
    const std::string error = parse_error(GetParam().text);
    EXPECT_EQ(error.rfind("test.rules: line ", 0), 0u) << error;
    EXPECT_NE(error.find(GetParam().expected), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhonframesRuleRefusal,
    testing::Values(
        refusal{"Empty", "# nothing\n", "line 2: field 'phoneme': the file defines no phoneme"},
        refusal{"LineOutsideBlock", "rank 3\n", "line 1: field 'rank': expected a 'phoneme'"},
        refusal{"UnknownKeyword", std::string(GOOD_VOWEL) + "  colour red\n",
                "line 4: field 'colour': unknown keyword"},
        refusal{"UnknownKind", "phoneme x sound\n", "line 1: field 'kind': unknown kind 'sound'"},
        refusal{"PhonemeLineShort", "phoneme x\n", "line 1: field 'phoneme': expected"},
        refusal{"Duplicate", std::string(GOOD_VOWEL) + GOOD_VOWEL,
                "line 4: field 'name': phoneme 'a' is defined twice"},
        refusal{"NotANumber", "phoneme a vowel\n  target F1=7OO\n",
                "line 2: field 'F1': '7OO' is not a number"},
        refusal{"OutOfRange", "phoneme a vowel\n  target A1=64\n",
                "line 2: field 'A1': '64' is outside 0..63"},
        refusal{"UnknownControl", "phoneme a vowel\n  target F4=3500\n",
                "line 2: field 'F4': unknown control"},
        refusal{"NoEquals", "phoneme a vowel\n  target F1 700\n",
                "line 2: field 'F1': expected CONTROL=VALUE"},
        refusal{"MissingTarget",
                "phoneme a vowel\n  target F1=700 F2=1200 F3=2500 A1=58 A2=52 A3=46 AH=30\n",
                "line 1: field 'FN': phoneme 'a' has no target for it"},
        refusal{"DiphthongWithoutSecond",
                "phoneme aI diphthong\n"
                "  target F1=700 F2=1200 F3=2500 A1=58 A2=52 A3=46 AH=30 FN=250 AN=0 V=255\n",
                "line 1: field 'second': phoneme 'aI' needs a second target"},
        refusal{"BoundaryNotAPair", std::string(GOOD_VOWEL) + "  boundary F2=1100\n",
                "line 4: field 'F2': '1100' should be two numbers"},
        refusal{"ProportionAboveOne", std::string(GOOD_VOWEL) + "  boundary F2=1100:1.5\n",
                "line 4: field 'F2': '1.5' is outside 0..1"},
        refusal{"NegativeTransition", std::string(GOOD_VOWEL) + "  transition all=-5:10\n",
                "line 4: field 'all': '-5' is outside"},
        refusal{"BurstTooLong", std::string(GOOD_VOWEL) + "  burst ms=500\n",
                "line 4: field 'ms': '500' is outside"},
        refusal{"RankNotWhole", std::string(GOOD_VOWEL) + "  rank 2.5\n",
                "line 4: field 'rank': '2.5' is not a whole number"},
        refusal{"TargetInDefaults", "defaults vowel\n  target F1=500\n",
                "line 2: field 'target': not allowed in a defaults block"},
        refusal{"InfiniteValue", "phoneme a vowel\n  target F1=inf\n",
                "line 2: field 'F1': 'inf' is not a number"}),
    [](const testing::TestParamInfo<refusal>& info) { return std::string(info.param.label); });

TEST(PhonframesRuleFile, MissingFileIsAnError) {
    rule_table table;
    std::string error;
    EXPECT_FALSE(read_rule_file("/nonexistent/english.rules", &table, &error));
    EXPECT_NE(error.find("/nonexistent/english.rules: cannot open the rule file"),
              std::string::npos)
        << error;
}

}  // namespace
